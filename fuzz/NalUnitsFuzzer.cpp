// Where decoding can start, read from any bytes: the start code search is
// checked against a plain byte-by-byte one, and the reading of pictures and
// SEI messages must neither run past the input nor crash.
//
// Input: a video packet's payload, as it comes.
#include "core/NalUnits.h"

#include <cstdlib>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// The first 00 00 01 at or after from, taking a zero before it (not before
// from) into a four-byte code.
size_t PlainStartCode(const uint8_t* data, size_t size, size_t from, size_t& codeLength) {
    for (size_t i = from; i + 3 <= size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            codeLength = i > from && data[i - 1] == 0 ? 4 : 3;
            return codeLength == 4 ? i - 1 : i;
        }
    }
    codeLength = 0;
    return size;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t at = 0;
    for (;;) {
        size_t codeLength = 0, plainLength = 0;
        const size_t found = NextStartCode(data, size, at, codeLength);
        Check(found == PlainStartCode(data, size, at, plainLength));
        Check(codeLength == plainLength);
        if (found >= size)
            break;
        const size_t unit = found + codeLength;
        size_t nextLength = 0;
        const size_t next = NextStartCode(data, size, unit, nextLength);
        // Every unit on its own, as if it were SEI.
        if (unit < next)
            HasRecoveryPoint(data + unit, next - unit);
        at = unit;
    }
    const PictureStart start = ReadPictureStart(data, size);
    // An IDR slice or a recovery point needs a start code and a header byte.
    Check(!start.chainStart || size >= 4);
    return 0;
}
