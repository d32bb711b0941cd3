// libavformat, with the few entry points of libavcodec and libavutil that
// writing packets needs, loaded at run time under their platform file names.
// Unlike the codec binding, a missing library ends nothing: recording and
// re-publishing are then unavailable and say why; and a loaded one is never
// unloaded.
#pragma once

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include <string>

class CAvFormat {
public:
    CAvFormat();
    virtual ~CAvFormat();
    CAvFormat(const CAvFormat&) = delete;
    CAvFormat& operator=(const CAvFormat&) = delete;

    bool Loaded() const { return loaded; }
    // The file that could not be loaded or bound, when not Loaded.
    const std::string& Missing() const { return missing; }
    // libavformat's text for an error code.
    std::string ErrorText(int code) const;

    // The file name this build loads ("libavformat.so.59" with FFmpeg 5.x).
    static std::string LibraryFileName();
    // Replaces the file name loaded by later constructions (tests only).
    static void OverrideLibraryFileName(const std::string& fileName);

    int (*avformat_alloc_output_context2)(AVFormatContext**, const AVOutputFormat*, const char*,
                                          const char*) = nullptr;
    void (*avformat_free_context)(AVFormatContext*) = nullptr;
    AVStream* (*avformat_new_stream)(AVFormatContext*, const AVCodec*) = nullptr;
    int (*avformat_write_header)(AVFormatContext*, AVDictionary**) = nullptr;
    int (*av_write_frame)(AVFormatContext*, AVPacket*) = nullptr;
    int (*av_write_trailer)(AVFormatContext*) = nullptr;
    int (*avio_open2)(AVIOContext**, const char*, int, const AVIOInterruptCB*,
                      AVDictionary**) = nullptr;
    int (*avio_closep)(AVIOContext**) = nullptr;
    void (*avio_flush)(AVIOContext*) = nullptr;
    int (*avformat_network_init)() = nullptr;

    AVPacket* (*av_packet_alloc)() = nullptr;
    void (*av_packet_free)(AVPacket**) = nullptr;

    void* (*av_mallocz)(size_t) = nullptr;
    int (*av_dict_set)(AVDictionary**, const char*, const char*, int) = nullptr;
    void (*av_dict_free)(AVDictionary**) = nullptr;
    int (*av_strerror)(int, char*, size_t) = nullptr;
    int64_t (*av_rescale_q)(int64_t, AVRational, AVRational) = nullptr;
    void (*av_log_set_level)(int) = nullptr;

private:
    bool Bind();

    void* format = nullptr;
    void* codec = nullptr;
    void* util = nullptr;
    bool loaded = false;
    std::string missing;
};
