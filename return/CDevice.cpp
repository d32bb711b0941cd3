#include "CDevice.h"

#include "platform/audio/AudioStream.h"
#include "platform/Utf16.h"

std::vector<std::u16string> CDevice::Names() {
    std::vector<std::u16string> names;
    for (const std::string& name : platform::CAudioSystem::Devices(true))
        names.push_back(platform::Utf8ToUtf16(name));
    return names;
}
