#include "CFeedWriter.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
constexpr auto kPopWait = std::chrono::milliseconds(250);

// Extradata in the library's own memory, padded as it requires.
uint8_t* LibraryCopy(CAvFormat& av, const std::vector<uint8_t>& bytes) {
    auto* copy = static_cast<uint8_t*>(av.av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (copy)
        std::memcpy(copy, bytes.data(), bytes.size());
    return copy;
}

} // namespace

CFeedWriter::CFeedWriter(CAvFormat& a, Reporter r) : av(a), report(std::move(r)) {
    avPacket = av.av_packet_alloc();
}

CFeedWriter::~CFeedWriter() {
    Stop();
    if (avPacket)
        av.av_packet_free(&avPacket);
}

void CFeedWriter::Wake() {
    stopping = true;
    queue.Wake();
}

CFeedWriter::Status CFeedWriter::GetStatus() {
    CFeedQueue::Counters counters = queue.GetCounters();
    std::lock_guard guard(statusLock);
    status.queue = counters;
    return status;
}

void CFeedWriter::SetState(State state, const std::string& where) {
    std::lock_guard guard(statusLock);
    status.state = state;
    status.where = where;
}

int CFeedWriter::Interrupt(void* writer) {
    return static_cast<CFeedWriter*>(writer)->stopping ? 1 : 0;
}

uint32_t CFeedWriter::Execute() {
    flv = std::strcmp(FormatName(), "flv") == 0;
    bool connected = false;
    while (!StopRequested(0) && avPacket) {
        if (!connected) {
            queue.SetWriting(false);
            connected = Connect();
            if (!connected)
                continue;
            queue.SetWriting(true);
        }
        CFeedPacketPtr packet = queue.Pop(kPopWait);
        if (packet)
            Handle(packet);
        State state;
        {
            std::lock_guard guard(statusLock);
            state = status.state;
        }
        if (state == State::Failed)
            break;
        connected = state != State::Connecting;
    }
    if (context)
        EndOutput(0);
    queue.Close();
    return 0;
}

void CFeedWriter::Handle(const CFeedPacketPtr& packet) {
    // A connection's output ends with it, or, when its end was left out of a
    // queue that had nowhere to write, with the next one's first packet.
    const bool end = packet->kind == CFeedPacket::Kind::End;
    if (connection && (end || packet->connection != connection)) {
        if (context)
            EndOutput(0);
        connection.reset();
        pending.clear();
        lastAudio.reset();
    }
    if (end)
        return;
    connection = packet->connection;
    if (context)
        Write(*packet);
    else
        Gather(packet);
}

void CFeedWriter::Gather(const CFeedPacketPtr& packet) {
    const bool video = packet->kind == CFeedPacket::Kind::Video;
    const bool haveKey = !pending.empty() && pending.front()->kind == CFeedPacket::Kind::Video;
    if (video) {
        // A picture without the parameter sets of its stream cannot begin
        // one; anything before the first key frame cannot be decoded.
        if (!haveKey && !(packet->key && packet->parameterSets))
            return;
        if (!haveKey)
            pending.clear(); // sound that came before the first picture
    } else {
        lastAudio = packet;
    }
    pending.push_back(packet);
    const int64_t span = pending.back()->time - pending.front()->time;
    bool ready = (haveKey || video) ? (lastAudio || span >= kAudioWaitUs) : span >= kVideoWaitUs;
    // Only ever a few seconds wait here; a queue's worth would mean a stream
    // that never becomes ready, and the oldest goes.
    if (!ready && pending.size() > CFeedQueue::kMaxPackets)
        pending.pop_front();
    if (ready && !BeginOutput())
        pending.clear();
}

bool CFeedWriter::BeginOutput() {
    const CFeedPacket* video =
        pending.front()->kind == CFeedPacket::Kind::Video ? pending.front().get() : nullptr;
    // Sound that came before the key frame still describes the stream; sound
    // found with no picture begins an output of its own.
    const CFeedPacket* audio = lastAudio.get();
    AVIOContext* pb = OpenTransport(*connection);
    if (!pb)
        return false;
    if (av.avformat_alloc_output_context2(&context, nullptr, FormatName(), nullptr) < 0 ||
        !context) {
        context = nullptr;
        EndOutput(AVERROR(ENOMEM));
        return false;
    }
    context->pb = pb;
    context->interrupt_callback = AVIOInterruptCB{&CFeedWriter::Interrupt, this};
    // Flushed by Write at short intervals instead, so that an output cut off
    // by a crash holds all but its last moment.
    context->flush_packets = 0;
    if (!AddStreams(video, audio)) {
        EndOutput(AVERROR(ENOMEM));
        return false;
    }
    int rc = av.avformat_write_header(context, nullptr);
    if (rc < 0) {
        EndOutput(rc);
        return false;
    }
    origin = pending.front()->time;
    lastStamp[0] = lastStamp[1] = -1;
    lastFlush = origin;
    {
        std::lock_guard guard(statusLock);
        ++status.outputs;
        status.writtenUs = 0;
        status.state = State::Writing;
    }
    std::deque<CFeedPacketPtr> gathered;
    gathered.swap(pending);
    for (const CFeedPacketPtr& p : gathered)
        if (context)
            Write(*p);
    return true;
}

bool CFeedWriter::AddStreams(const CFeedPacket* video, const CFeedPacket* audio) {
    videoIndex = audioIndex = -1;
    if (video) {
        AVStream* st = av.avformat_new_stream(context, nullptr);
        if (!st)
            return false;
        AVCodecParameters* par = st->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = AV_CODEC_ID_H264;
        par->width = video->width;
        par->height = video->height;
        // The muxer turns Annex B parameter sets into the form FLV carries.
        if (flv) {
            par->extradata = LibraryCopy(av, *video->parameterSets);
            if (!par->extradata)
                return false;
            par->extradata_size = int(video->parameterSets->size());
        }
        st->time_base = AVRational{1, 90000};
        videoIndex = st->index;
    }
    if (audio) {
        AVStream* st = av.avformat_new_stream(context, nullptr);
        if (!st)
            return false;
        AVCodecParameters* par = st->codecpar;
        par->codec_type = AVMEDIA_TYPE_AUDIO;
        par->codec_id = AV_CODEC_ID_AAC;
        par->sample_rate = audio->sampleRate;
        par->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
        par->ch_layout.nb_channels = audio->channels;
        par->frame_size = 1024;
        par->extradata = LibraryCopy(av, *audio->audioConfig);
        if (!par->extradata)
            return false;
        par->extradata_size = int(audio->audioConfig->size());
        st->time_base = AVRational{1, audio->sampleRate};
        audioIndex = st->index;
    }
    return true;
}

void CFeedWriter::Write(const CFeedPacket& packet) {
    const bool video = packet.kind == CFeedPacket::Kind::Video;
    const int index = video ? videoIndex : audioIndex;
    // A stream that began after the output did has no place in it; sound
    // stamped before the first picture neither.
    if (index < 0 || packet.time < origin)
        return;
    const uint8_t* data = packet.data.data();
    size_t size = packet.data.size();
    if (!video && flv) {
        // FLV carries raw AAC behind its own header; a frame of several raw
        // blocks cannot be cut apart without decoding it.
        if (packet.blocks != 1) {
            std::lock_guard guard(statusLock);
            ++status.refused;
            return;
        }
        data += packet.headerLength;
        size -= packet.headerLength;
    }
    AVStream* st = context->streams[index];
    int64_t stamp = av.av_rescale_q(packet.time - origin, kMicroseconds, st->time_base);
    int64_t& last = lastStamp[video ? 0 : 1];
    if (stamp <= last)
        stamp = last + 1;
    last = stamp;
    AVPacket* p = avPacket;
    p->data = const_cast<uint8_t*>(data);
    p->size = int(size);
    p->stream_index = index;
    p->pts = p->dts = stamp;
    p->duration = video ? 0 : av.av_rescale_q(packet.duration, kMicroseconds, st->time_base);
    p->flags = video && packet.key ? AV_PKT_FLAG_KEY : 0;
    p->pos = -1;
    int rc = av.av_write_frame(context, p);
    p->data = nullptr;
    p->size = 0;
    if (rc >= 0 && packet.time - lastFlush >= kFlushUs) {
        lastFlush = packet.time;
        av.avio_flush(context->pb);
        if (context->pb->error < 0)
            rc = context->pb->error;
        else
            Flushed();
    }
    if (rc >= 0) {
        std::lock_guard guard(statusLock);
        status.writtenUs = std::max(status.writtenUs, packet.time - origin + packet.duration);
        return;
    }
    // The output itself failing (disk full, peer gone) ends it; a packet
    // that the muxer will not take is only left out.
    if ((context->pb && context->pb->error < 0) || rc == AVERROR_EXIT) {
        EndOutput(context->pb && context->pb->error < 0 ? context->pb->error : rc);
        return;
    }
    std::lock_guard guard(statusLock);
    ++status.refused;
}

void CFeedWriter::EndOutput(int code) {
    if (context) {
        // Nothing more goes onto an output that failed.
        if (code == 0 && context->pb)
            av.av_write_trailer(context);
        context->pb = nullptr; // the transport is the subclass's to close
        av.avformat_free_context(context);
        context = nullptr;
    }
    videoIndex = audioIndex = -1;
    OutputEnded(code);
}
