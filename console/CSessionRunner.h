// A session of the link as both the window and the receiver without one run
// it: the status reporter on the caller's line, the stream server on the
// session record, the tap that records and publishes what comes; and, where
// asked, listening tried again every second until it can, said once.
#pragma once

#include "core/CAllowList.h"
#include "core/CErrorLine.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class CFeedTap;
class CGateway;
struct SessionContext;

class CSessionRunner {
public:
    CSessionRunner() = default;
    // Stops a session still running.
    virtual ~CSessionRunner();
    CSessionRunner(const CSessionRunner&) = delete;
    CSessionRunner& operator=(const CSessionRunner&) = delete;

    // Told of the server once it is made, and with null before it is
    // destroyed: the instruments sample it one last time then.
    void SetServerWatch(std::function<void(CGateway*)> watch) { serverWatch = std::move(watch); }
    // The field units the next session serves, as given or stored; entries
    // that are not addresses or networks are left out with a text on the
    // session's line. Empty: everyone.
    void SetAllowed(std::vector<std::string> entries) { allowed = std::move(entries); }

    // The record is filled but for its reporter, which is made here on line.
    // Binds and listens at once; with retryListen the server tries again
    // every second, and says so once. With giveUpIfTaken, an
    // address and port where another program listens is said, and the
    // server is not started (Taken()): the caller stops.
    void Start(SessionContext& session, std::unique_ptr<CErrorLine> line, bool retryListen,
               bool giveUpIfTaken = false);
    // Ends the server, the tap and the reporter, in that order, and nulls
    // the record's reporter; harmless when nothing runs.
    void Stop();
    bool Running() const { return server != nullptr; }
    bool Taken() const { return taken; }
    CGateway* Server() const { return server.get(); }
    CFeedTap* Feed() const { return feed.get(); }
    // "a.b.c.d:port" of the session.
    const std::string& Where() const { return where; }
    // Reports on the session's line, as the session's parts do.
    void Report(const std::string& text, CErrorLine::Level level);

private:
    CAllowList AllowList();

    SessionContext* session = nullptr;
    std::unique_ptr<CErrorLine> line;
    std::unique_ptr<CGateway> server;
    // Sees every packet of the session's connections; ended after the server.
    std::unique_ptr<CFeedTap> feed;
    std::function<void(CGateway*)> serverWatch;
    std::string where;
    std::vector<std::string> allowed;
    bool taken = false;
};
