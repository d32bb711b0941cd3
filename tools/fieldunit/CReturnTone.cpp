#include "CReturnTone.h"

#include <algorithm>
#include <cstdio>

CReturnTone::CReturnTone(double f) : frequency(f) {}

void CReturnTone::Count(const int16_t* samples, size_t count, int sampleRate, int channels) {
    std::lock_guard guard(lock);
    if (!check) {
        check = std::make_unique<CToneCheck>(sampleRate, channels, frequency);
        rate = sampleRate;
        first = Clock::now();
    }
    ++received;
    check->Feed(samples, count);
}

void CReturnTone::Stop() {
    std::lock_guard guard(lock);
    if (!hasStopped) {
        stopped = Clock::now();
        hasStopped = true;
    }
}

uint64_t CReturnTone::DueLocked(Clock::time_point until) const {
    if (!check || until < first)
        return 0;
    // The first packet is due the moment it comes; the rest at the rate.
    const double seconds = std::chrono::duration<double>(until - first).count();
    return 1 + uint64_t(seconds * rate / kSamplesPerPacket);
}

CReturnTone::Figures CReturnTone::Now() {
    std::lock_guard guard(lock);
    Figures f;
    f.received = received;
    f.due = DueLocked(hasStopped ? stopped : Clock::now());
    if (check) {
        f.gaps = check->Gaps();
        f.discontinuities = check->Discontinuities();
        f.seconds = check->SecondsAnalysed();
    }
    return f;
}

std::string CReturnTone::StatusText() {
    Figures f = Now();
    char text[160];
    std::snprintf(text, sizeof text, "tone %llu of %llu pkt due, %d gaps, %d discontinuities",
                  static_cast<unsigned long long>(f.received),
                  static_cast<unsigned long long>(f.due), f.gaps, f.discontinuities);
    return text;
}

std::string CReturnTone::Summary() {
    Figures f = Now();
    if (f.received == 0)
        return "return tone: 0 packets received, none due yet (no return audio came)";
    char text[240];
    std::snprintf(text, sizeof text,
                  "return tone: %llu packets received, %llu due (%.3f of real time), %d gaps, "
                  "%d discontinuities in %.1f s analysed",
                  static_cast<unsigned long long>(f.received),
                  static_cast<unsigned long long>(f.due), double(f.received) / double(f.due),
                  f.gaps, f.discontinuities, f.seconds);
    std::string summary = text;
    std::lock_guard guard(lock);
    const char* separator = "; first: ";
    const auto& events = check->FirstEvents();
    for (size_t i = 0; i < std::min<size_t>(events.size(), kListed); ++i) {
        const CToneCheck::Event& e = events[i];
        if (e.gap)
            std::snprintf(text, sizeof text, "%sgap at %.3f s (%.0f ms)", separator, e.at,
                          e.silence * 1000);
        else
            std::snprintf(text, sizeof text, "%sdiscontinuity at %.3f s", separator, e.at);
        summary += text;
        separator = ", ";
    }
    return summary;
}

std::string CReturnTone::EventTimes() {
    std::lock_guard guard(lock);
    const auto& events = check->FirstEvents();
    if (events.empty())
        return {};
    std::string list = "return tone, events at (s):";
    char item[32];
    for (const CToneCheck::Event& e : events) {
        std::snprintf(item, sizeof item, " %.3f%s", e.at, e.gap ? "g" : "");
        list += item;
    }
    return list;
}
