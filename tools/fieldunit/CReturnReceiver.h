// Reads the studio's return audio from the connection on its own thread:
// checks every header, splits the payload into ADTS frames, decodes them, and
// hands the samples to the WAV file, the output device and the level meter.
#pragma once

#include "CReturnPlayer.h"
#include "platform/SocketCompat.h"
#include "tools/media/CAacDecoder.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CReturnTone;
class CStatusLine;
class CWavWriter;

class CReturnReceiver {
public:
    struct Settings {
        CWavWriter* wav = nullptr;   // not owned; may be null
        CReturnTone* tone = nullptr; // not owned; may be null
        bool play = false;
        std::string device;
    };

    CReturnReceiver(SOCKET socket, CStatusLine& status, const Settings& settings);
    virtual ~CReturnReceiver();
    CReturnReceiver(const CReturnReceiver&) = delete;
    CReturnReceiver& operator=(const CReturnReceiver&) = delete;

    void Start();
    // From now on the end of the connection is expected, not a fault.
    void ExpectClose() { closing = true; }
    // True once the thread has ended (connection closed, or a fault).
    bool Ended() const { return ended; }
    void Join();

    enum class Outcome { Running, Closed, Broken, BadPacket };
    Outcome Result() const { return outcome; }
    std::string Error() const;

    // Five AAC frames of at most 8191 bytes each fit many times over; a
    // longer payload is not return audio.
    static constexpr uint32_t kMaxPayload = 1 << 20;

    // Checks a return header on its own; empty when it is good, otherwise
    // what is wrong with it.
    static std::string CheckHeader(const uint8_t* header);

private:
    void Run();
    bool ReceiveAll(uint8_t* data, size_t length);
    bool Handle(const uint8_t* payload, size_t length);
    void Fail(Outcome why, const std::string& text);

    SOCKET socket;
    CStatusLine& status;
    Settings settings;
    media::CAacDecoder decoder;
    CReturnPlayer player;
    std::vector<uint8_t> payload;
    std::vector<int16_t> pcm;
    int rate = 0;
    int channels = 0;
    bool warnedDecode = false;
    uint64_t bytesSinceHeaderUpdate = 0;

    std::thread thread;
    std::atomic<bool> closing{false};
    std::atomic<bool> ended{false};
    std::atomic<Outcome> outcome{Outcome::Running};
    mutable std::mutex errorLock;
    std::string error;
};
