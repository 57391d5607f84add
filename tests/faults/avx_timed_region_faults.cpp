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
// want FAULT_RETURN timed.exit
//   FAULT_INTERRUPT     a software interrupt (a system call through int
//                       0x80) between the loop and the end reading
// want FAULT_INTERRUPT timed.instructions
//   FAULT_ADDS_MORE     the reduction adds 2 to the accumulator's lanes
// want FAULT_ADDS_MORE reduction.lanes
#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes128.h"
#include "../../src/variants/variants.h"

// In each frame, the number of its loop (`loop`: its std::integral_constant):
// one frame per loop, each the real one (measure_chosen_loop) or one
// written here around the driver's choice (with_chosen_loop).
#define LOOP decltype(loop)::value

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx() {
#if defined(FAULT_BEFORE_START)
    with_chosen_loop<loops_of(TWO_LANE_FAMILY)>(chosen_loops[VARIANT_INDEX_AVX], [](auto loop) ISABENCH_INLINE_LAMBDA {
        i = 0;
        tmin = TMIN_START;
        do {
            const uint64_t sum = sum_two_lanes<LOOP>();
            keep(sum);
            s = sum;
            N = 1000000000;
            t = ticks_to_double(read_ticks());
            t = (ticks_to_double(read_ticks()) - t) * TICK_SECONDS;
            if (t >= 0.0 && tmin > t)
                tmin = t;
            ++i;
        } while (i < REPEATS);
        runtime_printf(FORMAT_AVX, s, tmin, 1000000000.0);
    });
#elif defined(FAULT_START_LOCAL)
    with_chosen_loop<loops_of(TWO_LANE_FAMILY)>(chosen_loops[VARIANT_INDEX_AVX], [](auto loop) ISABENCH_INLINE_LAMBDA {
        i = 0;
        tmin = TMIN_START;
        do {
            const uint64_t start = read_ticks();
            const uint64_t sum = sum_two_lanes<LOOP>();
            keep(sum);
            s = sum;
            N = ELEMENTS;
            t = static_cast<double>(read_ticks() - start) * TICK_SECONDS;
            if (t >= 0.0 && tmin > t)
                tmin = t;
            ++i;
        } while (i < REPEATS);
        runtime_printf(FORMAT_AVX, s, tmin, static_cast<double>(ELEMENTS));
    });
#elif defined(FAULT_RETURN) || defined(FAULT_INTERRUPT) || defined(FAULT_ADDS_MORE)
    measure_chosen_loop<TWO_LANE_FAMILY>(VARIANT_INDEX_AVX, FORMAT_AVX, [](auto loop) ISABENCH_INLINE_LAMBDA {
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
    });
#else
    measure_chosen_loop<TWO_LANE_FAMILY>(VARIANT_INDEX_AVX, FORMAT_AVX, [](auto loop) ISABENCH_INLINE_LAMBDA {
        uint64_t sum = 0;
        uint64_t times = 2;
        opaque(times);
        ISABENCH_ONE_GROUP_PER_ITERATION
        for (uint64_t r = 0; r != times; ++r)
            sum += sum_two_lanes<LOOP>();
        return sum;
    });
#endif
}
