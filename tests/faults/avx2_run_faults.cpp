// Faults in what a run times and what the line prints, each in bench_avx2
// around its real loops:
//   FAULT_UNMAPPED_LOAD  a load from address 0 between the loop and the end
//                        reading: a handler of the fault it raises could set
//                        the loop's registers half way on and resume
// want FAULT_UNMAPPED_LOAD timed.memory
//   FAULT_SKIPS_RUNS     a path, taken by a flag in writable data, that
//                        prints the line without running: the sum left from
//                        the previous variant and a constant time
// want FAULT_SKIPS_RUNS printed.values
//   FAULT_START_MOVED    the start reading moved on by 80 ms before it is
//                        stored in t: every run looks 80 ms shorter
// want FAULT_START_MOVED printed.values
//   FAULT_TICK_HALVED    the elapsed ticks scaled by half the tick length:
//                        every run looks half as long
// want FAULT_TICK_HALVED printed.values
//   FAULT_BEST_PRESET    the best time starts below any run's instead of at
//                        99 s: no run replaces it, and the line prints it
// want FAULT_BEST_PRESET printed.values
//   FAULT_SWAPPED_FORMAT the AVX-512 line's format: the AVX2 loop's time
//                        printed under the AVX512 label
// want FAULT_SWAPPED_FORMAT printed.values
//   FAULT_START_ONCE     the clock read once, in the first run: each run
//                        times every run since, and the best is the first
// want FAULT_START_ONCE timed.readings
#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes256.h"
#include "../../src/variants/variants.h"

#if defined(FAULT_SKIPS_RUNS)
// Writable, so the audit cannot know which way the test goes.
extern "C" {
uint8_t audit_fault_skip = 0;
}
#endif

// The real run with its start reading moved on by 800,000 ticks (80 ms).
struct StartMoved : TimedRun<> {
    template <typename Workload>
    ISABENCH_INLINE void run(Workload workload) {
        t = UnsignedTicks::to_double(read_ticks() + 800000);
        record(workload());
        stop();
    }
};

// The real run with its elapsed ticks taken as 50 ns each.
struct TickHalved : TimedRun<> {
    template <typename Workload>
    ISABENCH_INLINE void run(Workload workload) {
        start();
        record(workload());
        t = (UnsignedTicks::to_double(read_ticks()) - t) * (TICK_SECONDS / 2);
        keep_best();
    }
};

// The real run, the best time set to 50 ms before the first.
struct BestPreset : TimedRun<> {
    template <typename Workload>
    ISABENCH_INLINE void run(Workload workload) {
        if (i == 0)
            tmin = 0.05;
        TimedRun<>::run(workload);
    }
};

// The real run, its start reading taken in the first run only.
struct StartOnce : TimedRun<> {
    template <typename Workload>
    ISABENCH_INLINE void run(Workload workload) {
        static double first;
        if (i == 0)
            first = UnsignedTicks::to_double(read_ticks());
        t = first;
        record(workload());
        stop();
    }
};

#if defined(FAULT_START_MOVED)
using Run = StartMoved;
#elif defined(FAULT_START_ONCE)
using Run = StartOnce;
#elif defined(FAULT_BEST_PRESET)
using Run = BestPreset;
#elif defined(FAULT_TICK_HALVED)
using Run = TickHalved;
#else
using Run = TimedRun<>;
#endif

#if defined(FAULT_SWAPPED_FORMAT)
#define AUDIT_FAULT_FORMAT FORMAT_AVX512
#else
#define AUDIT_FAULT_FORMAT FORMAT_AVX2
#endif

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx2() {
#if defined(FAULT_SKIPS_RUNS)
    if (audit_fault_skip) {
        runtime_printf(FORMAT_AVX2, s, 0.25, static_cast<double>(ELEMENTS));
        return;
    }
#endif
    measure_chosen_loop<Family::Avx2, Run>(VARIANT_INDEX_AVX2, AUDIT_FAULT_FORMAT, [](auto loop) ISABENCH_INLINE_LAMBDA {
#if defined(FAULT_UNMAPPED_LOAD)
        asm volatile("mov 0, %%rax" ::: "rax");
#endif
        return sum_four_lanes<decltype(loop)::value>();
    });
}
