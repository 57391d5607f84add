// The fidelity tool's machine code: the loop pieces of pieces.def, assembled
// into read-only data for forms.cpp to copy, and the clock calibration.

#define PIECE(name, ...) .globl name##_begin, name##_end; name##_begin: __VA_ARGS__; name##_end:
#ifdef _WIN32
        .section .rdata, "dr"
#else
        .section .rodata.pieces, "a"
#endif
#include "pieces.def"

        .text

// uint64_t clock_chain(uint64_t rounds), in the System V convention on
// Windows too (its argument in %rdi): rounds x 100 additions, each
// depending on the one before: 100 core cycles per round on any x86-64 core
// whose 64-bit addition has a latency of one cycle. The counter runs beside
// the chain. The chain adds a register, never an immediate: some cores
// (Intel's Sapphire Rapids class) fold chains of add-immediate at rename and
// would read as a clock several times too fast.
        .globl clock_chain
#ifndef _WIN32
        .type clock_chain, @function
#endif
        .p2align 6
clock_chain:
        mov     %rdi, %rax
        .p2align 6
1:      .rept 100
        add     %rdi, %rax
        .endr
        sub     $1, %rdi
        jne     1b
        ret
#ifndef _WIN32
        .size clock_chain, .-clock_chain

        .section .note.GNU-stack, "", @progbits
#endif
