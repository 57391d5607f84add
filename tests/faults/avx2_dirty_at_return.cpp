// Fault for the audit's rule on the upper register halves: after its line is
// printed, the AVX2 function touches a 256-bit register and returns to the
// baseline-built driver without clearing the upper halves. (Built without
// the compiler's clearing, so its calls are dirty too; the return is what
// this fault shows.)
// want upper.clear
#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes256.h"
#include "../../src/variants/variants.h"

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx2() {
    measure_chosen_loop<Family::Avx2>(VARIANT_INDEX_AVX2, FORMAT_AVX2, [](auto loop) ISABENCH_INLINE_LAMBDA {
        return sum_four_lanes<decltype(loop)::value>();
    });
    asm volatile("vpxor %%ymm0, %%ymm0, %%ymm0" ::: "xmm0");
}
