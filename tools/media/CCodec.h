// A codec context with the packet and the frame it is fed and drained
// through, made and freed together: what every encoder and decoder of the
// toolkit holds.
#pragma once

struct AVCodec;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace media {

class CCodec {
public:
    virtual ~CCodec() { Free(); }

protected:
    // False when out of memory; whatever was made is freed again.
    bool Allocate(const AVCodec* codec);
    void Free();

    AVCodecContext* context = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
};

} // namespace media
