// The two-lane loops shared by the SSE2, SSE4.2 and AVX variants. Each source
// that includes it compiles it for its own instruction set; it is
// force-inlined with internal linkage, so no copy is shared between them.
#pragma once

#include <emmintrin.h>

#include "../harness/measure_record.h"
#include "codegen.h"
#include "lanes.h"
#include "loops.h"

// b holds the indices {2m, 2m + 1} of iteration m. The lane step equals the
// XOR distance (2), so one addition gives both k + 2 and the next indices:
// x <- b; b <- b + c2; x <- x XOR b; acc <- acc + x.
//
// Written instruction by instruction, in registers fixed here, so that every
// compiler emits the same bytes at the same place: left free, Clang keeps
// two copies of b and moves one at the end of the iteration, which runs at
// half the speed on Zen 4. Each operation in legacy two-operand form
// (ISABENCH_SSE_*, family Sse) or VEX three-operand form (ISABENCH_AVX_*,
// family Avx), as the build's instruction set gives; an order puts the
// operations of encoding E together: copyfirst, the one order of the
// two-lane loops.
#define ISABENCH_SSE_COPY(copy) #copy " %[b], %[x]\n\t"
#define ISABENCH_SSE_ADVANCE "paddq %[c2], %[b]\n\t"
#define ISABENCH_SSE_XOR(xor_op) #xor_op " %[b], %[x]\n\t"
#define ISABENCH_SSE_ACCUMULATE "paddq %[x], %[acc]\n\t"
#define ISABENCH_AVX_COPY(copy) #copy " %[b], %[x]\n\t"
#define ISABENCH_AVX_ADVANCE "vpaddq %[c2], %[b], %[b]\n\t"
#define ISABENCH_AVX_XOR(xor_op) #xor_op " %[b], %[x], %[x]\n\t"
#define ISABENCH_AVX_ACCUMULATE "vpaddq %[x], %[acc], %[acc]\n\t"
#define ISABENCH_TWO_LANE_ORDER_copyfirst(E, copy, xor_op) E##_COPY(copy) E##_ADVANCE E##_XOR(xor_op) E##_ACCUMULATE

#define ISABENCH_TWO_LANE_LOOP(E, number, processors, order, counter, position, copy, xor_op, offset)                 \
    if constexpr (NUMBER == number)                                                                                  \
        asm volatile(ISABENCH_LOOP_TEXT(counter, offset,                                                             \
                                        ISABENCH_POSITION_##position(ISABENCH_STEP_##counter,                        \
                                                                     ISABENCH_TWO_LANE_ORDER_##order(E, copy, xor_op))) \
                     : [b] "+x"(b), [x] "=&x"(x), [acc] "+x"(acc)                                                    \
                     : [c2] "x"(c2), ISABENCH_COUNTS(lanes_of(TWO_LANE_FAMILY), ELEMENTS)                             \
                     : "rax", "cc", "memory");

// The family of the two-lane loops this build's instruction set runs.
#if defined(__AVX__)
constexpr Family TWO_LANE_FAMILY = Family::Avx;
#else
constexpr Family TWO_LANE_FAMILY = Family::Sse;
#endif
static_assert(lanes_of(TWO_LANE_FAMILY) == sizeof(__m128i) / sizeof(uint64_t),
              "variants.def: a two-lane family's variants must give it the lanes of a 128-bit register");

// The two-lane loop numbered NUMBER in variants.def, in the family the
// build's instruction set gives: in its row's form or with CHANGED_FORM in
// ISABENCH_CHANGED_FORM's (lanes.h).
template <unsigned NUMBER, bool CHANGED_FORM = false>
ISABENCH_INLINE uint64_t sum_two_lanes() {
    alignas(16) static const uint64_t TWOS[2] = {2, 2};
    register __m128i b asm("xmm0") = _mm_set_epi64x(1, 0);
    register __m128i x asm("xmm1");
    register __m128i acc asm("xmm2") = _mm_setzero_si128();
    register __m128i c2 asm("xmm4") = _mm_load_si128(from_read_only_data<__m128i>(TWOS));
#if defined(__AVX__)
#define ISABENCH_AVX_ROW(...) ISABENCH_TWO_LANE_LOOP(ISABENCH_AVX, __VA_ARGS__)
#define ISABENCH_LOOP_Avx(...) ISABENCH_IN_FORM(ISABENCH_AVX_ROW, __VA_ARGS__)
    static_assert(NUMBER < loops_of(Family::Avx), "no such AVX loop");
#else
#define ISABENCH_SSE_ROW(...) ISABENCH_TWO_LANE_LOOP(ISABENCH_SSE, __VA_ARGS__)
#define ISABENCH_LOOP_Sse(...) ISABENCH_IN_FORM(ISABENCH_SSE_ROW, __VA_ARGS__)
    static_assert(NUMBER < loops_of(Family::Sse), "no such SSE loop");
#endif
#include "variants.def"
    const __m128i sum = _mm_add_epi64(acc, _mm_srli_si128(acc, 8));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(sum));
}
