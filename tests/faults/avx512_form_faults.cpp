// Faults for the audit's rule on the loop's form: the eight-lane loop with
// the right operations, data flow, trip count and offset, but in a form
// other than the one chosen for it, each of which runs slower on some
// processor:
//   FAULT_ADVANCE_FIRST  the advance of b before the accumulation: the same
//                        instructions and length, in another order
//   FAULT_DOWN_COUNTER   a counter down to zero (mov, sub, jne), the form
//                        the variant had before, 2.5 cycles per iteration
//                        instead of 1.9 on Intel's Sapphire Rapids class
#include <immintrin.h>

#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes512.h"
#include "../../src/variants/variants.h"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#if defined(FAULT_ADVANCE_FIRST)
#define COUNTER_START "xor %%eax, %%eax\n\t"
#define OPERATIONS "vpaddq %[c8], %[b], %[b]\n\tvpaddq %[x], %[acc], %[acc]\n\t"
#define COUNTER_STEP "add $1, %%rax\n\tcmp %[n], %%rax\n\t"
#else
#define COUNTER_START "mov %[n], %%eax\n\t"
#define OPERATIONS "vpaddq %[x], %[acc], %[acc]\n\tvpaddq %[c8], %[b], %[b]\n\t"
#define COUNTER_STEP "sub $1, %%rax\n\t"
#endif

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx512() {
    measure(FORMAT_AVX512, []() ISABENCH_INLINE_LAMBDA {
        alignas(64) static const uint64_t TWOS[8] = {2, 2, 2, 2, 2, 2, 2, 2};
        alignas(64) static const uint64_t EIGHTS[8] = {8, 8, 8, 8, 8, 8, 8, 8};
        register __m512i b asm("zmm0") = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
        register __m512i x asm("zmm1");
        register __m512i acc asm("zmm2") = _mm512_setzero_si512();
        register __m512i c8 asm("zmm3") = _mm512_load_si512(from_read_only_data<__m512i>(EIGHTS));
        register __m512i c2 asm("zmm4") = _mm512_load_si512(from_read_only_data<__m512i>(TWOS));
        asm volatile(COUNTER_START ISABENCH_LOOP_AT(ISABENCH_OFFSET_AVX512)
                     "1:\n\t"
                     "vpaddq %[c2], %[b], %[x]\n\t"
                     "vpxorq %[b], %[x], %[x]\n\t" OPERATIONS COUNTER_STEP
                     "jne 1b"
                     : [b] "+v"(b), [x] "=&v"(x), [acc] "+v"(acc)
                     : [c2] "v"(c2), [c8] "v"(c8), [n] "i"(1000000000 / 8)
                     : "rax", "cc", "memory");
        return reduce_eight_lanes(acc);
    });
}
