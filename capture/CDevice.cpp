#include "CDevice.h"

#include "platform/CaptureGraph.h"

#include <vector>

int32_t CDevice::ListDevices(const NameSink& add, int32_t audio) {
    // Sound is all this system captures: there are no devices of any other kind.
    if (!audio)
        return 1;
    platform::CDeviceEnumerator enumerator;
    std::vector<std::u16string> names;
    lastResult = enumerator.FriendlyNames(platform::DeviceCategory::AudioInput, names);
    if (lastResult != S_OK)
        return 1;
    if (add)
        for (const std::u16string& name : names)
            add(name);
    return 1;
}
