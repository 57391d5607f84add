// Fault for the audit to catch in a part the compiler split off: a call to a
// cold helper built for AVX2 (code shared with another build, as a cold
// helper in a common header would be) lands in bench_scalar.cold.
// want calls.targets
#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes64.h"
#include "../../src/variants/variants.h"

extern "C" [[gnu::cold, gnu::noinline, gnu::target("avx2")]] void audit_fault_cold_helper() {
    asm volatile("" ::: "memory");
}

extern "C" ISABENCH_PAGE_ALIGNED void bench_scalar() {
    measure_chosen_loop<Family::Scalar>(VARIANT_INDEX_SCALAR, FORMAT_SCALAR, [](auto loop) ISABENCH_INLINE_LAMBDA {
        return sum_one_lane<decltype(loop)::value>();
    });
    if (s != 0xD1F0AD400)
        audit_fault_cold_helper();
}
