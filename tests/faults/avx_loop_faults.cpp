// Faults for the audit's rules on how the two-lane loop is entered, the
// values it is entered with and its data flow, each the real loop 0 of the
// two-lane family with its order or its counter changed to one of the
// fixture's own below (CHANGED_FORM, lanes.h), in its frame (the other
// frames run their real loops). The entry and value faults keep the loop's
// form and place; the data-flow faults keep its instruction counts, so only
// the data flow tells them apart:
//   FAULT_MEMORY_OPERAND   c2 read from memory in every iteration
// want FAULT_MEMORY_OPERAND loop.memory
//   FAULT_MID_LOOP_ENTRY   on some path (a flag in writable data), the
//                          first iteration entered past the copy of b
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
#include <cstdint>

// The fixture's counters, each the real counter down to zero with one
// thing more: a compare whose flags no branch reads, its start skipping the
// first copy of b where a flag in writable data (the audit cannot know it)
// says so, its trip count halved on the borrow of 5 - 7, or c2 spilled
// through %rbp and overwritten with {4, 4} through %rsp before it is loaded
// back (%[x], written before its first read, carries the 4s; c2 is an
// input of the loop's asm, but nothing reads it after the loop).
#define ISABENCH_START_dead_compare ISABENCH_START_down
#define ISABENCH_STEP_dead_compare "cmp $7, %%rax\n\t" ISABENCH_STEP_down
#define ISABENCH_TEST_dead_compare ISABENCH_TEST_down
#define ISABENCH_START_entered_mid ISABENCH_START_down "cmpb $0, audit_fault_path(%%rip)\n\tjne 2f\n\t"
#define ISABENCH_STEP_entered_mid ISABENCH_STEP_down
#define ISABENCH_TEST_entered_mid ISABENCH_TEST_down
#define ISABENCH_START_borrow "mov $5, %%eax\n\tsub $7, %%eax\n\t" ISABENCH_START_down "jae 3f\n\tshr $1, %%eax\n3:\n\t"
#define ISABENCH_STEP_borrow ISABENCH_STEP_down
#define ISABENCH_TEST_borrow ISABENCH_TEST_down
#define ISABENCH_START_frame_alias                                                                        \
    "push %%rbp\n\tmov %%rsp, %%rbp\n\tsub $32, %%rsp\n\tvmovdqu %[c2], -16(%%rbp)\n\t"                        \
    "vmovdqu audit_fault_fours(%%rip), %[x]\n\tvmovdqu %[x], 16(%%rsp)\n\tvmovdqu -16(%%rbp), %[c2]\n\tleave\n\t" \
    ISABENCH_START_down
#define ISABENCH_STEP_frame_alias ISABENCH_STEP_down
#define ISABENCH_TEST_frame_alias ISABENCH_TEST_down

// The fixture's orders of the real operations (lanes128.h): the copy of b
// after the accumulation, the entry point 2 after the copy, or c2 read from
// memory in place of its register.
#define ISABENCH_TWO_LANE_ORDER_copylast(E, copy, xor_op) E##_ADVANCE E##_XOR(xor_op) E##_ACCUMULATE E##_COPY(copy)
#define ISABENCH_TWO_LANE_ORDER_entered_mid(E, copy, xor_op) \
    E##_COPY(copy) "2:\n\t" E##_ADVANCE E##_XOR(xor_op) E##_ACCUMULATE
#define ISABENCH_TWO_LANE_ORDER_from_memory(E, copy, xor_op) \
    E##_COPY(copy) "vpaddq audit_fault_twos(%%rip), %[b], %[b]\n\t" E##_XOR(xor_op) E##_ACCUMULATE

// The tokens each fault changes.
#if defined(FAULT_MEMORY_OPERAND)
#define ISABENCH_CHANGED_FORM(order, ...) from_memory, __VA_ARGS__
#elif defined(FAULT_MID_LOOP_ENTRY)
#define ISABENCH_CHANGED_FORM(order, counter, ...) entered_mid, entered_mid, __VA_ARGS__
#elif defined(FAULT_BORROW)
#define ISABENCH_CHANGED_FORM(order, counter, ...) order, borrow, __VA_ARGS__
#elif defined(FAULT_FRAME_ALIAS)
#define ISABENCH_CHANGED_FORM(order, counter, ...) order, frame_alias, __VA_ARGS__
#elif defined(FAULT_COPY_AFTER_STEP)
#define ISABENCH_CHANGED_FORM(order, ...) copylast, __VA_ARGS__
#elif defined(FAULT_DEAD_COMPARE)
#define ISABENCH_CHANGED_FORM(order, counter, ...) order, dead_compare, __VA_ARGS__
#endif

#include <emmintrin.h>

#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes128.h"
#include "../../src/variants/variants.h"

// What the changed forms read from memory.
extern "C" {
extern const uint64_t audit_fault_twos[2];
extern const uint64_t audit_fault_fours[2];
alignas(16) const uint64_t audit_fault_twos[2] = {2, 2};
alignas(16) const uint64_t audit_fault_fours[2] = {4, 4};
uint8_t audit_fault_path = 0;
}

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx() {
    measure_chosen_loop<TWO_LANE_FAMILY>(VARIANT_INDEX_AVX, FORMAT_AVX, [](auto loop) ISABENCH_INLINE_LAMBDA {
        return sum_two_lanes<decltype(loop)::value, decltype(loop)::value == 0>();
    });
}
