#include "CAvFormat.h"

#include "platform/DynamicLibrary.h"

#include <libavcodec/version.h>

#if defined(_WIN32)
#define LUMEN_AV_FILE(name, major) #name "-" AV_STRINGIFY(major) ".dll"
#elif defined(__APPLE__)
#define LUMEN_AV_FILE(name, major) "lib" #name "." AV_STRINGIFY(major) ".dylib"
#else
#define LUMEN_AV_FILE(name, major) "lib" #name ".so." AV_STRINGIFY(major)
#endif

static std::string formatFileName = LUMEN_AV_FILE(avformat, LIBAVFORMAT_VERSION_MAJOR);
static const std::string codecFileName = LUMEN_AV_FILE(avcodec, LIBAVCODEC_VERSION_MAJOR);
static const std::string utilFileName = LUMEN_AV_FILE(avutil, LIBAVUTIL_VERSION_MAJOR);

CAvFormat::CAvFormat() {
    loaded = Bind();
    if (!loaded)
        return;
    // Broken packets from the network are expected; the library's complaints
    // about them are noise.
    av_log_set_level(AV_LOG_QUIET);
    avformat_network_init();
}

bool CAvFormat::Bind() {
    util = platform::LoadLibrary(utilFileName);
    if (!util || !platform::Bind(util, av_mallocz, "av_mallocz") ||
        !platform::Bind(util, av_dict_set, "av_dict_set") ||
        !platform::Bind(util, av_dict_free, "av_dict_free") ||
        !platform::Bind(util, av_strerror, "av_strerror") ||
        !platform::Bind(util, av_rescale_q, "av_rescale_q") ||
        !platform::Bind(util, av_log_set_level, "av_log_set_level")) {
        missing = utilFileName;
        return false;
    }
    codec = platform::LoadLibrary(codecFileName);
    if (!codec || !platform::Bind(codec, av_packet_alloc, "av_packet_alloc") ||
        !platform::Bind(codec, av_packet_free, "av_packet_free")) {
        missing = codecFileName;
        return false;
    }
    format = platform::LoadLibrary(formatFileName);
    if (!format ||
        !platform::Bind(format, avformat_alloc_output_context2, "avformat_alloc_output_context2") ||
        !platform::Bind(format, avformat_free_context, "avformat_free_context") ||
        !platform::Bind(format, avformat_new_stream, "avformat_new_stream") ||
        !platform::Bind(format, avformat_write_header, "avformat_write_header") ||
        !platform::Bind(format, av_write_frame, "av_write_frame") ||
        !platform::Bind(format, av_write_trailer, "av_write_trailer") ||
        !platform::Bind(format, avio_open2, "avio_open2") ||
        !platform::Bind(format, avio_closep, "avio_closep") ||
        !platform::Bind(format, avio_flush, "avio_flush") ||
        !platform::Bind(format, avformat_network_init, "avformat_network_init")) {
        missing = formatFileName;
        return false;
    }
    return true;
}

CAvFormat::~CAvFormat() {
    // Not unloaded: libavformat brings network libraries (TLS, SRT) whose
    // process-wide state is set up once and cannot be taken down safely. The
    // loader counts the references; a library loaded once stays.
}

std::string CAvFormat::ErrorText(int code) const {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (!av_strerror || av_strerror(code, text, sizeof text) < 0)
        return "error " + std::to_string(code);
    return text;
}

std::string CAvFormat::LibraryFileName() {
    return formatFileName;
}

void CAvFormat::OverrideLibraryFileName(const std::string& fileName) {
    formatFileName = fileName;
}
