#include "tools/media/CCodec.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace media {

bool CCodec::Allocate(const AVCodec* codec) {
    Free();
    context = avcodec_alloc_context3(codec);
    packet = av_packet_alloc();
    frame = av_frame_alloc();
    if (context && packet && frame)
        return true;
    Free();
    return false;
}

void CCodec::Free() {
    if (context)
        avcodec_free_context(&context);
    if (packet)
        av_packet_free(&packet);
    if (frame)
        av_frame_free(&frame);
}

} // namespace media
