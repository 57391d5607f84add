// Faults for the audit's arithmetic rules in the eight-lane loops; each runs
// the real loops on values that give another sum, or loop 0 with its
// accumulation masked (the other frames run their real loops):
//   FAULT_TRIP_COUNT   1000000000 / 16 iterations
// want FAULT_TRIP_COUNT arith.trip-count
//   FAULT_START_LANES  b starting at lanes 1..8
// want FAULT_START_LANES arith.start
//   FAULT_LANE_STEP    b advancing by 16
// want FAULT_LANE_STEP arith.constants
//   FAULT_MASKED       the accumulation masked to seven lanes: the same
//                      instructions, told apart by the data flow alone
// want FAULT_MASKED loop.dataflow
//   FAULT_STEP_IN_DATA the lane step loaded from writable data, which
//                      anything could change between runs
// want FAULT_STEP_IN_DATA arith.constants
//   FAULT_STEP_RESOLVED the lane step loaded from a constant array that the
//                      loader fills with a resolver's result (IRELATIVE),
//                      16, in data it makes read-only once relocated: the
//                      file holds no step (ELF only)
// want FAULT_STEP_RESOLVED image.relocations
//   FAULT_STEP_GS      the lane step loaded GS-relative from the address of
//                      a read-only constant of 8s: the thread's segment base
//                      makes it any memory at all
// want FAULT_STEP_GS arith.constants
#include <immintrin.h>

// FAULT_MASKED: the row's order with the accumulation merge-masked by k1,
// which the frame sets to seven lanes before the loop (CHANGED_FORM,
// lanes.h); the accumulation is the one instruction changed.
#define AUDIT_FAULT_MASKED_ACCUMULATE "vpaddq %[x], %[acc], %[acc]%{%%k1%}\n\t"
#define ISABENCH_WIDE_ORDER_masked_accfirst(accumulate, advance) AUDIT_FAULT_MASKED_ACCUMULATE advance
#define ISABENCH_WIDE_ORDER_masked_advfirst(accumulate, advance) advance AUDIT_FAULT_MASKED_ACCUMULATE
#define ISABENCH_CHANGED_FORM(order, ...) masked_##order, __VA_ARGS__

#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes512.h"
#include "../../src/variants/variants.h"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// The lane step each fault gives the real loop 0 in place of the real one.
#if defined(FAULT_LANE_STEP)
#define AUDIT_FAULT_STEP _mm512_set1_epi64(16)
#elif defined(FAULT_STEP_IN_DATA)
extern "C" {
alignas(64) uint64_t audit_fault_step[8] = {8, 8, 8, 8, 8, 8, 8, 8};
}
#define AUDIT_FAULT_STEP _mm512_load_si512(audit_fault_step)
#elif defined(FAULT_STEP_RESOLVED)
// A function resolved at load time whose "address" is the step: each slot
// holding it gets an IRELATIVE relocation.
extern "C" {
void (*audit_fault_resolve_step())() { return reinterpret_cast<void (*)()>(16); }
void audit_fault_step_value() __attribute__((ifunc("audit_fault_resolve_step")));
alignas(64) void (*const audit_fault_step[8])() = {
    audit_fault_step_value, audit_fault_step_value, audit_fault_step_value, audit_fault_step_value,
    audit_fault_step_value, audit_fault_step_value, audit_fault_step_value, audit_fault_step_value};
}
#define AUDIT_FAULT_STEP _mm512_load_si512(audit_fault_step)
#elif defined(FAULT_STEP_GS)
alignas(64) static const uint64_t audit_fault_gs_step[8] = {8, 8, 8, 8, 8, 8, 8, 8};

// The step at `at` in the GS segment: the flat address of the constant
// above, read through the thread's segment base.
ISABENCH_INLINE __m512i load_through_gs(const uint64_t* at) {
    __m512i step;
    asm volatile("vmovdqa64 %%gs:(%1), %0" : "=v"(step) : "r"(at), "m"(*at));
    return step;
}
#define AUDIT_FAULT_STEP load_through_gs(audit_fault_gs_step)
#endif

#define START _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0)

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx512() {
    measure_chosen_loop<Family::Avx512>(VARIANT_INDEX_AVX512, FORMAT_AVX512, [](auto loop) ISABENCH_INLINE_LAMBDA {
        constexpr unsigned LOOP = decltype(loop)::value;
#if defined(FAULT_TRIP_COUNT)
        return sum_eight_lanes<LOOP, ELEMENTS / 2>(START);
#elif defined(FAULT_START_LANES)
        return sum_eight_lanes<LOOP>(_mm512_set_epi64(8, 7, 6, 5, 4, 3, 2, 1));
#elif defined(FAULT_MASKED)
        if constexpr (LOOP == 0) {
            asm volatile("mov $0x7f, %%eax\n\tkmovw %%eax, %%k1" : : : "rax", "k1");
            return sum_eight_lanes<LOOP, ELEMENTS, true>(START);
        } else {
            return sum_eight_lanes<LOOP>(START);
        }
#else
        if constexpr (LOOP == 0)
            return sum_eight_lanes<LOOP>(START, AUDIT_FAULT_STEP);
        else
            return sum_eight_lanes<LOOP>(START);
#endif
    });
}
