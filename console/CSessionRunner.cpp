#include "CSessionRunner.h"

#include "core/CErrorHandler.h"
#include "gateway/CGateway.h"
#include "core/SessionContext.h"
#include "platform/SocketOptions.h"
#include "record/CFeedTap.h"

CSessionRunner::~CSessionRunner() {
    Stop();
}

void CSessionRunner::Start(SessionContext& s, std::unique_ptr<CErrorLine> errorLine,
                           bool retryListen, bool giveUpIfTaken) {
    Stop();
    session = &s;
    line = std::move(errorLine);
    session->errorHandler = new CErrorHandler(line.get());
    where = std::string(session->address) + ":" + std::to_string(session->port & 0xFFFF);
    server = std::make_unique<CGateway>(session);
    server->SetRetryListen(retryListen);
    server->SetAllowList(AllowList());
    feed = std::make_unique<CFeedTap>(session);
    server->SetTap(feed.get());
    taken = !server->Listening() && platform::IsAddressInUse(server->ListenError());
    if (taken && giveUpIfTaken) {
        Report("Another program listens on " + where + " already.", CErrorLine::Level::kError);
        return;
    }
    if (serverWatch)
        serverWatch(server.get());
    server->Start(0);
}

CAllowList CSessionRunner::AllowList() {
    CAllowList list;
    std::string problem, first;
    size_t refused = 0;
    for (const std::string& entry : allowed)
        if (!list.Add(entry, problem) && refused++ == 0)
            first = problem;
    if (refused) {
        std::string text = "Allow list: " + first;
        if (refused > 1)
            text += " (and " + std::to_string(refused - 1) + " more)";
        text += "; left out.";
        // It was meant to keep field units out: none is let in rather than all.
        if (list.Entries().empty())
            text += " No field unit is served until the list is corrected.";
        Report(text, CErrorLine::Level::kError);
    }
    return list;
}

void CSessionRunner::Report(const std::string& text, CErrorLine::Level level) {
    if (CErrorHandler* handler = session ? session->errorHandler.load() : nullptr)
        handler->ReportText(Utf8ToUtf16(text).c_str(), level);
}

void CSessionRunner::Stop() {
    if (server) {
        server->Stop(30000);
        if (serverWatch)
            serverWatch(nullptr);
        // The server's destructor waits on if the worker is still busy: it
        // is never destroyed under a running thread.
        server.reset();
    }
    // After the server, which hands it packets; before the error line, which
    // its last messages go to.
    feed.reset();
    if (session) {
        if (CErrorHandler* handler = session->errorHandler) {
            delete handler;
            session->errorHandler = nullptr;
        }
    }
    line.reset();
    session = nullptr;
    taken = false;
}
