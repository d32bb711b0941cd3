// libavcodec, loaded at run time under its platform file name and bound by
// entry-point name. Every codec wrapper derives from CAvUtil and then from
// this class.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <string>

class CAvCodec {
public:
    CAvCodec();
    virtual ~CAvCodec();
    CAvCodec(const CAvCodec&) = delete;
    CAvCodec& operator=(const CAvCodec&) = delete;

    // The file name this build loads ("libavcodec.so.59" with FFmpeg 5.x).
    static std::string LibraryFileName();
    // Replaces the file name loaded by later constructions (tests only).
    static void OverrideLibraryFileName(const std::string& fileName);

protected:
    void* module = nullptr;

public:
    const AVCodec* (*avcodec_find_encoder)(enum AVCodecID) = nullptr;
    const AVCodec* (*avcodec_find_decoder)(enum AVCodecID) = nullptr;
    AVCodecContext* (*avcodec_alloc_context3)(const AVCodec*) = nullptr;
    void (*avcodec_free_context)(AVCodecContext**) = nullptr;
    int (*avcodec_open2)(AVCodecContext*, const AVCodec*, AVDictionary**) = nullptr;
    int (*avcodec_send_packet)(AVCodecContext*, const AVPacket*) = nullptr;
    int (*avcodec_receive_frame)(AVCodecContext*, AVFrame*) = nullptr;
    int (*avcodec_send_frame)(AVCodecContext*, const AVFrame*) = nullptr;
    int (*avcodec_receive_packet)(AVCodecContext*, AVPacket*) = nullptr;
    void (*avcodec_flush_buffers)(AVCodecContext*) = nullptr;
    AVPacket* (*av_packet_alloc)() = nullptr;
    void (*av_packet_free)(AVPacket**) = nullptr;
    void (*av_packet_unref)(AVPacket*) = nullptr;
    const char* (*avcodec_license)() = nullptr;
    const char* (*avcodec_configuration)() = nullptr;
    unsigned (*avcodec_version)() = nullptr;
};
