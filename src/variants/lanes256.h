// The four-lane loop of the AVX2 variant, beside the two- and eight-lane
// ones. Force-inlined with internal linkage, like them: each source that
// includes it compiles its own copy for its own instruction set.
#pragma once

#include <immintrin.h>

#include "../harness/measure_record.h"
#include "codegen.h"
#include "placement.h"

// b holds the indices {4m, ..., 4m + 3} of iteration m. The lane step (4)
// differs from the XOR distance (2), so b takes two additions per iteration.
//
// Written instruction by instruction, in registers fixed here, so that every
// compiler emits the same bytes at the same place. The steps run in their
// defined order (the advance of b before the accumulation) and the counter
// counts up to the trip count (add, cmp, jne): on Intel's Sapphire Rapids
// class this form runs at 1.7 cycles per iteration, where a counter down to
// zero (sub, jne) or the accumulation first takes 1.9 to 2.1.
ISABENCH_INLINE uint64_t sum_four_lanes() {
    alignas(32) static const uint64_t TWOS[4] = {2, 2, 2, 2};
    alignas(32) static const uint64_t FOURS[4] = {4, 4, 4, 4};
    register __m256i b asm("ymm0") = _mm256_set_epi64x(3, 2, 1, 0);
    register __m256i x asm("ymm1");
    register __m256i acc asm("ymm2") = _mm256_setzero_si256();
    register __m256i c4 asm("ymm3") = _mm256_load_si256(from_read_only_data<__m256i>(FOURS));
    register __m256i c2 asm("ymm4") = _mm256_load_si256(from_read_only_data<__m256i>(TWOS));
    asm volatile("xor %%eax, %%eax\n\t" ISABENCH_LOOP_AT(ISABENCH_OFFSET_AVX2)
                 "1:\n\t"
                 "vpaddq %[c2], %[b], %[x]\n\t"
                 "vpxor %[b], %[x], %[x]\n\t"
                 "vpaddq %[c4], %[b], %[b]\n\t"
                 "vpaddq %[x], %[acc], %[acc]\n\t"
                 "add $1, %%rax\n\t"
                 "cmp %[n], %%rax\n\t"
                 "jne 1b"
                 : [b] "+x"(b), [x] "=&x"(x), [acc] "+x"(acc)
                 : [c2] "x"(c2), [c4] "x"(c4), [n] "i"(ELEMENTS / 4)
                 : "rax", "cc", "memory");
    __m128i sum = _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    sum = _mm_add_epi64(sum, _mm_srli_si128(sum, 8));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(sum));
}
