// Fault for the audit to catch: the AVX2 loop unrolled by two with a second
// accumulator, as an optimiser left free would do it, in the frame of loop 0
// (the other frames run their real loops).
// want loop.shape
#include <immintrin.h>

#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes256.h"
#include "../../src/variants/variants.h"
#include "fault_support.h"

ISABENCH_INLINE uint64_t two_accumulators() {
    __m256i b = _mm256_set_epi64x(3, 2, 1, 0);
    __m256i acc0 = _mm256_setzero_si256();
    __m256i acc1 = _mm256_setzero_si256();
    const __m256i c2 = _mm256_set1_epi64x(2);
    const __m256i c4 = _mm256_set1_epi64x(4);
    opaque(b);
    for (uint64_t n = 0; n != 1000000000 / 8; ++n) {
        acc0 = _mm256_add_epi64(acc0, _mm256_xor_si256(_mm256_add_epi64(b, c2), b));
        b = _mm256_add_epi64(b, c4);
        acc1 = _mm256_add_epi64(acc1, _mm256_xor_si256(_mm256_add_epi64(b, c2), b));
        b = _mm256_add_epi64(b, c4);
    }
    const __m256i acc = _mm256_add_epi64(acc0, acc1);
    const __m128i sum = _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_add_epi64(sum, _mm_srli_si128(sum, 8))));
}

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx2() {
    measure_chosen_loop<Family::Avx2>(VARIANT_INDEX_AVX2, FORMAT_AVX2, [](auto loop) ISABENCH_INLINE_LAMBDA {
        if constexpr (decltype(loop)::value == 0)
            return two_accumulators();
        else
            return sum_four_lanes<decltype(loop)::value>();
    });
}
