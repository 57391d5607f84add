// Fault for the audit to catch: the AVX2 loop, built without loop alignment,
// placed behind its set-up just past a 64-byte boundary. It stays inside one
// 64-byte line but crosses a 32-byte boundary, where Intel's jump-erratum
// microcode slows its branch.
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes256.h"
#include "../../src/variants/variants.h"

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx2() {
    measure(FORMAT_AVX2, []() ISABENCH_INLINE_LAMBDA {
        asm volatile(".p2align 6");
        return sum_four_lanes();
    });
}
