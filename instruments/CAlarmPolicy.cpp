#include "CAlarmPolicy.h"

#include <algorithm>
#include <cmath>

namespace {

double Seconds(CAlarmPolicy::Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string Whole(double seconds) {
    return std::to_string(std::llround(std::max(0.0, seconds)));
}

} // namespace

const char* CAlarmPolicy::KindName(int kind) {
    switch (kind) {
    case kPictureFrozen:
        return "picture_frozen";
    case kPictureBlack:
        return "picture_black";
    case kProgrammeSilent:
        return "programme_silent";
    case kReturnSilent:
        return "return_silent";
    default:
        return "other";
    }
}

const char* CAlarmPolicy::KindText(int kind) {
    switch (kind) {
    case kPictureFrozen:
        return "picture frozen";
    case kPictureBlack:
        return "picture black";
    case kProgrammeSilent:
        return "programme sound silent";
    case kReturnSilent:
        return "return sound silent";
    default:
        return "other";
    }
}

bool CAlarmPolicy::AnyActive() const {
    return std::any_of(state.begin(), state.end(), [](const State& s) { return s.on; });
}

std::vector<CAlarmPolicy::Change> CAlarmPolicy::Evaluate(const Observation& o,
                                                         Clock::time_point now) {
    std::vector<Change> changes;
    if (!o.connected) {
        for (int k = 0; k < kKinds; ++k) {
            State& s = state[size_t(k)];
            if (s.on)
                changes.push_back({Kind(k), false, Seconds(now - *s.holding), true});
            s.on = false;
            s.holding.reset();
        }
        return changes;
    }
    // The picture counts from the connection's start at the earliest: one
    // that never comes is frozen as much as one that stopped.
    Hold(kPictureFrozen, std::max(o.since, o.pictureChanged.value_or(o.since)), now, changes);
    Hold(kPictureBlack, o.darkSince ? std::optional(std::max(o.since, *o.darkSince)) : std::nullopt,
         now, changes);
    // The meters read the peak of the last few hundred milliseconds, so
    // sound between two evaluations is not missed: silence holds from the
    // first evaluation that read it.
    auto quiet = [&](int kind, bool silent) -> std::optional<Clock::time_point> {
        if (!silent)
            return std::nullopt;
        return state[size_t(kind)].holding.value_or(now);
    };
    const float level = float(thresholds.silenceDb);
    Hold(kProgrammeSilent, quiet(kProgrammeSilent, o.programmeDb < level), now, changes);
    Hold(kReturnSilent, quiet(kReturnSilent, o.returnChosen && o.returnDb < level), now, changes);
    return changes;
}

void CAlarmPolicy::Hold(int kind, std::optional<Clock::time_point> from, Clock::time_point now,
                        std::vector<Change>& changes) {
    State& s = state[size_t(kind)];
    const std::optional<Clock::time_point> before = s.holding;
    s.holding = from;
    const int32_t need = thresholds.seconds[size_t(kind)];
    const bool on = from && need > 0 && now - *from >= std::chrono::seconds(need);
    if (on == s.on)
        return;
    s.on = on;
    if (on) {
        ++s.count;
        changes.push_back({Kind(kind), true});
    } else {
        // Ended by what broke the condition: the time it held is the one
        // counted up to now.
        changes.push_back({Kind(kind), false, before ? Seconds(now - *before) : 0.0});
    }
}

std::string CAlarmPolicy::Describe(const std::vector<Change>& changes) const {
    std::string line, ended;
    int endedCount = 0;
    auto add = [&](const std::string& sentence) { line += (line.empty() ? "" : " ") + sentence; };
    for (const Change& c : changes) {
        const std::string need = std::to_string(thresholds.seconds[size_t(c.kind)]);
        const std::string level = std::to_string(thresholds.silenceDb);
        if (c.connectionEnded) {
            ended += (ended.empty() ? "" : ", ") + std::string(KindText(c.kind));
            ++endedCount;
            continue;
        }
        switch (c.kind) {
        case kPictureFrozen:
            add(c.on ? "Picture frozen: no new picture from the field unit for " + need + " s."
                     : "Picture moving again after " + Whole(c.seconds) + " s frozen.");
            break;
        case kPictureBlack:
            add(c.on ? "Picture black: the field unit's picture has been black for " + need + " s."
                     : "Picture back after " + Whole(c.seconds) + " s black.");
            break;
        case kProgrammeSilent:
            add(c.on ? "Programme sound silent: below " + level + " dBFS for " + need + " s."
                     : "Programme sound back after " + Whole(c.seconds) + " s of silence.");
            break;
        case kReturnSilent:
            add(c.on ? "Return sound silent: the studio source has been below " + level +
                           " dBFS for " + need + " s."
                     : "Return sound back after " + Whole(c.seconds) + " s of silence.");
            break;
        default:
            break;
        }
    }
    if (endedCount)
        add(std::string(endedCount == 1 ? "Alarm" : "Alarms") +
            " cleared as the connection ended: " + ended + ".");
    return line;
}
