// The process-wide measurement state and the fixed numbers of the measuring frame.
#pragma once

#include <cstdint>

// Five separate variables with external linkage, deliberately not volatile:
// because they are visible outside this unit, every store the frame makes
// before a clock call is really performed, and `t` is read back from memory
// after the second call, without costing the loop anything.
extern "C" {
extern double tmin;    // best elapsed time of the running variant, seconds
extern double t;       // start reading during a run, elapsed seconds after it
extern uint64_t s;     // the workload's sum from the last run
extern uint64_t i;     // repetition counter
extern uint64_t N;     // element count of the last run
}

constexpr uint64_t REPEATS = 10;
// Elements per run: what `N` holds after every run and the line prints after
// "N=". Each loop's trip count is this over its lanes.
constexpr uint64_t ELEMENTS = 1000000000;
constexpr double TMIN_START = 99.0;
constexpr double TICK_SECONDS = 1e-7;
