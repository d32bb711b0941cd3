#include "AnnexB.h"

#include "core/NalUnits.h"

namespace {

// Parameter sets beyond this are not what an encoder makes; a peer that sends
// them gets no stream description from them.
constexpr size_t kMaxParameterSets = 4096;

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
