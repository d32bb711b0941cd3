// The picture's time taken from the sound that came with it, with a clock
// moved by hand: a field unit interleaves sound packets and pictures by the
// time they were made, the studio hears the sound a latency later, and after
// a stall everything held back arrives at once.
#include "gateway/CPictureClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

using Clock = CPictureClock::Clock;
using std::chrono::microseconds;

constexpr double kSoundSeconds = 1024.0 / 48000; // one AAC frame a packet
constexpr double kPictureSeconds = 1.0 / 30;

Clock::time_point At(double seconds) {
    return Clock::time_point(microseconds(int64_t(std::llround(seconds * 1e6))));
}

double Seconds(Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

struct Item {
    double made;
    bool picture;
};

// Sound and pictures made over seconds, interleaved by the time they were made.
std::vector<Item> Made(double seconds) {
    std::vector<Item> items;
    for (double t = 0; t < seconds; t += kSoundSeconds)
        items.push_back({t, false});
    for (double t = 0; t < seconds; t += kPictureSeconds)
        items.push_back({t, true});
    std::stable_sort(items.begin(), items.end(),
                     [](const Item& a, const Item& b) { return a.made < b.made; });
    return items;
}

// Plays items to the clock: each arrives when made, or at the end of a stall
// (stallAt, stallSeconds) that held it, 50 us after the one before; the
// sound is heard latency after it was made, measured in the device's steps
// of up to 20 ms. Returns, for each picture, when it was made and when the
// clock says it is heard.
std::vector<std::pair<double, double>> Play(CPictureClock& clock, const std::vector<Item>& items,
                                            double latency, double stallAt, double stallSeconds) {
    std::vector<std::pair<double, double>> pictures;
    double last = 0;
    int k = 0;
    for (const Item& item : items) {
        double arrival = item.made;
        if (item.made >= stallAt && item.made < stallAt + stallSeconds)
            arrival = stallAt + stallSeconds;
        arrival = std::max(arrival, last + 50e-6);
        last = arrival;
        if (item.picture) {
            pictures.push_back({item.made, Seconds(clock.Heard(At(arrival)))});
        } else {
            const double ahead = item.made + latency - arrival + 0.020 * ((k++ * 7) % 5) / 4;
            clock.Sound(At(arrival), int64_t(ahead * 1e6), int64_t(kSoundSeconds * 1e6));
        }
    }
    return pictures;
}

TEST(CPictureClock, PicturesAreSeenWithTheirSoundAndABacklogIsSpreadAtItsOwnTimes) {
    CPictureClock clock;
    EXPECT_EQ(clock.Heard(At(1.0)), At(1.0)) << "before any sound, at once";

    // A latency of 700 ms and a stall of 500 ms that begins with a picture
    // (at 10.033 s, the sound before it at 10.027 s): what was held back
    // arrives together, but each picture is heard with the sound made beside
    // it.
    const std::vector<Item> items = Made(20.0);
    const auto pictures = Play(clock, items, 0.7, 10.03, 0.5);
    double worst = 0, closest = 1;
    for (size_t i = 0; i < pictures.size(); ++i) {
        const auto [made, heard] = pictures[i];
        if (made < 1.0)
            continue; // the measure's noise settles
        worst = std::max(worst, std::fabs(heard - (made + 0.7)));
        if (i > 0)
            closest = std::min(closest, heard - pictures[i - 1].second);
    }
    EXPECT_LT(worst, 0.025);
    EXPECT_GT(closest, 0.010) << "never two pictures at once";
    EXPECT_NEAR(clock.DelayMicros() / 1e6, 0.7, 0.025);

    // The sound ran dry for 300 ms and came back later by as much: the next
    // packet's measure stands at once.
    clock.Sound(At(30.0), 1000000, int64_t(kSoundSeconds * 1e6));
    EXPECT_NEAR(Seconds(clock.Heard(At(30.005))), 31.005, 1e-6);

    clock.Reset();
    EXPECT_EQ(clock.Heard(At(40.0)), At(40.0));
}

} // namespace
