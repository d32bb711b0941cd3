// The one record through which every part of a session finds the operator's
// choices, the session's shared objects and the state of the connection.
// Fields that more than one thread touches are atomics of the same width.
#pragma once

#include "platform/SocketCompat.h"
#include "platform/VideoWindow.h"
#include "platform/WaveFormat.h"

#include <atomic>
#include <cstdint>
#include <string_view>

class CErrorHandler;

constexpr int kSessionTextUnits = 260;

struct SessionContext {
    std::atomic<uint32_t> connected{0};
    int32_t port = 0;
    char address[kSessionTextUnits] = {};
    int32_t videoBitRate = 0;
    int32_t audioBitRate = 0;
    std::atomic<int32_t> videoWidth{0};
    std::atomic<int32_t> videoHeight{0};
    int32_t videoFrameRate = 0;
    int32_t videoKeyInterval = 0;
    WAVEFORMATEX* playbackFormat = nullptr;
    std::atomic<platform::CVideoWindow*> videoWindow{nullptr};
    std::atomic<int32_t> drawLeft{0};
    std::atomic<int32_t> drawTop{0};
    std::atomic<int32_t> drawWidth{0};
    std::atomic<int32_t> drawHeight{0};
    std::atomic<uint32_t> fullScreen{0};
    int32_t outputDevice = 0;
    std::atomic<CErrorHandler*> errorHandler{nullptr};
    WAVEFORMATEX* captureFormat = nullptr;
    int32_t audioSource = 0;
    char16_t audioSourceName[kSessionTextUnits] = {};
    // Seconds without a byte from the field unit before its connection is
    // closed; 0 waits for ever. Read at every accept.
    std::atomic<int32_t> idleTimeout{0};
    // Non-zero: pictures are held back by the sound's delay, so that each
    // shows as the sound that came with it is heard; zero: drawn as soon as
    // decoded. The offset (ms, positive holds pictures longer) corrects what
    // the delay measured cannot see.
    std::atomic<int32_t> lipSync{0};
    std::atomic<int32_t> lipSyncOffsetMs{0};
    // The latency the sound (and with lip sync the picture) is held at, in
    // milliseconds; 0 for the adaptive one. Read for every sound packet.
    std::atomic<int32_t> receiveLatencyMs{0};
    // A picture counts as black for the alarm when nearly all of it lies
    // below this, in percent of the range from black to white; 0: never.
    std::atomic<int32_t> pictureBlackLevel{0};
    // Non-zero: video packets are counted and handed to the tap (recorded,
    // published) but never decoded, where nothing shows or reads a picture.
    std::atomic<uint32_t> skipPictures{0};
};

static_assert(sizeof(std::atomic<uint32_t>) == 4 && std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<int32_t>) == 4 && std::atomic<int32_t>::is_always_lock_free);
static_assert(std::atomic<void*>::is_always_lock_free);

// Sets every field to zero: null pointers, empty texts.
void ClearSessionContext(SessionContext& session);

// Copy a text into the fixed-width fields, cut to fit with its terminator.
void SetSessionAddress(SessionContext& session, std::string_view address);
void SetSessionAudioSourceName(SessionContext& session, std::u16string_view name);

