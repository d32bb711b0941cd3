#include "CPublisher.h"

#include <string>

namespace {

std::string Scheme(const std::string& url) {
    auto colon = url.find("://");
    if (colon == std::string::npos)
        return {};
    std::string scheme = url.substr(0, colon);
    for (char& c : scheme)
        c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return scheme;
}

} // namespace

CPublisher::CPublisher(CAvFormat& a, const std::string& u, Reporter r)
    : CFeedWriter(a, std::move(r)), url(u) {
    std::string scheme = Scheme(url);
    flv = scheme == "rtmp" || scheme == "rtmps";
    SetState(State::Connecting, url);
}

CPublisher::~CPublisher() {
    Stop();
    Close();
}

bool CPublisher::Supported(const std::string& url) {
    std::string scheme = Scheme(url);
    bool known = scheme == "srt" || scheme == "udp" || scheme == "rtmp" || scheme == "rtmps";
    return known && url.size() > scheme.size() + 3 && url.find_first_of(" \t\r\n") == std::string::npos;
}

const char* CPublisher::FormatName() const {
    return flv ? "flv" : "mpegts";
}

bool CPublisher::Connect() {
    SetState(State::Connecting, url);
    AVDictionary* options = nullptr;
    av.av_dict_set(&options, "rw_timeout", std::to_string(kWriteTimeoutSeconds * 1000000).c_str(),
                   0);
    // Seven transport stream packets to a datagram, as receivers expect.
    if (Scheme(url) == "udp" && url.find("pkt_size") == std::string::npos)
        av.av_dict_set(&options, "pkt_size", "1316", 0);
    const AVIOInterruptCB interrupt{&CFeedWriter::Interrupt, this};
    int rc = av.avio_open2(&link, url.c_str(), AVIO_FLAG_WRITE, &interrupt, &options);
    av.av_dict_free(&options);
    if (rc >= 0) {
        SetState(State::Waiting, url);
        return true;
    }
    link = nullptr;
    if (Stopping())
        return false;
    report("Cannot publish to " + url + " (" + av.ErrorText(rc) + "); trying again every " +
           std::to_string(kRetrySeconds) + " s.");
    StopRequested(kRetrySeconds * 1000);
    return false;
}

AVIOContext* CPublisher::OpenTransport(const CFeedConnection&) {
    return link;
}

void CPublisher::OutputEnded(int code) {
    if (code != 0) {
        Close();
        SetState(State::Connecting, url);
        if (!Stopping())
            report("Publishing to " + url + " was interrupted (" + av.ErrorText(code) +
                   "); trying again every " + std::to_string(kRetrySeconds) + " s.");
        return;
    }
    // An RTMP server takes one FLV stream per publication: the next
    // connection publishes anew. A transport stream simply goes on.
    if (flv) {
        Close();
        SetState(State::Connecting, url);
    } else {
        SetState(State::Waiting, url);
    }
}

void CPublisher::Close() {
    if (link)
        av.avio_closep(&link);
}
