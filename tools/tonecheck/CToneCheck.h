// Listens to what should be a steady sine tone and counts what a listener
// would hear wrong with it: gaps (the tone drops away) and discontinuities
// (a break in its phase or a jump in its level, heard as a click).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CToneCheck {
public:
    // samples: interleaved signed 16-bit, 1 or 2 channels (any more are
    // checked as well), any rate; frequency: the tone's, in Hz.
    CToneCheck(int sampleRate, int channels, double frequency);
    virtual ~CToneCheck() = default;

    // Any number of samples per call; count is in samples, not frames.
    void Feed(const int16_t* samples, size_t count);

    struct Event {
        double at = 0;      // seconds from the first sample fed
        bool gap = false;   // else a discontinuity
        double silence = 0; // a gap's longest silent stretch, seconds
    };

    int Gaps() const { return gaps; }
    int Discontinuities() const { return discontinuities; }
    // The first kKeptEvents events, in order.
    const std::vector<Event>& FirstEvents() const { return events; }
    // Seconds checked: fed once the tone was established.
    double SecondsAnalysed() const { return double(analysedWindows) * windowLength / rate; }
    double SecondsFed() const { return double(framesFed) / rate; }
    bool Established() const;
    // The tone's amplitude as heard (full scale 1) and its measured pitch.
    double Level() const;
    double Frequency() const;

    // Timing marks: short, smooth glides of the pitch upwards by about
    // kMarkShift (the field unit's --tone-marks), too gentle to count as
    // anything. Their centres, in seconds from the first sample fed.
    const std::vector<double>& Marks() const { return marks; }

    static constexpr double kWindowSeconds = 0.005;
    static constexpr size_t kKeptEvents = 200;
    // Below this share of the tone's level a sample counts as silent (its
    // amplitude, that is, not its value: zero crossings are not silence).
    static constexpr double kSilentRatio = 0.1;
    // A silent stretch this long is a gap; a shorter one is a click.
    static constexpr double kGapSeconds = 0.0025;
    // A sample the sine recurrence misses by this share of the level is a
    // click, unless the codec's noise is louder than that.
    static constexpr double kClickRatio = 0.03;
    static constexpr double kClickOverNoise = 10;
    static constexpr double kMarkShift = 0.05;

private:
    struct Channel {
        // Last two samples, for the recurrence.
        double x1 = 0, x2 = 0;
        int primed = 0;
        // This window.
        double energy = 0, peakResidual = 0, residualEnergy = 0;
        uint64_t peakAt = 0;
        double crossSum = 0, powerSum = 0;
        size_t silentRun = 0, longestSilentRun = 0;
        bool silentReached = false;
        uint64_t gapAt = 0;
        // Across windows.
        double level = 0;
        double noise = 0;
        double frequency = 0;
        double lastPitch = 0;
        int steadyWindows = 0;
        bool established = false;
    };
    enum class Verdict { Good, Click, Silent };

    void EndWindow();
    // Ends the window for one channel: what it heard, and for a bad window
    // how long it was silent and where (in frames) the fault began.
    Verdict Judge(Channel& c, double& silence, uint64_t& at);
    void Note(bool bad, bool gap, double silence, double at);
    void NoteMark(double deviation, double at);

    int rate;
    int channels;
    double frequency;
    double twoCos;
    double sinSquared;
    size_t windowLength;
    size_t gapSamples;
    std::vector<Channel> state;

    size_t inWindow = 0;  // frames of the current window so far
    size_t channelAt = 0; // next sample's channel
    uint64_t framesFed = 0;
    uint64_t windowsDone = 0;
    uint64_t analysedWindows = 0;

    // The event of the bad windows running now, if any.
    bool inEvent = false;
    bool eventIsGap = false;
    size_t eventIndex = 0; // into events, when kept
    bool eventKept = false;
    int gaps = 0;
    int discontinuities = 0;
    std::vector<Event> events;

    // The mark being heard now, if any, and the good windows before it.
    int markWindows = 0;
    double markWeight = 0, markWeightedTime = 0, markPeak = 0;
    int cleanWindows = 0;
    std::vector<double> marks;
};
