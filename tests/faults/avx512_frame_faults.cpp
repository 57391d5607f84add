// Faults for the audit's rules on the AVX-512 frame, written here:
//   FAULT_SIGNED_CONVERSION  each clock reading converted as a signed number
//                            (VCVTSI2SD), where the frame is to use the
//                            unsigned conversion that AVX-512F adds
// want FAULT_SIGNED_CONVERSION isa.conversion
//   FAULT_CHOICE_BY_RUN      the loop picked anew before each run, outside
//                            its readings, by the run's number: the runs
//                            alternate between the loops
// want FAULT_CHOICE_BY_RUN timed.choice
#include <immintrin.h>

#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes512.h"
#include "../../src/variants/variants.h"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#if defined(FAULT_SIGNED_CONVERSION)
ISABENCH_INLINE double ticks() { return static_cast<double>(static_cast<int64_t>(read_ticks())); }
#else
ISABENCH_INLINE double ticks() { return ticks_to_double(read_ticks()); }
#endif

// One run of the loop numbered LOOP, between its two readings.
template <unsigned LOOP>
ISABENCH_INLINE void run() {
    t = ticks();
    const uint64_t sum = sum_eight_lanes<LOOP>(_mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0));
    keep(sum);
    s = sum;
    N = ELEMENTS;
    t = (ticks() - t) * TICK_SECONDS;
    if (t >= 0.0 && tmin > t)
        tmin = t;
}

constexpr unsigned CANDIDATES = loops_of(Family::Avx512);

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx512() {
#if defined(FAULT_CHOICE_BY_RUN)
    i = 0;
    tmin = TMIN_START;
    do {
        with_chosen_loop<CANDIDATES>(static_cast<unsigned>(i % CANDIDATES),
                                [](auto loop) ISABENCH_INLINE_LAMBDA { run<decltype(loop)::value>(); });
        ++i;
    } while (i < REPEATS);
    runtime_printf(FORMAT_AVX512, s, tmin, static_cast<double>(ELEMENTS));
#else
    with_chosen_loop<CANDIDATES>(chosen_loops[VARIANT_INDEX_AVX512], [](auto loop) ISABENCH_INLINE_LAMBDA {
        i = 0;
        tmin = TMIN_START;
        do {
            run<decltype(loop)::value>();
            ++i;
        } while (i < REPEATS);
        runtime_printf(FORMAT_AVX512, s, tmin, static_cast<double>(ELEMENTS));
    });
#endif
}
