// H.264 in Annex B form, as the field unit sends it: NAL units behind start
// codes (00 00 01 or 00 00 00 01). The bytes come from the network: any
// length, any content.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kNalSliceFirst = 1; // slices and slice data partitions
constexpr int kNalSliceLast = 5;
constexpr int kNalIdrSlice = 5;
constexpr int kNalSei = 6;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;
constexpr int kSeiRecoveryPoint = 6;

// Where the first start code at or after from begins, and its length (3 or
// 4); length, and a code length of 0, when there is none.
size_t NextStartCode(const uint8_t* data, size_t length, size_t from, size_t& codeLength);

// True when an SEI unit (from its header byte up to the next start code)
// holds a whole recovery point message.
bool HasRecoveryPoint(const uint8_t* unit, size_t length);

// What a video packet begins with, read up to its first slice.
struct PictureStart {
    bool picture = false; // it holds a slice
    // Decoding can begin here without any packet before it: the first slice
    // is an IDR slice, or a recovery point comes before it (or, in a packet
    // without a slice, anywhere).
    bool chainStart = false;
};
PictureStart ReadPictureStart(const uint8_t* data, size_t length);
