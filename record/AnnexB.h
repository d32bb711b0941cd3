// H.264 in Annex B form, as the field unit sends it: NAL units behind start
// codes, the parameter sets in band before every key frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// True when the data begins with a start code (00 00 01 or 00 00 00 01).
bool StartsWithStartCode(const uint8_t* data, size_t length);

// The sequence and picture parameter sets of an access unit, each behind a
// four-byte start code; empty unless it holds at least one of each.
std::vector<uint8_t> ParameterSets(const uint8_t* data, size_t length);
