#include "SessionContext.h"

#include <algorithm>

void ClearSessionContext(SessionContext& s) {
    s.connected = 0;
    s.port = 0;
    std::fill(std::begin(s.address), std::end(s.address), '\0');
    s.videoBitRate = 0;
    s.audioBitRate = 0;
    s.videoWidth = 0;
    s.videoHeight = 0;
    s.videoFrameRate = 0;
    s.videoKeyInterval = 0;
    s.playbackFormat = nullptr;
    s.videoWindow = nullptr;
    s.drawLeft = 0;
    s.drawTop = 0;
    s.drawWidth = 0;
    s.drawHeight = 0;
    s.fullScreen = 0;
    s.outputDevice = 0;
    s.errorHandler = nullptr;
    s.captureFormat = nullptr;
    s.audioSource = 0;
    std::fill(std::begin(s.audioSourceName), std::end(s.audioSourceName), u'\0');
    s.idleTimeout = 0;
    s.receiveLatencyMs = 0;
    s.pictureBlackLevel = 0;
    s.skipPictures = 0;
}

template <typename Char>
static void CopyCut(Char (&field)[kSessionTextUnits], std::basic_string_view<Char> text) {
    size_t n = std::min(text.size(), size_t(kSessionTextUnits - 1));
    std::copy_n(text.begin(), n, field);
    std::fill(field + n, field + kSessionTextUnits, Char(0));
}

void SetSessionAddress(SessionContext& s, std::string_view address) {
    CopyCut(s.address, address);
}

void SetSessionAudioSourceName(SessionContext& s, std::u16string_view name) {
    CopyCut(s.audioSourceName, name);
}
