// The four-lane loops of the AVX2 variant, beside the two- and eight-lane
// ones. Force-inlined with internal linkage, like them: each source that
// includes it compiles its own copy for its own instruction set.
#pragma once

#include <immintrin.h>

#include "../harness/measure_record.h"
#include "codegen.h"
#include "lanes.h"
#include "loops.h"

// b holds the indices {4m, ..., 4m + 3} of iteration m. The lane step (4)
// differs from the XOR distance (2), so b takes two additions per iteration:
// x <- b + c2; x <- x XOR b; then acc <- acc + x and b <- b + c4 in the
// form's order.
//
// Written instruction by instruction, in registers fixed here, so that every
// compiler emits the same bytes at the same place.
#define ISABENCH_WIDE_ORDER_accfirst(accumulate, advance) accumulate advance
#define ISABENCH_WIDE_ORDER_advfirst(accumulate, advance) advance accumulate
#define ISABENCH_WIDE_OPERATIONS(order, xor_op)                                                  \
    "vpaddq %[c2], %[b], %[x]\n\t" #xor_op " %[b], %[x], %[x]\n\t" ISABENCH_WIDE_ORDER_##order( \
        "vpaddq %[x], %[acc], %[acc]\n\t", "vpaddq %[step], %[b], %[b]\n\t")

// One loop of a wide family: vector registers of constraint REGISTERS,
// LANES lanes, the lane step in STEP, RUN_ELEMENTS elements per run.
#define ISABENCH_WIDE_LOOP(REGISTERS, LANES, STEP, number, processors, order, counter, position, copy, xor_op, offset) \
    if constexpr (NUMBER == number)                                                                                  \
        asm volatile(ISABENCH_LOOP_TEXT(counter, offset,                                                             \
                                        ISABENCH_POSITION_##position(ISABENCH_STEP_##counter,                        \
                                                                     ISABENCH_WIDE_OPERATIONS(order, xor_op)))       \
                     : [b] "+" REGISTERS(b), [x] "=&" REGISTERS(x), [acc] "+" REGISTERS(acc)                         \
                     : [c2] REGISTERS(c2), [step] REGISTERS(STEP), ISABENCH_COUNTS(LANES, RUN_ELEMENTS)                            \
                     : "rax", "cc", "memory");

static_assert(lanes_of(Family::Avx2) == sizeof(__m256i) / sizeof(uint64_t),
              "variants.def: the AVX2 family's variants must give it the lanes of a 256-bit register");

// The four-lane loop numbered NUMBER in variants.def.
template <unsigned NUMBER>
ISABENCH_INLINE uint64_t sum_four_lanes() {
    constexpr uint64_t RUN_ELEMENTS = ELEMENTS;
    alignas(32) static const uint64_t TWOS[4] = {2, 2, 2, 2};
    alignas(32) static const uint64_t FOURS[4] = {4, 4, 4, 4};
    register __m256i b asm("ymm0") = _mm256_set_epi64x(3, 2, 1, 0);
    register __m256i x asm("ymm1");
    register __m256i acc asm("ymm2") = _mm256_setzero_si256();
    register __m256i c4 asm("ymm3") = _mm256_load_si256(from_read_only_data<__m256i>(FOURS));
    register __m256i c2 asm("ymm4") = _mm256_load_si256(from_read_only_data<__m256i>(TWOS));
#define ISABENCH_LOOP_Avx2(...) ISABENCH_WIDE_LOOP("x", lanes_of(Family::Avx2), c4, __VA_ARGS__)
#include "variants.def"
    static_assert(NUMBER < loops_of(Family::Avx2), "no such AVX2 loop");
    __m128i sum = _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    sum = _mm_add_epi64(sum, _mm_srli_si128(sum, 8));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(sum));
}
