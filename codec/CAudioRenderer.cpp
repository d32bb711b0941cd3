#include "CAudioRenderer.h"

CAudioRenderer::CAudioRenderer() = default;
CAudioRenderer::~CAudioRenderer() = default;

void CAudioRenderer::Open(SessionContext* s) {
    session = s;
    ++opens;
}

void CAudioRenderer::Play(const uint8_t*, uint32_t) { ++packets; }

void CAudioRenderer::Close() { ++closes; }

uint32_t CAudioRenderer::GetVolume() { return volume; }

void CAudioRenderer::SetVolume(uint32_t v) { volume = v; }

CAudioRenderer::Counters CAudioRenderer::GetCounters() const {
    return {opens.load(), packets.load(), queued.load(), dropped.load(), closes.load()};
}
