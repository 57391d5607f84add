// Where each workload loop starts: an exact number of bytes past a 64-byte
// boundary, the same in every build and with every compiler. How fast the
// same loop runs can depend on where it sits (on Zen 4 the eight-lane loop
// runs at 2 cycles per iteration or at 3 by its placement alone), so the
// placement is chosen, measured on every processor with data, and fixed
// here; the binary audit holds each build to it.
#pragma once

#ifndef ISABENCH_OFFSET_SCALAR
#define ISABENCH_OFFSET_SCALAR 0
#endif
#ifndef ISABENCH_OFFSET_TWO_LANES
#define ISABENCH_OFFSET_TWO_LANES 0
#endif
#ifndef ISABENCH_OFFSET_AVX2
#define ISABENCH_OFFSET_AVX2 0
#endif
// Across a 64-byte line on purpose: the line's first 26 bytes hold the four
// vector operations and the first bytes of the counter's step, the next line
// the rest of the counter. Zen 4 ran the same operations with a counter down
// to zero at 2 cycles per iteration when its line was split inside the
// counter's step, and at 3 anywhere inside one line; Intel's Sapphire Rapids
// class runs this form at the same speed at every offset.
#ifndef ISABENCH_OFFSET_AVX512
#define ISABENCH_OFFSET_AVX512 38
#endif

#define ISABENCH_TEXT(x) #x
#define ISABENCH_NUMBER(x) ISABENCH_TEXT(x)

// Assembler text that puts the next instruction OFFSET bytes past a 64-byte
// boundary. The padding runs once per run, before the loop.
#define ISABENCH_LOOP_AT(OFFSET) \
    ".p2align 6\n\t.if " ISABENCH_NUMBER(OFFSET) "\n\t.nops " ISABENCH_NUMBER(OFFSET) "\n\t.endif\n"
