// A 16-bit PCM WAV file whose RIFF header is brought up to date now and then
// and at the end, so that a file cut short by a crash still plays.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class CWavWriter {
public:
    CWavWriter() = default;
    virtual ~CWavWriter();
    CWavWriter(const CWavWriter&) = delete;
    CWavWriter& operator=(const CWavWriter&) = delete;

    // Creates the file with a header for no data yet.
    bool Open(const std::string& path, int sampleRate, int channels);
    // Sets the format; only before the first samples.
    bool SetFormat(int sampleRate, int channels);
    bool Write(const int16_t* samples, size_t count);
    // Rewrites the header with the length written so far.
    bool UpdateHeader();
    void Close();

    bool IsOpen() const { return file != nullptr; }
    uint64_t DataBytes() const { return dataBytes; }

    // RIFF sizes are 32-bit: the file stops growing before that.
    static constexpr uint64_t kMaxData = 0xFFFFFFFFull - 36;

private:
    std::FILE* file = nullptr;
    int rate = 44100;
    int channels = 2;
    uint64_t dataBytes = 0;
};
