// Faults in how many runs a line reports on, each in bench_sse2 around its
// real frame and loops, so that the line reports on the best of another
// number of runs than ten:
//   FAULT_NINE_RUNS    the real run, the first one counted twice
// want FAULT_NINE_RUNS printed.runs
//   FAULT_ELEVEN_RUNS  the first run a real run twice, counted once
// want FAULT_ELEVEN_RUNS printed.runs
#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes128.h"
#include "../../src/variants/variants.h"

namespace {

struct CountedOtherwise : TimedRun<> {
    template <typename Workload>
    ISABENCH_INLINE void run(Workload workload) {
        TimedRun<>::run(workload);
        if (i == 0) {
#if defined(FAULT_NINE_RUNS)
            ++i;
#else
            TimedRun<>::run(workload);
#endif
        }
    }
};

}  // namespace

extern "C" ISABENCH_PAGE_ALIGNED void bench_sse2() {
    measure_chosen_loop<TWO_LANE_FAMILY, CountedOtherwise>(VARIANT_INDEX_SSE2, FORMAT_SSE2, [](auto loop) ISABENCH_INLINE_LAMBDA {
        return sum_two_lanes<decltype(loop)::value>();
    });
}
