// The studio's return audio of one connection: the chosen source records into
// a ring of whole chunks, and one streaming thread encodes each chunk straight
// from the ring into a packet and writes it to the connection.
#pragma once

#include "CCapture.h"
#include "CChunkRing.h"
#include "CNetwork.h"
#include "core/CFrameEncoder.h"
#include "core/CThread.h"
#include "core/SessionContext.h"
#include "levels/CLevelMeter.h"

#include <chrono>
#include <memory>

class CReturnAudio : public CThread {
public:
    using Counters = CNetwork::Counters;

    // The name of the streaming thread, where threads have names.
    static constexpr char kStreamingThreadName[] = "lumen-capture";

    // Reads the session's choices once: with no source ("(none)") it does
    // nothing at all. Otherwise it opens encoder, meter (null for none) and
    // the source, and streams to socket; failures are told on the session's
    // error line. encoder is the session's for this connection; meter and the
    // socket outlive this object.
    CReturnAudio(SessionContext* session, SOCKET socket, std::unique_ptr<CFrameEncoder> encoder,
                 CLevelMeter* meter);
    // Stops the streaming and closes the source before anything it uses goes.
    ~CReturnAudio() override;

    void SetPeerGoneAfter(std::chrono::milliseconds limit) { network.SetPeerGoneAfter(limit); }

    // Any thread.
    Counters GetCounters() const;
    CCapture::Status GetStatus() const { return capture.GetStatus(); }

protected:
    uint32_t Execute() override;
    void Wake() override { ring.Wake(); }

private:
    std::unique_ptr<CFrameEncoder> encoder;
    CLevelMeter* meter = nullptr; // open while the streaming runs
    uint32_t blockAlign = 0;
    CChunkRing ring;
    CNetwork network;
    CCapture capture;
};
