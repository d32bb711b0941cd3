// Re-publishes the feed to one address while the link runs: MPEG-TS over SRT
// (caller or listener) or UDP, FLV over RTMP. An address that cannot be
// reached, or is lost, is tried again every few seconds, with a message.
#pragma once

#include "CFeedWriter.h"

#include <string>

class CPublisher : public CFeedWriter {
public:
    static constexpr int kRetrySeconds = 5;
    // A network write that blocks this long fails, and the address is tried
    // again.
    static constexpr int kWriteTimeoutSeconds = 5;

    CPublisher(CAvFormat& av, const std::string& url, Reporter report);
    ~CPublisher() override;

    // True for the addresses this class can publish to: srt://, udp://,
    // rtmp:// and rtmps://, with a host or port.
    static bool Supported(const std::string& url);
    const std::string& Url() const { return url; }

protected:
    const char* FormatName() const override;
    bool Connect() override;
    AVIOContext* OpenTransport(const CFeedConnection& connection) override;
    void OutputEnded(int code) override;

private:
    void Close();

    std::string url;
    bool flv = false;
    AVIOContext* link = nullptr;
};
