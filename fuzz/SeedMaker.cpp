// Writes the fuzzers' starting corpora from real streams: H.264 made with
// libx264 and AAC made with the library's encoder, framed as a field unit
// frames them, and captured-audio-sized PCM for the chunk queue.
//
//   fuzz_seeds <directory>   makes <directory>/<fuzzer>/ for every fuzzer
#include "FuzzInput.h"

#include "core/PacketHeader.h"
#include "tools/media/AacTone.h"
#include "tools/media/CH264Encoder.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using media::Bytes;
using media::CH264Encoder;
using media::CMediaPacket;

namespace {

void Append(Bytes& stream, uint8_t type, bool key, uint16_t v1, uint16_t v2, const Bytes& payload) {
    PacketHeader h = PacketHeader::Make(kFieldUnitMagic, type, key,
                                        static_cast<uint32_t>(payload.size()), v1, v2);
    stream.insert(stream.end(), h.bytes, h.bytes + sizeof h.bytes);
    stream.insert(stream.end(), payload.begin(), payload.end());
}

// A clip of the moving pattern as video packets whose headers announce
// headerWidth x headerHeight.
void AppendVideo(Bytes& stream, int width, int height, int frames, uint16_t headerWidth,
                 uint16_t headerHeight, bool monochrome = false) {
    CH264Encoder::Settings settings;
    settings.width = width;
    settings.height = height;
    settings.slices = 2;
    settings.keyInterval = 4;
    settings.monochrome = monochrome;
    CH264Encoder maker(settings);
    if (!maker.Ok())
        return;
    for (const CMediaPacket& p : maker.EncodePattern(frames))
        Append(stream, kPacketVideo, p.key, headerWidth, headerHeight, p.data);
}

void AppendAudio(Bytes& stream, int rate, int channels, double seconds, int framesPerPacket,
                 uint16_t headerRate, uint16_t headerChannels) {
    for (const Bytes& p :
         media::MakeAacTone(rate, channels, 440.0, {0.5}, seconds, framesPerPacket))
        Append(stream, kPacketAudio, false, headerRate, headerChannels, p);
}

bool Write(const fs::path& directory, const std::string& name, const Bytes& bytes) {
    std::error_code error;
    fs::create_directories(directory, error);
    std::ofstream out(directory / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

void PutU32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    const fs::path root = argv[1];
    bool ok = true;

    // Video: sizes as announced, a stream larger than its header says, a size
    // change after a full-screen switch, a monochrome stream of odd size.
    {
        Bytes s;
        AppendVideo(s, 64, 48, 6, 64, 48);
        ok &= Write(root / "video", "64x48", s);
        s.clear();
        AppendVideo(s, 176, 144, 3, 64, 48);
        ok &= Write(root / "video", "larger-than-header", s);
        s.clear();
        AppendVideo(s, 96, 64, 2, 96, 64);
        Append(s, 0x01, false, 0, 0, {});
        AppendVideo(s, 48, 96, 2, 48, 96);
        ok &= Write(root / "video", "switch", s);
        s.clear();
        AppendVideo(s, 35, 27, 2, 35, 27, true);
        ok &= Write(root / "video", "mono-odd", s);
    }
    // Audio: the formats a field unit sends, one frame or five to a packet,
    // and a header that does not match its stream.
    {
        Bytes s;
        AppendAudio(s, 48000, 1, 0.1, 1, 48000, 1);
        ok &= Write(root / "audio", "48000-mono", s);
        s.clear();
        AppendAudio(s, 44100, 2, 0.15, 5, 44100, 2);
        ok &= Write(root / "audio", "44100-stereo-5", s);
        s.clear();
        AppendAudio(s, 22050, 6, 0.1, 1, 22050, 6);
        ok &= Write(root / "audio", "22050-six", s);
        s.clear();
        AppendAudio(s, 44100, 2, 0.05, 1, 8000, 1);
        ok &= Write(root / "audio", "header-mismatch", s);
    }
    // The packet reader: a mixed stream whole, in small pieces, and cut off.
    {
        Bytes stream;
        AppendVideo(stream, 32, 32, 2, 32, 32);
        AppendAudio(stream, 48000, 1, 0.05, 1, 48000, 1);
        Append(stream, 0x01, false, 0, 0, {});
        Append(stream, kPacketAudio, false, 48000, 1, {});
        Bytes s = {0, 0, 0};
        s.insert(s.end(), stream.begin(), stream.end());
        ok &= Write(root / "packet_reader", "whole", s);
        Bytes cuts;
        for (int i = 0; i < 64; ++i)
            cuts.push_back(uint8_t((i * 37) % 23));
        s = {4, uint8_t(cuts.size()), 0};
        s.insert(s.end(), stream.begin(), stream.end() - 5);
        s.insert(s.end(), cuts.begin(), cuts.end());
        ok &= Write(root / "packet_reader", "pieces-cut-off", s);
    }
    // Where decoding can start: pictures of a stream with key frames and of
    // one with intra refresh (recovery points, libx264's long user data).
    {
        for (bool refresh : {false, true}) {
            CH264Encoder::Settings settings;
            settings.width = 64;
            settings.height = 48;
            settings.keyInterval = 3;
            settings.intraRefresh = refresh;
            CH264Encoder maker(settings);
            if (!maker.Ok())
                continue;
            int n = 0;
            for (const CMediaPacket& p : maker.EncodePattern(4))
                ok &= Write(root / "nal_units",
                            (refresh ? "refresh-" : "keys-") + std::to_string(n++), p.data);
        }
    }
    // The chunk ring: captured tone in the sizes the capture device gives,
    // under the chunk size of five stereo AAC frames, eight chunks, read
    // now and then.
    {
        auto pcm = media::MakePcmTone(44100, 2, 440.0, 0.5, 4410);
        const auto* bytes = reinterpret_cast<const uint8_t*>(pcm.data());
        Bytes s;
        s.push_back(0);
        PutU32(s, 5 * 1024 * 4);
        s.push_back(7);
        for (int round = 0; round < 3; ++round) {
            for (uint32_t length : {4410u * 4 / 4, 4410u * 4 / 2, 4410u * 4 / 4}) {
                s.push_back(1);
                PutU32(s, length);
                s.push_back(255);
                s.insert(s.end(), bytes, bytes + 255);
            }
            s.push_back(2);
        }
        s.push_back(4);
        ok &= Write(root / "chunk_queue", "capture", s);
    }
    return ok ? 0 : 1;
}
