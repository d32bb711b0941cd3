#include "AnnexB.h"

namespace {

constexpr int kNalSliceFirst = 1;
constexpr int kNalSliceLast = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;
// Parameter sets beyond this are not what an encoder makes; a peer that sends
// them gets no stream description from them.
constexpr size_t kMaxParameterSets = 4096;

// Start of the next start code at or after from, and its length; length when
// there is none.
size_t NextStartCode(const uint8_t* data, size_t length, size_t from, size_t& codeLength) {
    for (size_t i = from; i + 3 <= length; ++i) {
        if (data[i] != 0 || data[i + 1] != 0)
            continue;
        if (data[i + 2] == 1) {
            codeLength = 3;
            return i;
        }
        if (i + 4 <= length && data[i + 2] == 0 && data[i + 3] == 1) {
            codeLength = 4;
            return i;
        }
    }
    codeLength = 0;
    return length;
}

} // namespace

bool StartsWithStartCode(const uint8_t* data, size_t length) {
    size_t codeLength = 0;
    return length >= 4 && NextStartCode(data, length, 0, codeLength) == 0;
}

std::vector<uint8_t> ParameterSets(const uint8_t* data, size_t length) {
    std::vector<uint8_t> sets;
    bool sps = false, pps = false;
    size_t codeLength = 0;
    size_t at = NextStartCode(data, length, 0, codeLength);
    while (at < length) {
        size_t begin = at + codeLength;
        size_t nextLength = 0;
        size_t end = NextStartCode(data, length, begin, nextLength);
        if (begin < end) {
            int type = data[begin] & 0x1F;
            // The parameter sets come before the first slice: the picture
            // itself need not be searched.
            if (type >= kNalSliceFirst && type <= kNalSliceLast)
                break;
            if (type == kNalSps || type == kNalPps) {
                (type == kNalSps ? sps : pps) = true;
                sets.insert(sets.end(), {0, 0, 0, 1});
                sets.insert(sets.end(), data + begin, data + end);
            }
        }
        at = end;
        codeLength = nextLength;
    }
    if (!sps || !pps || sets.size() > kMaxParameterSets)
        sets.clear();
    return sets;
}
