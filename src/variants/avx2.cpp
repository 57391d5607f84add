// AVX2 variant: four 64-bit lanes per iteration in 256-bit registers.
#include "../harness/frame.h"
#include "../harness/result_lines.h"
#include "lanes256.h"
#include "variants.h"

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx2() {
    measure_chosen_loop<Family::Avx2>(VARIANT_INDEX_AVX2, FORMAT_AVX2, [](auto loop) ISABENCH_INLINE_LAMBDA {
        return sum_four_lanes<decltype(loop)::value>();
    });
}
