// The two-lane loop shared by the SSE2, SSE4.2 and AVX variants. Each source
// that includes it compiles it for its own instruction set; it is
// force-inlined with internal linkage, so no copy is shared between them.
#pragma once

#include <emmintrin.h>

#include "../harness/frame.h"

// b holds the indices {2m, 2m + 1} of iteration m. The lane step equals the
// XOR distance (2), so one addition gives both k + 2 and the next indices.
ISABENCH_INLINE uint64_t sum_two_lanes() {
    __m128i b = _mm_set_epi64x(1, 0);
    __m128i acc = _mm_setzero_si128();
    // c2 is loaded from read-only data. Given the value itself, GCC for
    // Windows builds it from an immediate (mov, movq, punpcklqdq) instead;
    // hiding where the pointer points keeps it a load.
    alignas(16) static const uint64_t TWOS[2] = {2, 2};
    const uint64_t *twos = TWOS;
    asm("" : "+r"(twos));
    const __m128i c2 = _mm_load_si128(reinterpret_cast<const __m128i *>(twos));
    opaque(b);
    opaque(acc);
    ISABENCH_ONE_GROUP_PER_ITERATION
    for (uint64_t n = 0; n != 1000000000 / 2; ++n) {
        __m128i x = b;
        // Pins the copy of b here, as the loop's first step. Left free, Clang
        // keeps two copies of b and moves one at the end of the iteration,
        // which runs at half the speed on Zen 4. It emits no instruction.
        asm("" : "+x"(x));
        b = _mm_add_epi64(b, c2);
        x = _mm_xor_si128(x, b);
        acc = _mm_add_epi64(acc, x);
    }
    acc = _mm_add_epi64(acc, _mm_srli_si128(acc, 8));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(acc));
}
