#include "NalUnits.h"

namespace {

// The bytes of a unit's payload with the emulation prevention bytes (the 03
// of 00 00 03) left out, up to a given end.
class CRbspReader {
public:
    CRbspReader(const uint8_t* data, size_t end) : data(data), end(end) {}

    bool Byte(uint8_t& value) {
        while (at < end) {
            uint8_t b = data[at++];
            if (zeros >= 2 && b == 3) {
                zeros = 0;
                continue;
            }
            zeros = b == 0 ? zeros + 1 : 0;
            value = b;
            return true;
        }
        return false;
    }
    bool Skip(uint64_t count) {
        uint8_t b = 0;
        for (; count > 0; --count)
            if (!Byte(b))
                return false;
        return true;
    }
    bool AtEnd() const { return at >= end; }

private:
    const uint8_t* data;
    size_t end;
    size_t at = 0;
    int zeros = 0;
};

// An SEI message's type or size: 0xFF bytes add 255 each, the first other
// byte ends it.
bool ReadSeiNumber(CRbspReader& reader, uint64_t& number) {
    number = 0;
    uint8_t b = 0;
    do {
        if (!reader.Byte(b))
            return false;
        number += b;
    } while (b == 0xFF);
    return true;
}

} // namespace

size_t NextStartCode(const uint8_t* data, size_t length, size_t from, size_t& codeLength) {
    // Looks for 00 00 01 three bytes at a time: a third byte above 1 rules
    // out a code at any of the three places that end in or after it.
    for (size_t i = from; i + 3 <= length;) {
        const uint8_t third = data[i + 2];
        if (third > 1) {
            i += 3;
        } else if (third == 0) {
            ++i;
        } else if (data[i] != 0 || data[i + 1] != 0) {
            i += 3;
        } else {
            if (i > from && data[i - 1] == 0) {
                codeLength = 4;
                return i - 1;
            }
            codeLength = 3;
            return i;
        }
    }
    codeLength = 0;
    return length;
}

bool HasRecoveryPoint(const uint8_t* unit, size_t length) {
    if (length < 2 || (unit[0] & 0x1F) != kNalSei)
        return false;
    // The messages end before the stop bit, in the last byte that is not 0.
    size_t end = length;
    while (end > 1 && unit[end - 1] == 0)
        --end;
    if (end <= 1)
        return false;
    --end;
    CRbspReader reader(unit + 1, end - 1);
    while (!reader.AtEnd()) {
        uint64_t type = 0, size = 0;
        if (!ReadSeiNumber(reader, type) || !ReadSeiNumber(reader, size))
            return false;
        // Only a message that is there whole counts.
        if (!reader.Skip(size))
            return false;
        if (type == kSeiRecoveryPoint && size > 0)
            return true;
    }
    return false;
}

PictureStart ReadPictureStart(const uint8_t* data, size_t length) {
    PictureStart start;
    bool recovery = false;
    size_t codeLength = 0;
    size_t at = NextStartCode(data, length, 0, codeLength);
    while (at < length) {
        const size_t unit = at + codeLength;
        if (unit >= length)
            break;
        const uint8_t header = data[unit];
        const int type = header & 0x1F;
        const bool damaged = (header & 0x80) != 0; // the forbidden bit
        // The first slice decides; the rest of the picture need not be read.
        if (!damaged && type >= kNalSliceFirst && type <= kNalSliceLast) {
            start.picture = true;
            start.chainStart = type == kNalIdrSlice || recovery;
            return start;
        }
        size_t nextLength = 0;
        const size_t next = NextStartCode(data, length, unit, nextLength);
        if (!damaged && type == kNalSei && !recovery)
            recovery = HasRecoveryPoint(data + unit, next - unit);
        at = next;
        codeLength = nextLength;
    }
    start.chainStart = recovery;
    return start;
}
