// Faults for the audit's rules on the AVX-512 frame, the real one with one
// step changed:
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

// The readings converted as signed numbers.
struct SignedTicks {
    ISABENCH_INLINE double to_double(uint64_t ticks) { return static_cast<double>(static_cast<int64_t>(ticks)); }
};

constexpr unsigned CANDIDATES = loops_of(Family::Avx512);

// The real run of the loop that the run's number picks: the workload takes
// the loop's std::integral_constant.
struct ChoiceByRun {
    template <typename Workload>
    ISABENCH_INLINE void run(Workload workload) {
        with_chosen_loop<CANDIDATES>(static_cast<unsigned>(i % CANDIDATES), [workload](auto loop) ISABENCH_INLINE_LAMBDA {
            TimedRun<>::run([workload, loop]() ISABENCH_INLINE_LAMBDA { return workload(loop); });
        });
    }
};

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx512() {
    const auto sum = [](auto loop) ISABENCH_INLINE_LAMBDA {
        return sum_eight_lanes<decltype(loop)::value>(_mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0));
    };
#if defined(FAULT_SIGNED_CONVERSION)
    measure_chosen_loop<Family::Avx512, TimedRun<SignedTicks>>(VARIANT_INDEX_AVX512, FORMAT_AVX512, sum);
#elif defined(FAULT_CHOICE_BY_RUN)
    measure<ChoiceByRun>(FORMAT_AVX512, sum);
#endif
}
