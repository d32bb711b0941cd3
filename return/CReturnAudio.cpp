#include "CReturnAudio.h"

#include "platform/ThreadPriority.h"

#include <algorithm>

namespace {

constexpr char16_t kEncoderNotOpened[] =
    u"The AAC encoder could not be opened: no studio audio is sent back.";

// How often the streaming thread looks at its source when no chunk comes.
constexpr std::chrono::milliseconds kWatchEvery{250};

int32_t OpenEncoder(SessionContext* session, CFrameEncoder* encoder) {
    if (session->audioSource == 0 || !session->captureFormat || !encoder)
        return 0;
    return encoder->Open(session);
}

const WAVEFORMATEX& FormatOf(const SessionContext* session) {
    static const WAVEFORMATEX none{};
    return session->captureFormat ? *session->captureFormat : none;
}

} // namespace

CReturnAudio::CReturnAudio(SessionContext* session, SOCKET socket,
                           std::unique_ptr<CFrameEncoder> e, CLevelMeter* m)
    : encoder(std::move(e)),
      network(socket, encoder.get(), OpenEncoder(session, encoder.get()), FormatOf(session),
              session->errorHandler),
      capture(ring, session->errorHandler) {
    if (session->audioSource == 0)
        return;
    const WAVEFORMATEX& format = FormatOf(session);
    const uint32_t chunk = network.ChunkBytes();
    if (chunk == 0) {
        // Nothing could be encoded, so no source is opened.
        if (CErrorHandler* handler = session->errorHandler)
            handler->ReportText(kEncoderNotOpened, CErrorLine::Level::kError);
        return;
    }
    // Two seconds, or eight chunks, whichever is more: a slow writer loses
    // the newest sound rather than holding the device.
    const uint32_t chunks =
        std::max<uint32_t>(8, (uint32_t(format.nAvgBytesPerSec) * 2 + chunk - 1) / chunk);
    if (!ring.Open(chunk, chunks))
        return;
    if (!capture.Open(std::u16string(session->audioSourceName), format, int32_t(chunk)))
        return;
    blockAlign = format.nBlockAlign;
    if (m && m->Open(int32_t(format.nSamplesPerSec), format.nChannels))
        meter = m;
    Start(0);
}

CReturnAudio::~CReturnAudio() {
    Stop();
    capture.Stop();
    if (meter)
        meter->Close();
    if (encoder)
        encoder->Close();
}

uint32_t CReturnAudio::Execute() {
    platform::SetThreadName(kStreamingThreadName);
    // The source is this thread's from here on: only it takes a lost device
    // back, and it closes it before it ends.
    capture.Run();
    const uint32_t chunk = ring.ChunkBytes();
    while (!StopRequested(0)) {
        if (const uint8_t* pcm = ring.Take(kWatchEvery)) {
            // What the studio says is metered whether or not the link takes it.
            if (meter)
                meter->Feed(pcm, chunk / blockAlign);
            network.Send(pcm, chunk);
            ring.Release();
        }
        capture.Watch(CCapture::Clock::now());
    }
    capture.Stop();
    return 0;
}

CReturnAudio::Counters CReturnAudio::GetCounters() const {
    Counters counters = network.GetCounters();
    counters.captureBytesDropped = ring.BytesDropped();
    return counters;
}
