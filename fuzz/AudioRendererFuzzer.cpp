// The audio playback fed the packets of a stream as the server hands them
// over: the first audio packet sets the playback format from its header's
// sample rate and channel count and opens the playback, every one is decoded
// and queued. The output device is SDL's dummy driver unless SDL_AUDIODRIVER
// names another: the decode loop is under test, not the sound card.
//
// Input: the bytes of a stream connection, packets with their 12-byte headers.
#include "CodecLibraries.h"
#include "FuzzInput.h"

#include "codec/CAudioRenderer.h"
#include "core/CPacketReader.h"
#include "core/SessionContext.h"
#include "platform/audio/SdlAudio.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdlib>
#include <memory>

namespace {

// Keeps SDL's audio up between inputs, so that each one only opens a device.
platform::CSdlAudio* sdl = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    av_log_set_level(AV_LOG_QUIET);
    fuzzing::KeepCodecLibrariesLoaded();
    sdl = new platform::CSdlAudio;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::FuzzInput input(data, size);
    CPacketReader reader(
        [&](void* buffer, uint32_t length) { return long(input.Read(buffer, length)); });

    WAVEFORMATEX playback = DefaultWaveFormat();
    SessionContext session;
    ClearSessionContext(session);
    session.playbackFormat = &playback;
    session.outputDevice = -1;
    auto audio = std::make_unique<CAudioRenderer>();
    bool open = false;
    while (reader.Read()) {
        const PacketHeader& header = reader.Header();
        if (header.Type() != kPacketAudio)
            continue;
        if (!open) {
            playback.nSamplesPerSec = header.Value1();
            playback.nChannels = header.Value2();
            playback.nBlockAlign = static_cast<uint16_t>(playback.nChannels * 2);
            playback.nAvgBytesPerSec = playback.nSamplesPerSec * playback.nBlockAlign;
            audio->Open(&session);
            open = true;
        }
        audio->Play(reader.Payload(), reader.PayloadLength());
    }
    if (open)
        audio->Close();
    return 0;
}
