// libavutil, loaded at run time under its platform file name and bound by
// entry-point name. Every codec wrapper derives from it, so each wrapper holds
// its own reference on the library.
#pragma once

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
}

#include <string>

class CAvUtil {
public:
    CAvUtil();
    virtual ~CAvUtil();
    CAvUtil(const CAvUtil&) = delete;
    CAvUtil& operator=(const CAvUtil&) = delete;

    // The file name this build loads ("libavutil.so.57" with FFmpeg 5.x).
    static std::string LibraryFileName();
    // Replaces the file name loaded by later constructions (tests only).
    static void OverrideLibraryFileName(const std::string& fileName);

protected:
    void* module = nullptr;

public:
    void (*av_free)(void*) = nullptr;
    AVFrame* (*av_frame_alloc)() = nullptr;
    void (*av_frame_free)(AVFrame**) = nullptr;
    void (*av_frame_unref)(AVFrame*) = nullptr;
    int (*av_frame_get_buffer)(AVFrame*, int) = nullptr;
    int (*av_frame_make_writable)(AVFrame*) = nullptr;
    void (*av_channel_layout_default)(AVChannelLayout*, int) = nullptr;
    void (*av_channel_layout_uninit)(AVChannelLayout*) = nullptr;
    void (*av_log_set_level)(int) = nullptr;
};
