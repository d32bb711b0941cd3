#include "CAvCodec.h"

#include "codec/Bind.h"
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
    bool bound = module && Bind(module, avcodec_find_encoder, "avcodec_find_encoder") &&
                 Bind(module, avcodec_find_decoder, "avcodec_find_decoder") &&
                 Bind(module, avcodec_alloc_context3, "avcodec_alloc_context3") &&
                 Bind(module, avcodec_free_context, "avcodec_free_context") &&
                 Bind(module, avcodec_open2, "avcodec_open2") &&
                 Bind(module, avcodec_send_packet, "avcodec_send_packet") &&
                 Bind(module, avcodec_receive_frame, "avcodec_receive_frame") &&
                 Bind(module, avcodec_send_frame, "avcodec_send_frame") &&
                 Bind(module, avcodec_receive_packet, "avcodec_receive_packet") &&
                 Bind(module, avcodec_flush_buffers, "avcodec_flush_buffers") &&
                 Bind(module, av_packet_alloc, "av_packet_alloc") &&
                 Bind(module, av_packet_free, "av_packet_free") &&
                 Bind(module, av_packet_unref, "av_packet_unref") &&
                 Bind(module, avcodec_license, "avcodec_license") &&
                 Bind(module, avcodec_configuration, "avcodec_configuration") &&
                 Bind(module, avcodec_version, "avcodec_version");
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

std::string CAvCodec::LibraryFileName() { return codecFileName; }

void CAvCodec::OverrideLibraryFileName(const std::string& fileName) { codecFileName = fileName; }
