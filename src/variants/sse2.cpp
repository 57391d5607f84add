// SSE2 variant: two 64-bit lanes per iteration in 128-bit registers, built
// for the x86-64 baseline (legacy SSE encodings).
#include "../harness/frame.h"
#include "../harness/result_lines.h"
#include "lanes128.h"
#include "variants.h"

extern "C" ISABENCH_PAGE_ALIGNED void bench_sse2() {
    measure_chosen_loop<TWO_LANE_FAMILY>(VARIANT_INDEX_SSE2, FORMAT_SSE2, [](auto loop) ISABENCH_INLINE_LAMBDA {
        return sum_two_lanes<decltype(loop)::value>();
    });
}
