// The four-lane loop of the AVX2 variant, beside the two- and eight-lane
// ones. Force-inlined with internal linkage, like them: each source that
// includes it compiles its own copy for its own instruction set.
#pragma once

#include <immintrin.h>

#include "../harness/frame.h"

// b holds the indices {4m, ..., 4m + 3} of iteration m. The lane step (4)
// differs from the XOR distance (2), so b takes two additions per iteration.
// The accumulation is written before the advance of b: in the other order
// GCC 12 keeps the old b in a second register and copies it every iteration.
ISABENCH_INLINE uint64_t sum_four_lanes() {
    __m256i b = _mm256_set_epi64x(3, 2, 1, 0);
    __m256i acc = _mm256_setzero_si256();
    const __m256i c2 = _mm256_set1_epi64x(2);
    const __m256i c4 = _mm256_set1_epi64x(4);
    opaque(b);
    opaque(acc);
    ISABENCH_ONE_GROUP_PER_ITERATION
    for (uint64_t n = 0; n != 1000000000 / 4; ++n) {
        __m256i x = _mm256_add_epi64(b, c2);
        x = _mm256_xor_si256(x, b);
        acc = _mm256_add_epi64(acc, x);
        b = _mm256_add_epi64(b, c4);
    }
    __m128i sum = _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    sum = _mm_add_epi64(sum, _mm_srli_si128(sum, 8));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(sum));
}
