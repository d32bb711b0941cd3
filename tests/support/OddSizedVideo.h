// The one H.264 form with odd sizes is 4:0:0, which decodes as 4:2:0 with
// neutral chroma: an encoder of 175 x 99 monochrome pictures.
#pragma once

#include "tools/media/CH264Encoder.h"

namespace testing_support {

inline media::CH264Encoder::Settings OddSizedMonochrome() {
    media::CH264Encoder::Settings settings;
    settings.width = 175;
    settings.height = 99;
    settings.monochrome = true;
    return settings;
}

} // namespace testing_support
