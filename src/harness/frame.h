// The measuring frame: times a workload REPEATS times between two clock
// readings each, keeps the best time and prints the variant's results line.
//
// Every function here is force-inlined and has internal linkage, as
// codegen.h explains: each variant source compiles its own copy.
#pragma once

#include <cstdint>
#include <cstdio>

#include "../variants/codegen.h"
#include "../variants/loops.h"
#include "measure_record.h"
#include "ticks.h"

#if defined(_WIN32)
// libstdc++ makes every C++ source use MinGW's own printf, an inline wrapper
// with external linkage: the linker keeps one copy of it, built for whichever
// variant's instruction set its source had, and all six would call that copy.
// The Windows runtime's printf is reached under its C name instead; it is
// also the one whose 64-bit hex conversion is spelled %I64X.
extern "C" int __cdecl runtime_printf(const char *format, ...) __asm__("printf");
#else
#define runtime_printf std::printf
#endif

// The classes here are in an unnamed namespace, so that their functions
// have internal linkage too.
namespace {

// How the frame converts a clock reading to a double. The readings are
// unsigned; converting them as signed would be wrong only after the year
// 31,000, but the frame treats them as what they are.
struct UnsignedTicks {
    ISABENCH_INLINE double to_double(uint64_t ticks) { return static_cast<double>(ticks); }
};

// One timed run, step by step: the start reading stored in t, the workload
// and its results, then the end reading, from which t becomes the run's
// elapsed time.
// The conversion and the run are parameters of the frame so that the fault
// executables of the tests (tests/faults) change one step of a real frame
// instead of writing one anew; the measuring functions take the defaults.
template <typename Ticks = UnsignedTicks>
struct TimedRun {
    ISABENCH_INLINE void start() { t = Ticks::to_double(read_ticks()); }

    ISABENCH_INLINE void record(uint64_t sum) {
        keep(sum);  // before the second clock reading
        s = sum;
        N = ELEMENTS;
    }

    ISABENCH_INLINE void stop() {
        t = (Ticks::to_double(read_ticks()) - t) * TICK_SECONDS;
        keep_best();
    }

    // A backwards step of the wall clock makes the elapsed time negative.
    // That is no measurement, and must never be reported as the best time.
    ISABENCH_INLINE void keep_best() {
        if (t >= 0.0 && tmin > t)
            tmin = t;
    }

    // `workload` returns the sum of k XOR (k + 2) over the 1,000,000,000
    // elements.
    template <typename Workload>
    ISABENCH_INLINE void run(Workload workload) {
        start();
        record(workload());
        stop();
    }
};

}  // namespace

// Times `workload` REPEATS times, each a Run, and prints the line.
template <typename Run = TimedRun<>, typename Workload>
ISABENCH_INLINE void measure(const char *format, Workload workload) {
    i = 0;
    tmin = TMIN_START;
    do {
        Run::run(workload);
        ++i;
    } while (i < REPEATS);
    runtime_printf(format, s, tmin, static_cast<double>(ELEMENTS));
}

// The frame around the loop of FAMILY that the driver chose for the variant
// numbered `variant`: `sum(loop)` returns the sum computed by the loop
// numbered loop::value. The choice is read once, before the first run, and
// each loop has a whole frame of its own, so all ten runs time that loop.
template <Family FAMILY, typename Run = TimedRun<>, typename Sum>
ISABENCH_INLINE void measure_chosen_loop(unsigned variant, const char *format, Sum sum) {
    with_chosen_loop<loops_of(FAMILY)>(chosen_loops[variant], [format, sum](auto loop) ISABENCH_INLINE_LAMBDA {
        measure<Run>(format, [sum, loop]() ISABENCH_INLINE_LAMBDA { return sum(loop); });
    });
}
