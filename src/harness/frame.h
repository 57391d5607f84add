// The measuring frame: times a workload REPEATS times between two clock
// readings each, keeps the best time and prints the variant's results line.
//
// Every function here is force-inlined and has internal linkage. Each variant
// source includes this header and is compiled for its own instruction set; an
// out-of-line copy with external linkage would be merged by the linker and
// could leave, say, the scalar variant calling code built for AVX-512.
#pragma once

#include <cstdint>
#include <cstdio>

#include "measure_record.h"
#include "ticks.h"

#define ISABENCH_INLINE [[gnu::always_inline]] static inline

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

// Lambdas passed to measure() carry this so that the loop is built inline in
// the frame, never reached through a call.
#define ISABENCH_INLINE_LAMBDA __attribute__((always_inline))

// Holds the loop that follows to one group of lanes per iteration: no
// unrolling, no interleaving, no vectorisation beyond what the source says.
#if defined(__clang__)
#define ISABENCH_ONE_GROUP_PER_ITERATION _Pragma("clang loop unroll(disable) interleave(disable) vectorize(disable)")
#else
#define ISABENCH_ONE_GROUP_PER_ITERATION _Pragma("GCC unroll 1")
#endif

// Starts a run from values the optimiser cannot know, without emitting any
// instruction: the workload can then be neither folded to its closed form nor
// computed once and reused across runs. The memory clobber keeps it after the
// store of the first clock reading.
ISABENCH_INLINE void opaque(uint64_t &value) { asm volatile("" : "+r"(value) : : "memory"); }

template <typename Vector>
ISABENCH_INLINE void opaque(Vector &value) {
    asm volatile("" : "+v"(value) : : "memory");
}

// Marks the sum as used before the second clock reading.
ISABENCH_INLINE void keep(uint64_t value) { asm volatile("" : : "r"(value) : "memory"); }

// The readings are unsigned; converting them as signed would be wrong only
// after the year 31,000, but the frame treats them as what they are.
ISABENCH_INLINE double ticks_to_double(uint64_t ticks) { return static_cast<double>(ticks); }

// `workload` returns the sum of k XOR (k + 2) over the 1,000,000,000 elements.
template <typename Workload>
ISABENCH_INLINE void measure(const char *format, Workload workload) {
    i = 0;
    tmin = TMIN_START;
    do {
        t = ticks_to_double(read_ticks());
        const uint64_t sum = workload();
        keep(sum);
        s = sum;
        N = 1000000000;
        t = (ticks_to_double(read_ticks()) - t) * TICK_SECONDS;
        // A backwards step of the wall clock makes the elapsed time negative.
        // That is no measurement, and must never be reported as the best time.
        if (t >= 0.0 && tmin > t)
            tmin = t;
        ++i;
    } while (i < REPEATS);
    runtime_printf(format, s, tmin, 1000000000.0);
}
