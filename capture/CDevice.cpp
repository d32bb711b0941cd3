#include "CDevice.h"

#include "platform/CaptureGraph.h"

#include <vector>

int32_t CDevice::ListDevices(const NameSink& add, int32_t audio) {
    platform::CDeviceEnumerator enumerator;
    std::vector<std::u16string> names;
    lastResult = enumerator.FriendlyNames(
        audio ? platform::DeviceCategory::AudioInput : platform::DeviceCategory::VideoInput, names);
    if (lastResult != S_OK)
        return 1;
    if (add)
        for (const std::u16string& name : names)
            add(name);
    return 1;
}
