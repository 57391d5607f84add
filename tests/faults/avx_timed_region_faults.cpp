// Faults for the audit's timed-region rules:
//   FAULT_BEFORE_START  the workload run before the run's start reading, so
//                       the readings time nothing (the line shows t=0.000000)
// want FAULT_BEFORE_START timed.once
//   FAULT_TWICE         the workload run twice between the two readings
// want FAULT_TWICE timed.once
//   FAULT_START_LOCAL   the start reading kept in a local, never stored in t,
//                       and the readings subtracted as integers
// want FAULT_START_LOCAL timed.readings
//   FAULT_RETURN        a return between the loop and the end reading
// want FAULT_RETURN timed.instructions
//   FAULT_INTERRUPT     a software interrupt (a system call through int
//                       0x80) between the loop and the end reading
// want FAULT_INTERRUPT timed.instructions
//   FAULT_ADDS_MORE     the reduction adds 2 to the accumulator's lanes
// want FAULT_ADDS_MORE reduction.lanes
#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes128.h"
#include "../../src/variants/variants.h"
#include "fault_support.h"

// In each frame, the number of its loop (`loop`: its std::integral_constant).
#define LOOP decltype(loop)::value

// The real run with one step changed.
struct WorkloadBeforeStart : TimedRun<> {
    template <typename Workload>
    ISABENCH_INLINE void run(Workload workload) {
        record(workload());
        start();
        stop();
    }
};

struct StartInLocal : TimedRun<> {
    template <typename Workload>
    ISABENCH_INLINE void run(Workload workload) {
        const uint64_t start = read_ticks();
        record(workload());
        t = static_cast<double>(read_ticks() - start) * TICK_SECONDS;
        keep_best();
    }
};

#if defined(FAULT_BEFORE_START)
using Run = WorkloadBeforeStart;
#elif defined(FAULT_START_LOCAL)
using Run = StartInLocal;
#else
using Run = TimedRun<>;
#endif

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx() {
    measure_chosen_loop<TWO_LANE_FAMILY, Run>(VARIANT_INDEX_AVX, FORMAT_AVX, [](auto loop) ISABENCH_INLINE_LAMBDA {
#if defined(FAULT_TWICE)
        uint64_t sum = 0;
        uint64_t times = 2;
        opaque(times);
        ISABENCH_ONE_GROUP_PER_ITERATION
        for (uint64_t r = 0; r != times; ++r)
            sum += sum_two_lanes<LOOP>();
        return sum;
#else
        const uint64_t sum = sum_two_lanes<LOOP>();
#if defined(FAULT_RETURN)
        asm volatile("test %0, %0\n\tjne 1f\n\tret\n1:" : : "r"(sum) : "cc");
#elif defined(FAULT_INTERRUPT)
        asm volatile("mov $20, %%eax\n\tint $0x80" : : : "rax", "memory");
#endif
#if defined(FAULT_ADDS_MORE)
        return sum + 2;
#else
        return sum;
#endif
#endif
    });
}
