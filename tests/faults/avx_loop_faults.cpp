// Faults for the audit's rules on how the two-lane loop is entered, the
// values it is entered with and its data flow, written in assembler so that
// every compiler emits them as they stand, in the frame of loop 0 of the
// two-lane family (the other frames run their real loops). The entry and
// value faults keep the loop's form and place; the data-flow faults keep
// its instruction counts, so only the data flow tells them apart:
//   FAULT_MEMORY_OPERAND   c2 read from memory in every iteration
// want FAULT_MEMORY_OPERAND loop.memory
//   FAULT_MID_LOOP_ENTRY   on some path (a value the compiler cannot know),
//                          the first iteration entered past the copy of b
// want FAULT_MID_LOOP_ENTRY loop.entry
//   FAULT_BORROW           the trip count halved on a branch that every run
//                          takes: a SUB whose borrow decides it (5 - 7)
// want FAULT_BORROW arith.trip-count
//   FAULT_FRAME_ALIAS      c2 spilled to a stack slot through %rbp and
//                          overwritten with {4, 4} through %rsp at the same
//                          place before it is loaded back
// want FAULT_FRAME_ALIAS arith.constants
//   FAULT_COPY_AFTER_STEP  the copy of b moved to the end of the iteration
//                          (what Clang emits without the pin in lanes128.h)
// want FAULT_COPY_AFTER_STEP loop.dataflow
//   FAULT_DEAD_COMPARE     a compare whose flags no branch reads
// want FAULT_DEAD_COMPARE loop.dataflow
#include <emmintrin.h>

#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "fault_support.h"
#include "../../src/variants/lanes128.h"
#include "../../src/variants/variants.h"

// Where loop 0 of the family sits past a 64-byte boundary (variants.def).
constexpr unsigned OFFSETS[] = {
#define ISABENCH_LOOP_Avx(number, processors, order, counter, position, copy, xor_op, offset) offset,
#include "../../src/variants/variants.def"
};

#if defined(FAULT_MID_LOOP_ENTRY)
#define BEFORE "mov %[n], %%eax\n\ttest %[path], %[path]\n\tjne 2f\n\t"
#elif defined(FAULT_BORROW)
#define BEFORE "mov $5, %%ecx\n\tsub $7, %%ecx\n\tmov %[n], %%eax\n\tjae 3f\n\tmov %[half], %%eax\n3:\n\t"
#elif defined(FAULT_FRAME_ALIAS)
#define BEFORE                                                                                                   \
    "push %%rbp\n\tmov %%rsp, %%rbp\n\tsub $32, %%rsp\n\tvmovdqu %[c2], -16(%%rbp)\n\tvmovdqu (%[fours]), %%xmm3\n\t" \
    "vmovdqu %%xmm3, 16(%%rsp)\n\tvmovdqu -16(%%rbp), %[c2]\n\tleave\n\tmov %[n], %%eax\n\t"
#else
#define BEFORE "mov %[n], %%eax\n\t"
#endif
#if defined(FAULT_MEMORY_OPERAND)
#define ADVANCE "vpaddq (%[twos]), %[b], %[b]\n\t"
#else
#define ADVANCE "vpaddq %[c2], %[b], %[b]\n\t"
#endif
#if defined(FAULT_COPY_AFTER_STEP)
#define COPY_FIRST ""
#define COPY_LAST "vmovdqa %[b], %[x]\n\t"
#else
#define COPY_FIRST "vmovdqa %[b], %[x]\n"
#define COPY_LAST ""
#endif
#if defined(FAULT_DEAD_COMPARE)
#define COMPARE "cmp $7, %%rax\n\t"
#else
#define COMPARE ""
#endif

// Loop 0 written out here in the form copyfirst, down, last, vmovdqa, vpxor,
// with one fault.
ISABENCH_INLINE uint64_t faulty_two_lanes() {
    alignas(16) static const uint64_t TWOS[2] = {2, 2};
    alignas(16) static const uint64_t FOURS[2] = {4, 4};
    const __m128i *twos = from_read_only_data<__m128i>(TWOS);
    const __m128i *fours = from_read_only_data<__m128i>(FOURS);
    register __m128i b asm("xmm0") = _mm_set_epi64x(1, 0);
    register __m128i x asm("xmm1");
    register __m128i acc asm("xmm2") = _mm_setzero_si128();
    register __m128i c2 asm("xmm4") = _mm_load_si128(twos);
    uint64_t path = 0;
    opaque(path);
    asm volatile(BEFORE ".p2align 6\n\t.if %c[offset]\n\t.nops %c[offset]\n\t.endif\n"
                 "1:\n\t" COPY_FIRST
                 "2:\n\t" ADVANCE
                 "vpxor %[b], %[x], %[x]\n\t"
                 "vpaddq %[x], %[acc], %[acc]\n\t" COPY_LAST COMPARE
                 "sub $1, %%rax\n\t"
                 "jne 1b"
                 : [b] "+x"(b), [x] "=&x"(x), [acc] "+x"(acc), [c2] "+x"(c2)
                 : [twos] "r"(twos), [fours] "D"(fours), [path] "r"(path), [n] "i"(ELEMENTS / 2), [half] "i"(ELEMENTS / 4),
                   [offset] "i"(OFFSETS[0])
                 : "rax", "rcx", "xmm3", "cc", "memory");
    const __m128i sum = _mm_add_epi64(acc, _mm_srli_si128(acc, 8));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(sum));
}

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx() {
    measure_chosen_loop<TWO_LANE_FAMILY>(VARIANT_INDEX_AVX, FORMAT_AVX, [](auto loop) ISABENCH_INLINE_LAMBDA {
        if constexpr (decltype(loop)::value == 0)
            return faulty_two_lanes();
        else
            return sum_two_lanes<decltype(loop)::value>();
    });
}
