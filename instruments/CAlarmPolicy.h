// The alarms a broadcast monitor gives for what nobody is watching: the
// picture frozen or black, the programme sound silent, the return sound
// silent while a studio source is chosen. Plain arithmetic over what the
// meters read, with the time given, so that its tests move a clock by hand.
// Alarms are evaluated only while a field unit is connected; all clear when
// it goes.
#pragma once

#include "levels/CLevelMeter.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CAlarmPolicy {
public:
    using Clock = std::chrono::steady_clock;

    enum Kind { kPictureFrozen, kPictureBlack, kProgrammeSilent, kReturnSilent, kKinds };
    // The metrics' label: picture_frozen, ...
    static const char* KindName(int kind);
    // For the operator: "picture frozen", ...
    static const char* KindText(int kind);

    struct Thresholds {
        // How long each condition must hold before its alarm starts, by
        // kind; 0 switches that alarm off.
        std::array<int32_t, kKinds> seconds{2, 2, 5, 5};
        // A picture is black when nearly all of it lies below this, in
        // percent of the range from black to white.
        int32_t blackLevel = 10;
        // Sound is silent below this sample peak.
        int32_t silenceDb = -60;
    };

    // What the instruments read at one moment.
    struct Observation {
        bool connected = false;
        Clock::time_point since; // of the connection
        // The newest picture that differed from the one before, and the first
        // of the black pictures up to the newest one (none: it is not black).
        std::optional<Clock::time_point> pictureChanged, darkSince;
        // The highest sample peak of the channels, of the last few hundred
        // milliseconds; kFloor when nothing is played or sent.
        float programmeDb = CLevelMeter::kFloor;
        bool returnChosen = false; // a studio source is chosen
        float returnDb = CLevelMeter::kFloor;
    };

    struct Change {
        Kind kind;
        bool on;
        // For an alarm that ended: how long its condition held, in seconds,
        // and whether it ended because the connection did.
        double seconds = 0;
        bool connectionEnded = false;
    };

    CAlarmPolicy() = default;
    explicit CAlarmPolicy(const Thresholds& thresholds) : thresholds(thresholds) {}
    virtual ~CAlarmPolicy() = default;

    void SetThresholds(const Thresholds& t) { thresholds = t; }
    const Thresholds& GetThresholds() const { return thresholds; }

    // The alarms that started or ended at now, in the order of their kinds.
    std::vector<Change> Evaluate(const Observation& observation, Clock::time_point now);

    bool Active(int kind) const { return state[size_t(kind)].on; }
    bool AnyActive() const;
    // How many times each alarm started, over the policy's life.
    uint64_t Count(int kind) const { return state[size_t(kind)].count; }

    // One line for the error line: what started and what ended.
    std::string Describe(const std::vector<Change>& changes) const;

private:
    struct State {
        bool on = false;
        // Since when the condition has held, while it does.
        std::optional<Clock::time_point> holding;
        uint64_t count = 0;
    };
    void Hold(int kind, std::optional<Clock::time_point> from, Clock::time_point now,
              std::vector<Change>& changes);

    Thresholds thresholds;
    std::array<State, kKinds> state{};
};
