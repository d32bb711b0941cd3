// Records the feed into a folder: one MPEG-TS file per connection, named after
// the time it began and the field unit's address. MPEG-TS because a file cut
// off at any point plays up to where it ends.
#pragma once

#include "CFeedWriter.h"

#include <chrono>
#include <string>

class CRecorder : public CFeedWriter {
public:
    CRecorder(CAvFormat& av, const std::string& folder, Reporter report);
    ~CRecorder() override;

    // "lumenfeed-2026-12-08_14-03-22-127.0.0.1-53422.ts": local time, and only
    // characters that every file system takes.
    static std::string FileName(const CFeedConnection& connection);

protected:
    const char* FormatName() const override { return "mpegts"; }
    bool Connect() override;
    AVIOContext* OpenTransport(const CFeedConnection& connection) override;
    void OutputEnded(int code) override;
    // Once a second the file goes to the disk: a power failure then costs
    // no more than the last second.
    void Flushed() override;

private:
    // A name not yet taken in the folder.
    std::string FreePath(const CFeedConnection& connection) const;

    std::string folder;
    std::string path;
    AVIOContext* file = nullptr;
    std::chrono::steady_clock::time_point lastSync;
};
