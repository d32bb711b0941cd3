// A media file as the source: demuxed with libavformat; H.264 turned into
// Annex B with the parameter sets in front of key frames, AAC given ADTS
// headers, anything else transcoded. Optionally starts again at the end.
#pragma once

#include "CAudioTranscoder.h"
#include "CMediaSource.h"
#include "CVideoTranscoder.h"
#include "codec/CAdtsHeader.h"

#include <deque>
#include <memory>
#include <string>
#include <vector>

struct AVBSFContext;
struct AVFormatContext;
struct AVPacket;
class COptions;

class CFileSource : public CMediaSource {
public:
    CFileSource() = default;
    ~CFileSource() override;

    // False with a text in LastError when the file cannot be opened, has no
    // audio or video, or a codec is not supported.
    bool Open(const COptions& options);
    void Close();

    Result Read(media::CMediaPacket& packet) override;
    const char* LastError() const override { return error.c_str(); }

    // What was found, for the start-up message.
    std::string Description() const { return description; }

private:
    bool OpenVideo(const COptions& options);
    bool OpenAudio();
    bool Route(AVPacket* packet);
    bool PassVideo(AVPacket* packet);
    bool PassAudio(AVPacket* packet);
    bool EndOfPass();
    int64_t ToUs(int64_t timestamp, int stream) const;
    void NotePacket(int64_t timeUs, int64_t durationUs);
    void Queue(std::vector<media::CMediaPacket>& packets);

    AVFormatContext* format = nullptr;
    AVPacket* packet = nullptr;
    AVBSFContext* annexB = nullptr;
    std::unique_ptr<CVideoTranscoder> videoTranscoder;
    std::unique_ptr<CAudioTranscoder> audioTranscoder;
    int videoStream = -1;
    int audioStream = -1;
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t sampleRate = 0;
    uint16_t channels = 0;
    CAdtsHeader adts;
    bool adtsFromConfig = false;
    bool warnedAdts = false;

    bool loop = false;
    bool finished = false;
    int64_t startUs = 0;       // the file's first timestamp
    int64_t offsetUs = 0;      // added to every time: the length of earlier passes
    int64_t passEndUs = 0;     // end of the latest packet of this pass
    int64_t firstAudioUs = -1; // stream time of the first transcoded audio
    bool passHadPackets = false;

    std::deque<media::CMediaPacket> ready;
    std::vector<media::CMediaPacket> made;
    std::string description;
    std::string error;
};
