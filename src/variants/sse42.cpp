// SSE4.2 variant: the SSE2 variant's source built for the SSE4.2 level; it
// shows what the newer level alone changes.
#include "../harness/frame.h"
#include "../harness/result_lines.h"
#include "lanes128.h"
#include "variants.h"

extern "C" ISABENCH_PAGE_ALIGNED void bench_sse42() {
    measure_chosen_loop<TWO_LANE_FAMILY>(VARIANT_INDEX_SSE42, FORMAT_SSE42, [](auto loop) ISABENCH_INLINE_LAMBDA {
        return sum_two_lanes<decltype(loop)::value>();
    });
}
