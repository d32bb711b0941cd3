#include "CAvUtil.h"

#include "platform/DynamicLibrary.h"
#include "platform/ErrorMessage.h"

#include <cstdlib>

#if defined(_WIN32)
static std::string utilFileName = "avutil-" AV_STRINGIFY(LIBAVUTIL_VERSION_MAJOR) ".dll";
#elif defined(__APPLE__)
static std::string utilFileName = "libavutil." AV_STRINGIFY(LIBAVUTIL_VERSION_MAJOR) ".dylib";
#else
static std::string utilFileName = "libavutil.so." AV_STRINGIFY(LIBAVUTIL_VERSION_MAJOR);
#endif

CAvUtil::CAvUtil() {
    module = platform::LoadLibrary(utilFileName);
    // A library without one of the entry points we call is as good as missing.
    bool bound = module && platform::Bind(module, av_free, "av_free") &&
                 platform::Bind(module, av_frame_alloc, "av_frame_alloc") &&
                 platform::Bind(module, av_frame_free, "av_frame_free") &&
                 platform::Bind(module, av_frame_unref, "av_frame_unref") &&
                 platform::Bind(module, av_frame_get_buffer, "av_frame_get_buffer") &&
                 platform::Bind(module, av_frame_make_writable, "av_frame_make_writable") &&
                 platform::Bind(module, av_channel_layout_default, "av_channel_layout_default") &&
                 platform::Bind(module, av_channel_layout_uninit, "av_channel_layout_uninit") &&
                 platform::Bind(module, av_log_set_level, "av_log_set_level");
    if (!bound) {
        platform::ShowErrorMessage("Cannot load library " + utilFileName, "Error");
        std::exit(0);
    }
    // Broken packets from the network are expected; the library's complaints
    // about them are noise.
    av_log_set_level(AV_LOG_QUIET);
}

CAvUtil::~CAvUtil() {
    if (module) {
        platform::FreeLibrary(module);
        module = nullptr;
    }
}

std::string CAvUtil::LibraryFileName() {
    return utilFileName;
}

void CAvUtil::OverrideLibraryFileName(const std::string& fileName) {
    utilFileName = fileName;
}
