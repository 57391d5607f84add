// AVX variant: the same two-lane loop in VEX-encoded three-operand forms,
// still 128 bits wide (AVX has no 256-bit 64-bit integer addition).
#include "../harness/frame.h"
#include "../harness/result_lines.h"
#include "lanes128.h"
#include "variants.h"

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx() {
    measure(FORMAT_AVX, []() ISABENCH_INLINE_LAMBDA { return sum_two_lanes(); });
}
