#include "CodecLibraryInfo.h"

#include "CAvCodec.h"
#include "CAvUtil.h"

namespace {
struct Probe : CAvUtil, CAvCodec {};
} // namespace

CodecLibraryInfo ReadCodecLibraryInfo() {
    Probe probe;
    CodecLibraryInfo info;
    info.codecFileName = CAvCodec::LibraryFileName();
    info.utilFileName = CAvUtil::LibraryFileName();
    unsigned v = probe.avcodec_version();
    info.version = std::to_string(AV_VERSION_MAJOR(v)) + "." + std::to_string(AV_VERSION_MINOR(v)) +
                   "." + std::to_string(AV_VERSION_MICRO(v));
    const char* licence = probe.avcodec_license();
    info.licence = licence ? licence : "";
    return info;
}
