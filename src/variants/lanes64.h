// The scalar loop: one element per iteration on general-purpose registers,
// at the foot of the ladder of widths. Force-inlined with internal linkage,
// like the vector loops.
#pragma once

#include "../harness/measure_record.h"
#include "codegen.h"
#include "lanes.h"
#include "loops.h"

// k is both the element index and the loop counter. Written instruction by
// instruction, in registers fixed here: compilers left free emit the steps
// in different orders and registers, and the line must be the same loop in
// every build. Each iteration: element <- k + 2, element <- element XOR k,
// then the step of k and the accumulation in the form's order.
#define ISABENCH_SCALAR_ACCUMULATE "add %[element], %[acc]\n\t"
#define ISABENCH_SCALAR_k_add "add $1, %[k]\n\t"
#define ISABENCH_SCALAR_k_inc "inc %[k]\n\t"
#define ISABENCH_SCALAR_ORDER_accfirst(step) ISABENCH_SCALAR_ACCUMULATE step
#define ISABENCH_SCALAR_ORDER_incfirst(step) step ISABENCH_SCALAR_ACCUMULATE

static_assert(lanes_of(Family::Scalar) == 1, "variants.def: the scalar loop handles one element per iteration");

// The scalar loop numbered NUMBER in variants.def.
template <unsigned NUMBER>
ISABENCH_INLINE uint64_t sum_one_lane() {
    register uint64_t k asm("rax") = 0;
    register uint64_t acc asm("rcx") = 0;
    register uint64_t element asm("rdx");
#define ISABENCH_LOOP_Scalar(number, processors, order, counter, position, copy, xor_op, offset)        \
    if constexpr (NUMBER == number)                                                                    \
        asm volatile(ISABENCH_LOOP_AT(offset) "1:\n\t"                                                 \
                     "lea 2(%[k]), %[element]\n\t"                                                     \
                     "xor %[k], %[element]\n\t" ISABENCH_SCALAR_ORDER_##order(ISABENCH_SCALAR_##counter) \
                     "cmp %[elements], %[k]\n\t"                                                       \
                     "jne 1b"                                                                          \
                     : [k] "+r"(k), [acc] "+r"(acc), [element] "=&r"(element)                         \
                     : [elements] "i"(ELEMENTS)                                                        \
                     : "cc", "memory");
#include "variants.def"
    static_assert(NUMBER < loops_of(Family::Scalar), "no such scalar loop");
    return acc;
}
