#include "CVideoRenderer.h"

CVideoRenderer::CVideoRenderer() = default;
CVideoRenderer::~CVideoRenderer() = default;

int32_t CVideoRenderer::Open(SessionContext* s) {
    session = s;
    open = true;
    ++opens;
    return 1;
}

void CVideoRenderer::Draw(const uint8_t*, uint32_t, int32_t) { ++draws; }

void CVideoRenderer::Close() {
    if (!open) return;
    open = false;
    ++closes;
}

CVideoRenderer::Counters CVideoRenderer::GetCounters() const {
    return {opens.load(), draws.load(), pictures.load(), closes.load()};
}
