// Lists the capture devices by the names the capture graph matches them by.
#pragma once

#include "platform/ComTypes.h"

#include <cstdint>
#include <functional>
#include <string>

class CDevice {
public:
    CDevice() = default;
    virtual ~CDevice() = default;
    CDevice(const CDevice&) = delete;
    CDevice& operator=(const CDevice&) = delete;

    using NameSink = std::function<void(const std::u16string& name)>;

    // Hands the FriendlyName of every device of one category to add, in
    // enumeration order: audio inputs for a non-zero flag, video inputs for 0.
    // An empty add enumerates without handing anything. Always 1.
    int32_t ListDevices(const NameSink& add, int32_t audio);

    HRESULT LastResult() const { return lastResult; }

private:
    HRESULT lastResult = S_OK;
};
