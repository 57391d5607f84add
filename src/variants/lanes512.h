// The eight-lane loop and its reduction. It expects the AVX-512 intrinsics to
// be in scope: the compiler's own in the AVX-512 variant, a portable
// implementation in the tests that check its arithmetic on any processor.
#pragma once

#include "../harness/frame.h"

// Holds the accumulation before the advance of b, emitting no instruction.
// The portable implementation's vectors fit no register; there the order
// does not matter.
#ifndef ISABENCH_IN_ORDER
#define ISABENCH_IN_ORDER(acc, b) asm("" : "+v"(acc), "+v"(b))
#endif

// b enters holding the indices {8m, ..., 8m + 7} of the first iteration and
// leaves holding those after the last; acc enters holding the start sums.
template <uint64_t ITERATIONS>
ISABENCH_INLINE uint64_t sum_eight_lanes(__m512i &b, __m512i acc) {
    const __m512i c2 = _mm512_set1_epi64(2);
    const __m512i c8 = _mm512_set1_epi64(8);
    ISABENCH_ONE_GROUP_PER_ITERATION
    for (uint64_t n = 0; n != ITERATIONS; ++n) {
        __m512i x = _mm512_add_epi64(b, c2);
        x = _mm512_xor_si512(x, b);
        // Accumulating before the advance of b keeps GCC 12 from copying b.
        acc = _mm512_add_epi64(acc, x);
        // And keeps this order in the code: Zen 4 runs the loop about 2%
        // slower with the advance first, where GCC 12 would put it.
        ISABENCH_IN_ORDER(acc, b);
        b = _mm512_add_epi64(b, c8);
    }
    // Halving steps: 512 to 256 bits (F), 256 to 128 bits (DQ with VL), then
    // the high 64-bit lane onto the low one.
    const __m256i half = _mm256_add_epi64(_mm512_castsi512_si256(acc), _mm512_extracti64x4_epi64(acc, 1));
    __m128i sum = _mm_add_epi64(_mm256_castsi256_si128(half), _mm256_extracti64x2_epi64(half, 1));
    sum = _mm_add_epi64(sum, _mm_srli_si128(sum, 8));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(sum));
}
