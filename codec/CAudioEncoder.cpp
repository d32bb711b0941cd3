#include "CAudioEncoder.h"

CAudioEncoder::CAudioEncoder() = default;
CAudioEncoder::~CAudioEncoder() = default;
int32_t CAudioEncoder::Open(SessionContext*) { return 0; }
int32_t CAudioEncoder::Encode(uint8_t*, int32_t, const int16_t*) { return -1; }
void CAudioEncoder::Close() {}
