// Component-model start-up and shut-down: nothing to do on this platform, but
// the calls keep their places so that a port has somewhere to put them.
#pragma once

#include <cstdint>

namespace platform {

inline int32_t CoInitialize(void*) { return 0; }
inline void CoUninitialize() {}

} // namespace platform
