// Fault for the audit to catch: a call between the loop and the second clock
// reading, so the timed region measures more than the loop.
// want timed.instructions
#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes128.h"
#include "../../src/variants/variants.h"

extern "C" [[gnu::noinline]] void audit_fault_hook() { asm volatile(""); }

extern "C" ISABENCH_PAGE_ALIGNED void bench_sse2() {
    measure_chosen_loop<TWO_LANE_FAMILY>(VARIANT_INDEX_SSE2, FORMAT_SSE2, [](auto loop) ISABENCH_INLINE_LAMBDA {
        const uint64_t sum = sum_two_lanes<decltype(loop)::value>();
        audit_fault_hook();
        return sum;
    });
}
