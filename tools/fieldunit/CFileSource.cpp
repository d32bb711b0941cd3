#include "CFileSource.h"

#include "CLog.h"
#include "COptions.h"
#include "core/PacketHeader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

namespace {
std::string AvError(int rc) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(rc, text, sizeof text);
    return text;
}
} // namespace

CFileSource::~CFileSource() {
    Close();
}

bool CFileSource::Open(const COptions& o) {
    Close();
    loop = o.loop;
    packet = av_packet_alloc();
    if (!packet) {
        error = "out of memory";
        return false;
    }
    int rc = avformat_open_input(&format, o.file.c_str(), nullptr, nullptr);
    if (rc < 0) {
        error = "cannot open " + o.file + ": " + AvError(rc);
        return false;
    }
    rc = avformat_find_stream_info(format, nullptr);
    if (rc < 0) {
        error = "cannot read the streams of " + o.file + ": " + AvError(rc);
        return false;
    }
    videoStream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    audioStream = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    // Cover art is a picture, not a video stream.
    if (videoStream >= 0 &&
        (format->streams[videoStream]->disposition & AV_DISPOSITION_ATTACHED_PIC))
        videoStream = -1;
    if (videoStream < 0 && audioStream < 0) {
        error = o.file + " has neither video nor audio";
        return false;
    }
    for (unsigned i = 0; i < format->nb_streams; ++i)
        if (int(i) != videoStream && int(i) != audioStream)
            format->streams[i]->discard = AVDISCARD_ALL;
    startUs = format->start_time != AV_NOPTS_VALUE ? format->start_time : 0;
    description = std::string(format->iformat->name);
    if (videoStream >= 0 && !OpenVideo(o))
        return false;
    if (audioStream >= 0 && !OpenAudio())
        return false;
    return true;
}

bool CFileSource::OpenVideo(const COptions& o) {
    AVStream* st = format->streams[videoStream];
    const AVCodecParameters* par = st->codecpar;
    if (par->width <= 0 || par->height <= 0 || par->width > 65535 || par->height > 65535) {
        error = "the video size " + std::to_string(par->width) + "x" + std::to_string(par->height) +
                " cannot be sent";
        return false;
    }
    width = uint16_t(par->width);
    height = uint16_t(par->height);
    std::string codecName = avcodec_get_name(par->codec_id);
    if (par->codec_id == AV_CODEC_ID_H264) {
        const AVBitStreamFilter* filter = av_bsf_get_by_name("h264_mp4toannexb");
        if (!filter || av_bsf_alloc(filter, &annexB) < 0 ||
            avcodec_parameters_copy(annexB->par_in, par) < 0) {
            error = "cannot set up the H.264 Annex B conversion";
            return false;
        }
        annexB->time_base_in = st->time_base;
        if (av_bsf_init(annexB) < 0) {
            error = "cannot set up the H.264 Annex B conversion";
            return false;
        }
        description += ", video h264 " + std::to_string(width) + "x" + std::to_string(height) +
                       " (sent as it is)";
        return true;
    }
    AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
    int fps = rate.num > 0 && rate.den > 0 ? int(av_q2d(rate) + 0.5) : 30;
    if (fps < 1 || fps > 120)
        fps = 30;
    videoTranscoder = std::make_unique<CVideoTranscoder>();
    if (!videoTranscoder->Open(par, fps, o.VideoBitrate(width, height, fps), o.slices, error))
        return false;
    // The encoder works on even sizes.
    width &= ~1;
    height &= ~1;
    description += ", video " + codecName + " " + std::to_string(width) + "x" +
                   std::to_string(height) + " (transcoded to h264)";
    return true;
}

bool CFileSource::OpenAudio() {
    const AVCodecParameters* par = format->streams[audioStream]->codecpar;
    std::string codecName = avcodec_get_name(par->codec_id);
    int rate = par->sample_rate;
    int count = par->ch_layout.nb_channels;
    if (par->codec_id == AV_CODEC_ID_AAC && rate > 0 && rate <= 65535 && count > 0) {
        adtsFromConfig = adts.FromAudioSpecificConfig(par->extradata, size_t(par->extradata_size));
        // Without a usable config the packets must carry ADTS already (as in
        // MPEG-TS); MP4-style AAC that ADTS cannot describe is transcoded.
        if (adtsFromConfig || par->extradata_size == 0) {
            sampleRate = uint16_t(rate);
            channels = uint16_t(count);
            description += ", audio aac " + std::to_string(rate) + " Hz " + std::to_string(count) +
                           " ch (sent as it is)";
            return true;
        }
    }
    audioTranscoder = std::make_unique<CAudioTranscoder>();
    if (!audioTranscoder->Open(par, error))
        return false;
    description += ", audio " + codecName + " (transcoded to aac)";
    return true;
}

void CFileSource::Close() {
    if (format)
        avformat_close_input(&format);
    if (packet)
        av_packet_free(&packet);
    if (annexB)
        av_bsf_free(&annexB);
    videoTranscoder.reset();
    audioTranscoder.reset();
    videoStream = audioStream = -1;
    adtsFromConfig = warnedAdts = false;
    finished = false;
    offsetUs = passEndUs = 0;
    firstAudioUs = -1;
    passHadPackets = false;
    ready.clear();
}

int64_t CFileSource::ToUs(int64_t timestamp, int stream) const {
    if (timestamp == AV_NOPTS_VALUE)
        return passEndUs + offsetUs;
    return av_rescale_q(timestamp, format->streams[stream]->time_base, AV_TIME_BASE_Q) - startUs +
           offsetUs;
}

void CFileSource::NotePacket(int64_t timeUs, int64_t durationUs) {
    passHadPackets = true;
    int64_t end = timeUs - offsetUs + std::max<int64_t>(durationUs, 0);
    if (end > passEndUs)
        passEndUs = end;
}

void CFileSource::Queue(std::vector<media::CMediaPacket>& packets) {
    for (auto& p : packets)
        ready.push_back(std::move(p));
    packets.clear();
}

bool CFileSource::PassVideo(AVPacket* in) {
    int rc = av_bsf_send_packet(annexB, in);
    if (rc < 0) {
        error = "the H.264 Annex B conversion failed: " + AvError(rc);
        return false;
    }
    while ((rc = av_bsf_receive_packet(annexB, packet)) == 0) {
        media::CMediaPacket p;
        p.type = kPacketVideo;
        p.key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        p.timeUs = ToUs(packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts, videoStream);
        NotePacket(p.timeUs, av_rescale_q(packet->duration, format->streams[videoStream]->time_base,
                                          AV_TIME_BASE_Q));
        p.value1 = width;
        p.value2 = height;
        p.data.assign(packet->data, packet->data + packet->size);
        ready.push_back(std::move(p));
        av_packet_unref(packet);
    }
    return rc == AVERROR(EAGAIN) || rc == AVERROR_EOF;
}

bool CFileSource::PassAudio(AVPacket* in) {
    media::CMediaPacket p;
    p.type = kPacketAudio;
    p.key = false;
    p.timeUs = ToUs(in->dts != AV_NOPTS_VALUE ? in->dts : in->pts, audioStream);
    NotePacket(p.timeUs,
               av_rescale_q(in->duration, format->streams[audioStream]->time_base, AV_TIME_BASE_Q));
    p.value1 = sampleRate;
    p.value2 = channels;
    const size_t size = size_t(in->size);
    if (CAdtsHeader::IsAdts(in->data, size)) {
        p.data.assign(in->data, in->data + size);
    } else if (adtsFromConfig && size + CAdtsHeader::kSize <= CAdtsHeader::kMaxFrame) {
        p.data.resize(CAdtsHeader::kSize + size);
        adts.Write(p.data.data(), size);
        std::copy(in->data, in->data + size, p.data.begin() + CAdtsHeader::kSize);
    } else {
        if (!warnedAdts)
            CLog::Warn("an AAC packet that ADTS cannot frame was skipped");
        warnedAdts = true;
        return true;
    }
    ready.push_back(std::move(p));
    return true;
}

bool CFileSource::Route(AVPacket* in) {
    if (in->stream_index == videoStream) {
        if (annexB)
            return PassVideo(in);
        NotePacket(
            ToUs(in->dts != AV_NOPTS_VALUE ? in->dts : in->pts, videoStream),
            av_rescale_q(in->duration, format->streams[videoStream]->time_base, AV_TIME_BASE_Q));
        bool ok = videoTranscoder->Push(
            in, [this](int64_t t) { return ToUs(t, videoStream); }, made);
        Queue(made);
        if (!ok)
            error = "transcoding the video failed";
        return ok;
    }
    if (in->stream_index == audioStream) {
        if (!audioTranscoder)
            return PassAudio(in);
        int64_t t = ToUs(in->dts != AV_NOPTS_VALUE ? in->dts : in->pts, audioStream);
        NotePacket(
            t, av_rescale_q(in->duration, format->streams[audioStream]->time_base, AV_TIME_BASE_Q));
        if (firstAudioUs < 0)
            firstAudioUs = std::max<int64_t>(t, 0);
        bool ok = audioTranscoder->Push(in, firstAudioUs, made);
        Queue(made);
        if (!ok)
            error = "transcoding the audio failed";
        return ok;
    }
    return true;
}

bool CFileSource::EndOfPass() {
    // What the decoders still hold belongs to this pass.
    if (videoTranscoder) {
        videoTranscoder->Push(
            nullptr, [this](int64_t t) { return ToUs(t, videoStream); }, made);
        Queue(made);
    }
    if (audioTranscoder) {
        audioTranscoder->Push(nullptr, firstAudioUs < 0 ? 0 : firstAudioUs, made);
        Queue(made);
    }
    if (loop && passHadPackets) {
        if (videoTranscoder)
            videoTranscoder->Restart();
        if (audioTranscoder)
            audioTranscoder->Restart();
        if (annexB)
            av_bsf_flush(annexB);
        int rc =
            av_seek_frame(format, -1, format->start_time != AV_NOPTS_VALUE ? format->start_time : 0,
                          AVSEEK_FLAG_BACKWARD);
        if (rc < 0) {
            error = "cannot go back to the start of the file: " + AvError(rc);
            return false;
        }
        offsetUs += passEndUs;
        passEndUs = 0;
        passHadPackets = false;
        return true;
    }
    finished = true;
    if (videoTranscoder)
        videoTranscoder->Finish(made);
    Queue(made);
    if (audioTranscoder)
        audioTranscoder->Finish(made);
    Queue(made);
    return true;
}

CMediaSource::Result CFileSource::Read(media::CMediaPacket& out) {
    while (ready.empty()) {
        if (finished || !format)
            return Result::End;
        int rc = av_read_frame(format, packet);
        if (rc == AVERROR_EOF || (rc < 0 && format->pb && avio_feof(format->pb))) {
            if (!EndOfPass())
                return Result::Error;
            continue;
        }
        if (rc < 0) {
            error = "cannot read the file: " + AvError(rc);
            return Result::Error;
        }
        bool ok = Route(packet);
        av_packet_unref(packet);
        if (!ok)
            return Result::Error;
    }
    out = std::move(ready.front());
    ready.pop_front();
    return Result::Packet;
}
