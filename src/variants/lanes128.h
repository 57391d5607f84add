// The two-lane loop shared by the SSE2, SSE4.2 and AVX variants. Each source
// that includes it compiles it for its own instruction set; it is
// force-inlined with internal linkage, so no copy is shared between them.
#pragma once

#include <emmintrin.h>

#include "../harness/measure_record.h"
#include "codegen.h"
#include "placement.h"

// b holds the indices {2m, 2m + 1} of iteration m. The lane step equals the
// XOR distance (2), so one addition gives both k + 2 and the next indices.
//
// The loop is written instruction by instruction, in registers fixed here, so
// that every compiler emits the same bytes at the same place: left free,
// Clang keeps two copies of b and moves one at the end of the iteration,
// which runs at half the speed on Zen 4. The counter counts down to zero
// (sub, jne): on Zen 4 the loop then runs at one cycle per iteration, and no
// other counter is faster on any processor measured.
ISABENCH_INLINE uint64_t sum_two_lanes() {
    alignas(16) static const uint64_t TWOS[2] = {2, 2};
    register __m128i b asm("xmm0") = _mm_set_epi64x(1, 0);
    register __m128i x asm("xmm1");
    register __m128i acc asm("xmm2") = _mm_setzero_si128();
    register __m128i c2 asm("xmm4") = _mm_load_si128(from_read_only_data<__m128i>(TWOS));
    asm volatile("mov %[n], %%eax\n\t" ISABENCH_LOOP_AT(ISABENCH_OFFSET_TWO_LANES)
                 "1:\n\t"
#if defined(__AVX__)
                 "vmovdqa %[b], %[x]\n\t"
                 "vpaddq %[c2], %[b], %[b]\n\t"
                 "vpxor %[b], %[x], %[x]\n\t"
                 "vpaddq %[x], %[acc], %[acc]\n\t"
#else
                 "movdqa %[b], %[x]\n\t"
                 "paddq %[c2], %[b]\n\t"
                 "pxor %[b], %[x]\n\t"
                 "paddq %[x], %[acc]\n\t"
#endif
                 "sub $1, %%rax\n\t"
                 "jne 1b"
                 : [b] "+x"(b), [x] "=&x"(x), [acc] "+x"(acc)
                 : [c2] "x"(c2), [n] "i"(ELEMENTS / 2)
                 : "rax", "cc", "memory");
    const __m128i sum = _mm_add_epi64(acc, _mm_srli_si128(acc, 8));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(sum));
}
