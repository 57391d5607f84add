// Faults for the audit's arithmetic rules in the eight-lane loops; each runs
// the loop's operations on values that give another sum:
//   FAULT_TRIP_COUNT   1000000000 / 16 iterations
// want FAULT_TRIP_COUNT arith.trip-count
//   FAULT_START_LANES  b starting at lanes 1..8
// want FAULT_START_LANES arith.start
//   FAULT_LANE_STEP    b advancing by 16
// want FAULT_LANE_STEP arith.constants
//   FAULT_MASKED       the accumulation masked to seven lanes
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

#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes512.h"
#include "../../src/variants/variants.h"
#include "fault_support.h"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#if defined(FAULT_STEP_IN_DATA)
extern "C" {
alignas(64) uint64_t audit_fault_step[8] = {8, 8, 8, 8, 8, 8, 8, 8};
}
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
#elif defined(FAULT_STEP_GS)
alignas(64) static const uint64_t audit_fault_gs_step[8] = {8, 8, 8, 8, 8, 8, 8, 8};

// The step at `at` in the GS segment: the flat address of the constant
// above, read through the thread's segment base.
ISABENCH_INLINE __m512i load_through_gs(const uint64_t* at) {
    __m512i step;
    asm volatile("vmovdqa64 %%gs:(%1), %0" : "=v"(step) : "r"(at), "m"(*at));
    return step;
}
#endif

// The eight-lane loop's operations written in C++, on values that may give
// another sum.
[[maybe_unused]] ISABENCH_INLINE uint64_t written_eight_lanes() {
    __m512i b = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    __m512i acc = _mm512_setzero_si512();
    opaque(b);
    opaque(acc);
    const __m512i c2 = _mm512_set1_epi64(2);
#if defined(FAULT_LANE_STEP)
    const __m512i step = _mm512_set1_epi64(16);
#elif defined(FAULT_STEP_IN_DATA) || defined(FAULT_STEP_RESOLVED)
    const __m512i step = _mm512_load_si512(audit_fault_step);
#elif defined(FAULT_STEP_GS)
    const __m512i step = load_through_gs(audit_fault_gs_step);
#else
    const __m512i step = _mm512_set1_epi64(8);
#endif
    ISABENCH_ONE_GROUP_PER_ITERATION
    for (uint64_t n = 0; n != 1000000000 / 8; ++n) {
        __m512i x = _mm512_add_epi64(b, c2);
        x = _mm512_xor_si512(x, b);
#if defined(FAULT_MASKED)
        acc = _mm512_mask_add_epi64(acc, 0x7f, acc, x);
#else
        acc = _mm512_add_epi64(acc, x);
#endif
        b = _mm512_add_epi64(b, step);
    }
    return static_cast<uint64_t>(_mm512_reduce_add_epi64(acc));
}

// The real loops on wrong values in every frame (the trip count, the
// start), or the loop written above in the frame of loop 0.
extern "C" ISABENCH_PAGE_ALIGNED void bench_avx512() {
    measure_chosen_loop<Family::Avx512>(VARIANT_INDEX_AVX512, FORMAT_AVX512, [](auto loop) ISABENCH_INLINE_LAMBDA {
        constexpr unsigned LOOP = decltype(loop)::value;
#if defined(FAULT_TRIP_COUNT)
        return sum_eight_lanes<LOOP, ELEMENTS / 2>(_mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0));
#elif defined(FAULT_START_LANES)
        return sum_eight_lanes<LOOP>(_mm512_set_epi64(8, 7, 6, 5, 4, 3, 2, 1));
#else
        if constexpr (LOOP == 0)
            return written_eight_lanes();
        else
            return sum_eight_lanes<LOOP>(_mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0));
#endif
    });
}
