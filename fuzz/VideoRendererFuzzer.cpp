// The video channel, surface-free, fed the packets of a stream as the server
// hands them over: the first video packet opens the channel with its header's
// width and height, every one is drawn; a packet of any type but video or
// audio closes the channel as a full-screen switch does, so that the next
// video packet reopens it with its own size.
//
// Input: the bytes of a stream connection, packets with their 12-byte headers.
#include "CodecLibraries.h"
#include "FuzzInput.h"

#include "codec/CVideoRenderer.h"
#include "core/CPacketReader.h"
#include "core/SessionContext.h"

extern "C" {
#include <libavutil/log.h>
}

#include <memory>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The decoder's complaints about broken streams would cost more than the
    // decoding.
    av_log_set_level(AV_LOG_QUIET);
    fuzzing::KeepCodecLibrariesLoaded();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::FuzzInput input(data, size);
    CPacketReader reader(
        [&](void* buffer, uint32_t length) { return long(input.Read(buffer, length)); });

    SessionContext session;
    ClearSessionContext(session);
    session.videoFrameRate = 30;
    auto video = std::make_unique<CVideoRenderer>();
    bool open = false;
    while (reader.Read()) {
        const PacketHeader& header = reader.Header();
        if (header.Type() == kPacketVideo) {
            if (!open) {
                session.videoWidth = header.Value1();
                session.videoHeight = header.Value2();
                video->Open(&session);
                open = true;
            }
            video->Draw(reader.Payload(), reader.PayloadLength(), header.KeyFrame() ? 1 : 0);
        } else if (header.Type() != kPacketAudio && open) {
            video->Close();
            open = false;
        }
    }
    video->Close();
    return 0;
}
