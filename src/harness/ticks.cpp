// Wall clock as 100-ns ticks since 1970-01-01 UTC, at microsecond resolution.
// Built for the x86-64 baseline and kept on a page of its own so that its code
// never shares a 4096-byte page with a measuring function.
#include "ticks.h"

#include <sys/time.h>

// The time function the clock reads, and what it returns of the reading:
// the system's gettimeofday, in ticks as they stand. (The binary audit's
// clock faults change one of them, to see the audit catch it.)
#ifndef ISABENCH_TIME_FUNCTION
#define ISABENCH_TIME_FUNCTION gettimeofday
#endif
#ifndef ISABENCH_READING
#define ISABENCH_READING(ticks) (ticks)
#endif

// Never inlined, also under link-time optimisation: every build reads the
// clock through this one call, which the binary audit finds each run's
// timed region by.
extern "C" [[gnu::noinline]] __attribute__((aligned(4096))) uint64_t read_ticks() {
    struct timeval now;
    ISABENCH_TIME_FUNCTION(&now, nullptr);
    // tv_sec is 32 bits on some platforms: widen before multiplying.
    return ISABENCH_READING(static_cast<uint64_t>(now.tv_sec) * 10000000u + static_cast<uint64_t>(now.tv_usec) * 10u);
}
