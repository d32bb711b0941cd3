#include "CAvCodec.h"

#include "platform/DynamicLibrary.h"
#include "platform/ErrorMessage.h"

#include <cstdlib>

#if defined(_WIN32)
static std::string codecFileName = "avcodec-" AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR) ".dll";
#elif defined(__APPLE__)
static std::string codecFileName = "libavcodec." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR) ".dylib";
#else
static std::string codecFileName = "libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR);
#endif

CAvCodec::CAvCodec() {
    module = platform::LoadLibrary(codecFileName);
    bool bound = module && platform::Bind(module, avcodec_find_encoder, "avcodec_find_encoder") &&
                 platform::Bind(module, avcodec_find_decoder, "avcodec_find_decoder") &&
                 platform::Bind(module, avcodec_alloc_context3, "avcodec_alloc_context3") &&
                 platform::Bind(module, avcodec_free_context, "avcodec_free_context") &&
                 platform::Bind(module, avcodec_open2, "avcodec_open2") &&
                 platform::Bind(module, avcodec_send_packet, "avcodec_send_packet") &&
                 platform::Bind(module, avcodec_receive_frame, "avcodec_receive_frame") &&
                 platform::Bind(module, avcodec_send_frame, "avcodec_send_frame") &&
                 platform::Bind(module, avcodec_receive_packet, "avcodec_receive_packet") &&
                 platform::Bind(module, avcodec_flush_buffers, "avcodec_flush_buffers") &&
                 platform::Bind(module, av_packet_alloc, "av_packet_alloc") &&
                 platform::Bind(module, av_packet_free, "av_packet_free") &&
                 platform::Bind(module, av_packet_unref, "av_packet_unref") &&
                 platform::Bind(module, avcodec_license, "avcodec_license") &&
                 platform::Bind(module, avcodec_configuration, "avcodec_configuration") &&
                 platform::Bind(module, avcodec_version, "avcodec_version");
    if (!bound) {
        platform::ShowErrorMessage("Cannot load library " + codecFileName, "Error");
        std::exit(0);
    }
}

CAvCodec::~CAvCodec() {
    if (module) {
        platform::FreeLibrary(module);
        module = nullptr;
    }
}

std::string CAvCodec::LibraryFileName() {
    return codecFileName;
}

void CAvCodec::OverrideLibraryFileName(const std::string& fileName) {
    codecFileName = fileName;
}
