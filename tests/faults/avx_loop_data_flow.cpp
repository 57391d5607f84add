// Faults for the audit's data-flow rules in the two-lane loop, written in
// assembler so that every compiler emits them as they stand. Each keeps the
// loop's instruction counts, so only the data flow tells them apart:
//   FAULT_COPY_AFTER_STEP  the copy of b moved to the end of the iteration
//                          (what Clang emits without the pin in lanes128.h)
//   FAULT_DEAD_COMPARE     a compare whose flags no branch reads
#include <emmintrin.h>

#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/variants.h"

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx() {
    measure(FORMAT_AVX, []() ISABENCH_INLINE_LAMBDA {
        alignas(16) static const uint64_t TWOS[2] = {2, 2};
        const uint64_t *twos = TWOS;
        asm("" : "+r"(twos));
        const __m128i c2 = _mm_load_si128(reinterpret_cast<const __m128i *>(twos));
        __m128i b = _mm_set_epi64x(1, 0);
        __m128i acc = _mm_setzero_si128();
        __m128i x = b;
        uint64_t n = 1000000000 / 2;
        opaque(b);
        opaque(acc);
        asm volatile(".p2align 6\n"
#if defined(FAULT_COPY_AFTER_STEP)
                     "1: vpaddq %[c2], %[b], %[b]\n\t"
                     "vpxor %[b], %[x], %[x]\n\t"
                     "vpaddq %[x], %[acc], %[acc]\n\t"
                     "vmovdqa %[b], %[x]\n\t"
#else
                     "1: vmovdqa %[b], %[x]\n\t"
                     "vpaddq %[c2], %[b], %[b]\n\t"
                     "vpxor %[b], %[x], %[x]\n\t"
                     "vpaddq %[x], %[acc], %[acc]\n\t"
                     "cmp $7, %[n]\n\t"
#endif
                     "sub $1, %[n]\n\t"
                     "jne 1b"
                     : [b] "+x"(b), [x] "+x"(x), [acc] "+x"(acc), [n] "+r"(n)
                     : [c2] "x"(c2));
        acc = _mm_add_epi64(acc, _mm_srli_si128(acc, 8));
        return static_cast<uint64_t>(_mm_cvtsi128_si64(acc));
    });
}
