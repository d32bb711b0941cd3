// The tones of the link benchmarks: the programme the field unit sends, the
// return the studio sends back, and the rate the test sinks are recorded at.
#pragma once

constexpr int kRecordRate = 44100;
constexpr double kProgrammeHz = 1000;
constexpr double kReturnHz = 600;
