// AVX variant: the same two-lane loop in VEX-encoded three-operand forms,
// still 128 bits wide (AVX has no 256-bit 64-bit integer addition).
#include "../harness/frame.h"
#include "../harness/result_lines.h"
#include "lanes128.h"
#include "variants.h"

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx() {
    measure_chosen_loop<TWO_LANE_FAMILY>(VARIANT_INDEX_AVX, FORMAT_AVX, [](auto loop) ISABENCH_INLINE_LAMBDA {
        return sum_two_lanes<decltype(loop)::value>();
    });
}
