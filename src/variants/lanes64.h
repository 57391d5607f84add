// The scalar loop: one element per iteration on general-purpose registers,
// at the foot of the ladder of widths. Force-inlined with internal linkage,
// like the vector loops.
#pragma once

#include "../harness/measure_record.h"
#include "codegen.h"
#include "placement.h"

// k is both the element index and the loop counter. Written instruction by
// instruction: compilers left free emit the steps in different orders and
// registers (Clang accumulates before the step of k, GCC after), and the
// line must be the same loop in every build. The steps run in their defined
// order: k + 2, XOR with k, k + 1, the add into the accumulator.
ISABENCH_INLINE uint64_t sum_one_lane() {
    register uint64_t k asm("rax") = 0;
    register uint64_t acc asm("rcx") = 0;
    register uint64_t element asm("rdx");
    asm volatile(ISABENCH_LOOP_AT(ISABENCH_OFFSET_SCALAR)
                 "1:\n\t"
                 "lea 2(%[k]), %[element]\n\t"
                 "xor %[k], %[element]\n\t"
                 "add $1, %[k]\n\t"
                 "add %[element], %[acc]\n\t"
                 "cmp %[n], %[k]\n\t"
                 "jne 1b"
                 : [k] "+r"(k), [acc] "+r"(acc), [element] "=&r"(element)
                 : [n] "i"(ELEMENTS)
                 : "cc", "memory");
    return acc;
}
