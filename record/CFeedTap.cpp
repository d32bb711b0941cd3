#include "CFeedTap.h"

#include "CPublisher.h"
#include "CRecorder.h"
#include "core/CErrorHandler.h"
#include "core/SessionContext.h"

#include <algorithm>

CFeedTap::CFeedTap(SessionContext* s) : session(s) {}

CFeedTap::~CFeedTap() {
    // Each writer ends its output properly on its own thread.
    std::shared_ptr<CRecorder> r;
    std::vector<std::shared_ptr<CPublisher>> p;
    {
        std::lock_guard guard(lock);
        r.swap(recorder);
        p.swap(publishers);
    }
}

void CFeedTap::Report(const std::string& text, CErrorLine::Level level) {
    if (CErrorHandler* handler = session ? session->errorHandler.load() : nullptr)
        handler->ReportText(Utf8ToUtf16(text).c_str(), level);
}

bool CFeedTap::CheckAvailable() {
    if (av.Loaded())
        return true;
    if (!unavailableReported)
        Report("Recording and re-publishing are unavailable: cannot load library " + av.Missing() +
                   ".",
               CErrorLine::Level::kError);
    unavailableReported = true;
    return false;
}

bool CFeedTap::StartRecording(const std::string& folder) {
    if (!CheckAvailable())
        return false;
    StopRecording();
    auto r = std::make_shared<CRecorder>(av, folder, [this](const std::string& t) { Report(t); });
    if (!r->Start(0))
        return false;
    std::lock_guard guard(lock);
    recorder = std::move(r);
    return true;
}

void CFeedTap::StopRecording() {
    std::shared_ptr<CRecorder> r;
    {
        std::lock_guard guard(lock);
        r.swap(recorder);
    }
    // Ends here, outside the lock, while packets go on to the others.
}

bool CFeedTap::Recording() {
    std::shared_ptr<CRecorder> r;
    {
        std::lock_guard guard(lock);
        r = recorder;
    }
    return r && r->GetStatus().state != CFeedWriter::State::Failed;
}

void CFeedTap::SetPublishTargets(const std::vector<std::string>& urls) {
    if (!urls.empty() && !CheckAvailable())
        return;
    std::vector<std::shared_ptr<CPublisher>> ended, kept;
    std::vector<std::string> fresh;
    {
        std::lock_guard guard(lock);
        for (auto& p : publishers)
            (std::find(urls.begin(), urls.end(), p->Url()) != urls.end() ? kept : ended)
                .push_back(p);
        for (const std::string& url : urls)
            if (std::none_of(kept.begin(), kept.end(), [&](auto& p) { return p->Url() == url; }) &&
                std::find(fresh.begin(), fresh.end(), url) == fresh.end())
                fresh.push_back(url);
        publishers = kept;
    }
    ended.clear();
    for (const std::string& url : fresh) {
        auto p = std::make_shared<CPublisher>(av, url, [this](const std::string& t) { Report(t); });
        if (!p->Start(0))
            continue;
        std::lock_guard guard(lock);
        publishers.push_back(std::move(p));
    }
}

std::vector<CFeedTap::Target> CFeedTap::RecordingStatus() {
    std::shared_ptr<CRecorder> r;
    {
        std::lock_guard guard(lock);
        r = recorder;
    }
    if (!r)
        return {};
    CFeedWriter::Status status = r->GetStatus();
    return {{status.where, status}};
}

std::vector<CFeedTap::Target> CFeedTap::PublishStatus() {
    std::vector<std::shared_ptr<CPublisher>> p;
    {
        std::lock_guard guard(lock);
        p = publishers;
    }
    std::vector<Target> targets;
    for (auto& publisher : p)
        targets.push_back({publisher->Url(), publisher->GetStatus()});
    return targets;
}

CFeedStamper::Counters CFeedTap::StamperCounters() {
    std::lock_guard guard(lock);
    return counters;
}

void CFeedTap::ConnectionStarted(const std::string& peer) {
    auto connection = std::make_shared<CFeedConnection>();
    connection->serial = ++serial;
    connection->peer = peer;
    connection->started = std::chrono::system_clock::now();
    stamper.Begin(std::move(connection));
}

void CFeedTap::PacketArrived(const PacketHeader& header, const uint8_t* payload, uint32_t length,
                             std::chrono::steady_clock::time_point arrival) {
    {
        // Nobody to hand them to: not even the copy is made.
        std::lock_guard guard(lock);
        if (!recorder && publishers.empty())
            return;
    }
    stamped.clear();
    stamper.Stamp(header, payload, length, arrival, stamped);
    for (const CFeedPacketPtr& p : stamped)
        Hand(p);
    std::lock_guard guard(lock);
    counters = stamper.GetCounters();
}

void CFeedTap::ConnectionEnded() {
    Hand(stamper.End());
}

void CFeedTap::Hand(const CFeedPacketPtr& packet) {
    std::lock_guard guard(lock);
    if (recorder)
        recorder->Push(packet);
    for (auto& p : publishers)
        p->Push(packet);
}
