// Keeps the codec libraries loaded for the whole run. Every codec wrapper
// loads them by name and lets them go when it is destroyed; unloaded between
// inputs, they would be loaded afresh for every one, which costs far more than
// the input itself.
#pragma once

#include "codec/CAvCodec.h"
#include "codec/CAvUtil.h"

namespace fuzzing {

inline void KeepCodecLibrariesLoaded() {
    static CAvUtil* util = new CAvUtil;
    static CAvCodec* codec = new CAvCodec;
    (void)util;
    (void)codec;
}

} // namespace fuzzing
