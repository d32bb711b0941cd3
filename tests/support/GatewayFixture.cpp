#include "support/GatewayFixture.h"

#include "support/TestClient.h"

namespace testing_support {

void FillSession(SessionContext& session, uint16_t port, WAVEFORMATEX& playback,
                 WAVEFORMATEX& capture, int32_t source, std::u16string_view sourceName) {
    ClearSessionContext(session);
    session.port = port;
    SetSessionAddress(session, "127.0.0.1");
    session.playbackFormat = &playback;
    session.captureFormat = &capture;
    session.outputDevice = -1;
    session.audioSource = source;
    SetSessionAudioSourceName(session, sourceName);
}

void GatewayFixture::SetUp() {
    playback = DefaultWaveFormat();
    capture = DefaultWaveFormat();
    port = FreePort();
    Fill(port);
}

void GatewayFixture::Fill(uint16_t p) {
    FillSession(session, p, playback, capture, source, sourceName);
    session.videoWidth = 360;
    session.videoHeight = 288;
    session.errorHandler = &handler;
}

void GatewayFixture::StartServer(CPacketTap* tap) {
    server = std::make_unique<CGateway>(&session);
    server->SetTap(tap);
    ASSERT_TRUE(server->Start(0));
}

std::chrono::milliseconds GatewayFixture::Stop() {
    if (!server)
        return std::chrono::milliseconds(0);
    auto start = std::chrono::steady_clock::now();
    server->Stop(30000);
    server.reset();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

} // namespace testing_support
