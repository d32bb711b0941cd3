// A stream server on 127.0.0.1 as the console runs it, for the tests and
// benchmarks that drive one through real sockets.
#pragma once

#include "core/CErrorHandler.h"
#include "gateway/CGateway.h"
#include "support/RecordingLine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace testing_support {

// Clears session and fills it as the main window does for a server on
// 127.0.0.1:port: the given formats, the default output device, and the
// studio source by index and name (0 and "(none)": no studio audio).
void FillSession(SessionContext& session, uint16_t port, WAVEFORMATEX& playback,
                 WAVEFORMATEX& capture, int32_t source = 0,
                 std::u16string_view sourceName = u"(none)");

// A session on a free port with the default formats, a 360 x 288 picture,
// the error line recorded, and the server started and stopped as the console
// does it.
class GatewayFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override { Stop(); }

    // A fresh session on port p, the formats left as they are.
    void Fill(uint16_t p);
    void StartServer(CPacketTap* tap = nullptr);
    // Stop as the console performs it; returns how long it took.
    std::chrono::milliseconds Stop();
    bool Connected() const { return session.connected == 1; }

    // The studio source every Fill sets; a fixture may choose another before
    // SetUp.
    int32_t source = 0;
    std::u16string sourceName = u"(none)";

    SessionContext session;
    WAVEFORMATEX playback{};
    WAVEFORMATEX capture{};
    RecordingLine line;
    CErrorHandler handler{&line};
    uint16_t port = 0;
    std::unique_ptr<CGateway> server;
};

} // namespace testing_support
