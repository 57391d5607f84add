// What every loop form is made of, whatever its width: where it starts, and
// its counter's start, step and test. Each is assembler text that the loops
// in lanes*.h put together as variants.def names them: counter `c` gives
// ISABENCH_START_c, ISABENCH_STEP_c and ISABENCH_TEST_c.
//
// The counter lives in %rax. Every loop's asm names the counts it may need
// as operands: [n] the trip count, [minus_n] its negative, [lanes] the lanes
// per iteration and [elements] the elements per run.
#pragma once

#define ISABENCH_TEXT(x) #x
#define ISABENCH_NUMBER(x) ISABENCH_TEXT(x)

// Assembler text that puts the next instruction OFFSET bytes past a 64-byte
// boundary. How fast the same loop runs can depend on where it sits (on
// Zen 4 the eight-lane loop runs at 2 cycles per iteration or at 3 by its
// placement alone), so each loop's place is chosen with its form, and the
// binary audit holds each build to it. The padding runs once per run, before
// the loop.
#define ISABENCH_LOOP_AT(OFFSET) \
    ".p2align 6\n\t.if " ISABENCH_NUMBER(OFFSET) "\n\t.nops " ISABENCH_NUMBER(OFFSET) "\n\t.endif\n"

// Down to zero: the trip count, then minus one per iteration.
#define ISABENCH_START_down "mov %[n], %%eax\n\t"
#define ISABENCH_STEP_down "sub $1, %%rax\n\t"
#define ISABENCH_TEST_down ""
#define ISABENCH_START_dec ISABENCH_START_down
#define ISABENCH_STEP_dec "dec %%rax\n\t"
#define ISABENCH_TEST_dec ""
// Up from zero to the trip count.
#define ISABENCH_START_up "xor %%eax, %%eax\n\t"
#define ISABENCH_STEP_up "add $1, %%rax\n\t"
#define ISABENCH_TEST_up "cmp %[n], %%rax\n\t"
#define ISABENCH_START_upinc ISABENCH_START_up
#define ISABENCH_STEP_upinc "inc %%rax\n\t"
#define ISABENCH_TEST_upinc ISABENCH_TEST_up
// Up from zero to the element count, by the lanes.
#define ISABENCH_START_elem ISABENCH_START_up
#define ISABENCH_STEP_elem "add %[lanes], %%rax\n\t"
#define ISABENCH_TEST_elem "cmp %[elements], %%rax\n\t"
// Up from minus the trip count to zero.
#define ISABENCH_START_neg "mov %[minus_n], %%rax\n\t"
#define ISABENCH_STEP_neg "add $1, %%rax\n\t"
#define ISABENCH_TEST_neg ""
#define ISABENCH_START_neginc ISABENCH_START_neg
#define ISABENCH_STEP_neginc "inc %%rax\n\t"
#define ISABENCH_TEST_neginc ""

// The tokens of a row (order, counter, position, copy, xor_op, offset) as
// a loop function built with CHANGED_FORM takes them. Only the fault
// executables of the tests (tests/faults) define another form, before
// including the loops: their faults are loops in a form other than their
// row's, and with this the fault is the real loop with its tokens changed,
// next to the real loops in the same function. A changed token may name a
// counter or an order that the fixture defines. The real program always
// takes the row as written.
#ifndef ISABENCH_CHANGED_FORM
#define ISABENCH_CHANGED_FORM(...) __VA_ARGS__
#endif
#define ISABENCH_EXPANDED(macro, ...) macro(__VA_ARGS__)

// The row (number, processors, then the form's tokens) built by ROW, a
// loop function's macro for one row, in the form that the function's
// CHANGED_FORM asks for.
#define ISABENCH_IN_FORM(ROW, number, processors, ...)                                   \
    if constexpr (CHANGED_FORM) {                                                        \
        ISABENCH_EXPANDED(ROW, number, processors, ISABENCH_CHANGED_FORM(__VA_ARGS__))   \
    } else {                                                                             \
        ROW(number, processors, __VA_ARGS__)                                             \
    }

// Where the counter's step stands among the operations of one iteration.
#define ISABENCH_POSITION_last(step, operations) operations step
#define ISABENCH_POSITION_first(step, operations) step operations

// One loop: the counter's start, the placement, then the iteration, closed
// by the counter's test and the branch back.
#define ISABENCH_LOOP_TEXT(counter, offset, iteration) \
    ISABENCH_START_##counter ISABENCH_LOOP_AT(offset) "1:\n\t" iteration ISABENCH_TEST_##counter "jne 1b"

// The counts every loop's asm names, for LANES lanes per iteration and
// ELEMENTS_PER_RUN elements per run.
#define ISABENCH_COUNTS(LANES, ELEMENTS_PER_RUN)                                                          \
    [n] "i"((ELEMENTS_PER_RUN) / (LANES)), [minus_n] "i"(-static_cast<int64_t>((ELEMENTS_PER_RUN) / (LANES))), \
        [lanes] "i"(LANES), [elements] "i"(ELEMENTS_PER_RUN)
