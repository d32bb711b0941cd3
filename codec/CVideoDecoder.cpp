#include "CVideoDecoder.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

// Pictures lent out where they are, each in a frame of its own that comes
// back for re-use when its last holder lets go, so that steady lending
// allocates nothing. The lender keeps its own references on the codec
// libraries, whose code releases the frames: it goes once the decoder and
// the last lent picture have both gone.
class CVideoDecoder::CLender : public CAvUtil, public CAvCodec {
public:
    CLender() = default;
    ~CLender() override {
        for (auto& loan : loans)
            av_frame_free(&loan->frame);
    }

    // Swaps picture for an empty frame; the loan is held once. Null when no
    // frame could be had.
    platform::CPictureHold* Lend(AVFrame*& picture) {
        CLoan* loan = nullptr;
        {
            std::lock_guard guard(mutex);
            if (!idle.empty()) {
                loan = idle.back();
                idle.pop_back();
            }
        }
        if (!loan) {
            auto fresh = std::unique_ptr<CLoan>(new (std::nothrow) CLoan(this));
            if (!fresh || !(fresh->frame = av_frame_alloc()))
                return nullptr;
            loan = fresh.get();
            std::lock_guard guard(mutex);
            loans.push_back(std::move(fresh));
        }
        std::swap(loan->frame, picture);
        loan->holders = 1;
        std::lock_guard guard(mutex);
        ++lent;
        return loan;
    }

    void DecoderGone() { Leave([this] { decoderGone = true; }); }

private:
    class CLoan final : public platform::CPictureHold {
    public:
        explicit CLoan(CLender* l) : lender(l) {}
        void Take() override { holders.fetch_add(1, std::memory_order_relaxed); }
        void Release() override {
            if (holders.fetch_sub(1, std::memory_order_acq_rel) == 1)
                lender->Return(this);
        }
        CLender* lender;
        AVFrame* frame = nullptr;
        std::atomic<int> holders{0};
    };

    void Return(CLoan* loan) {
        av_frame_unref(loan->frame);
        Leave([this, loan] {
            idle.push_back(loan);
            --lent;
        });
    }

    // Changes the state under the lock; the last to leave deletes.
    template <typename Change> void Leave(Change change) {
        bool last;
        {
            std::lock_guard guard(mutex);
            change();
            last = decoderGone && lent == 0;
        }
        if (last)
            delete this;
    }

    std::mutex mutex;
    std::vector<std::unique_ptr<CLoan>> loans;
    std::vector<CLoan*> idle;
    size_t lent = 0;
    bool decoderGone = false;
};

CVideoDecoder::CVideoDecoder() = default;

CVideoDecoder::~CVideoDecoder() {
    // Owners close first; this only keeps a forgotten Close from leaking.
    Close();
    if (lender)
        lender->DecoderGone();
}

int32_t CVideoDecoder::Open(SessionContext* session) {
    Close();
    codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec)
        return 0;
    context = avcodec_alloc_context3(codec);
    if (!context)
        return 0;
    context->bit_rate = session->videoBitRate;
    if (session->videoFrameRate > 0)
        context->time_base = AVRational{1, session->videoFrameRate};
    // A size from the header that no picture may have is not passed on: the
    // decoder then takes the size the stream carries.
    int32_t w = session->videoWidth, h = session->videoHeight;
    if (w > 0 && h > 0 && int64_t(w) * h <= kMaxPixels) {
        context->width = w;
        context->height = h;
    }
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    if (session->videoKeyInterval > 0)
        context->gop_size = session->videoKeyInterval;
    // Frame threading holds pictures back by one packet per thread; slices
    // decoded in parallel do not.
    context->thread_count = 2;
    context->thread_type = FF_THREAD_SLICE;
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context->max_pixels = kMaxPixels;
    if (avcodec_open2(context, codec, nullptr) < 0)
        return 0;

    picture = av_frame_alloc();
    spare = av_frame_alloc();
    packet = av_packet_alloc();
    SetPictureSize(session->videoWidth, session->videoHeight);
    return picture && spare && packet ? 1 : 0;
}

void CVideoDecoder::SetPictureSize(int32_t w, int32_t h) {
    width = w;
    height = h;
}

int32_t CVideoDecoder::Decode(const uint8_t* data, uint32_t length, uint8_t* out) {
    gotPicture = 0;
    sizeDiffers = false;
    // An empty packet would tell the decoder that the stream has ended.
    if (!context || !picture || !spare || !packet || !data || length == 0 || length > INT_MAX)
        return 0;

    // Not reference-counted: the library copies the bytes, with the padding
    // its bit reader needs, before it returns.
    packet->data = const_cast<uint8_t*>(data);
    packet->size = static_cast<int>(length);
    int result = avcodec_send_packet(context, packet);
    if (result == AVERROR(EAGAIN)) {
        // Pictures left over from an earlier packet: drop them and retry.
        while (avcodec_receive_frame(context, spare) == 0) {
        }
        result = avcodec_send_packet(context, packet);
    } else if (result == AVERROR_EOF) {
        avcodec_flush_buffers(context);
        result = avcodec_send_packet(context, packet);
    }
    packet->data = nullptr;
    packet->size = 0;
    if (result < 0)
        return 0;

    while (avcodec_receive_frame(context, spare) == 0) {
        std::swap(picture, spare);
        gotPicture = 1;
    }
    if (!gotPicture)
        return 0;

    // Only 8-bit 4:2:0 fits the packed layout; anything else is dropped.
    if ((picture->format != AV_PIX_FMT_YUV420P && picture->format != AV_PIX_FMT_YUVJ420P) ||
        picture->width <= 0 || picture->height <= 0 || !picture->data[0] || !picture->data[1] ||
        !picture->data[2]) {
        gotPicture = 0;
        return 0;
    }
    if (picture->width != width || picture->height != height) {
        sizeDiffers = true;
        return 0;
    }
    return CopyPicture(out);
}

int32_t CVideoDecoder::CopyPicture(uint8_t* out) {
    if (!gotPicture || !picture || picture->width != width || picture->height != height)
        return 0;
    sizeDiffers = false;
    if (!out)
        return 1;
    const int32_t planeWidth[3] = {width, width / 2, width / 2};
    const int32_t planeHeight[3] = {height, height / 2, height / 2};
    for (int i = 0; i < 3; ++i) {
        const uint8_t* source = picture->data[i];
        for (int32_t row = 0; row < planeHeight[i]; ++row) {
            std::memcpy(out, source, size_t(planeWidth[i]));
            out += planeWidth[i];
            source += picture->linesize[i];
        }
    }
    return 1;
}

int32_t CVideoDecoder::PictureWidth() const {
    return gotPicture && picture ? picture->width : 0;
}

int32_t CVideoDecoder::PictureHeight() const {
    return gotPicture && picture ? picture->height : 0;
}

platform::PicturePlanes CVideoDecoder::Planes() const {
    platform::PicturePlanes planes;
    if (!gotPicture || !picture)
        return planes;
    for (int i = 0; i < 3; ++i) {
        planes.data[i] = picture->data[i];
        planes.stride[i] = picture->linesize[i];
    }
    planes.width = picture->width;
    planes.height = picture->height;
    planes.colour = ColourOf(*picture);
    return planes;
}

platform::PicturePlanes CVideoDecoder::Lend() {
    platform::PicturePlanes planes = Planes();
    if (!planes.width)
        return planes;
    if (!lender)
        lender = new (std::nothrow) CLender();
    platform::CPictureHold* hold = lender ? lender->Lend(picture) : nullptr;
    if (!hold)
        return planes;
    planes.hold = hold;
    gotPicture = 0;
    return planes;
}

platform::YuvColour CVideoDecoder::ColourOf(const AVFrame& p) {
    platform::YuvColour colour;
    switch (p.colorspace) {
    case AVCOL_SPC_BT709:
    case AVCOL_SPC_SMPTE240M: // all but the same weights
        colour.matrix = platform::YuvMatrix::Bt709;
        break;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
    case AVCOL_SPC_FCC:
        colour.matrix = platform::YuvMatrix::Bt601;
        break;
    default:
        colour.matrix = p.height >= 720 ? platform::YuvMatrix::Bt709 : platform::YuvMatrix::Bt601;
        break;
    }
    colour.fullRange = p.color_range == AVCOL_RANGE_JPEG || p.format == AV_PIX_FMT_YUVJ420P;
    return colour;
}

int64_t CVideoDecoder::CopySize(int32_t w, int32_t h) {
    if (w <= 0 || h <= 0)
        return 0;
    return int64_t(w) * h + 2 * int64_t(w / 2) * (h / 2);
}

void CVideoDecoder::Close() {
    if (context)
        avcodec_free_context(&context);
    context = nullptr;
    if (picture)
        av_frame_free(&picture);
    if (spare)
        av_frame_free(&spare);
    if (packet)
        av_packet_free(&packet);
    picture = spare = nullptr;
    packet = nullptr;
    gotPicture = 0;
    sizeDiffers = false;
}
