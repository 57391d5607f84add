// Reference loops for the fidelity tool: each variant's workload loop
// written out by hand in the exact shape its measuring function must have
// (same operations, lane width, encoding and counter; constants loaded from
// read-only data; the loop on a 64-byte boundary). Each returns the sum over
// the 1,000,000,000 elements, as uint64_t fn(void) in the System V ABI.
// Also the clock calibration: a chain of dependent one-cycle additions.

        .section .rodata
        .p2align 6
lanes:  .quad 0, 1, 2, 3, 4, 5, 6, 7
twos:   .quad 2, 2, 2, 2, 2, 2, 2, 2
fours:  .quad 4, 4, 4, 4
        .p2align 6
eights: .quad 8, 8, 8, 8, 8, 8, 8, 8

        .text

// k + 2, XOR with k, k + 1 (k is the counter), the add into the accumulator.
        .globl reference_scalar
        .type reference_scalar, @function
        .p2align 6
reference_scalar:
        xor     %eax, %eax
        xor     %ecx, %ecx
        .p2align 6
1:      lea     2(%rax), %rdx
        xor     %rax, %rdx
        add     $1, %rax
        add     %rdx, %rcx
        cmp     $1000000000, %rax
        jne     1b
        mov     %rcx, %rax
        ret
        .size reference_scalar, .-reference_scalar

// Two lanes, legacy SSE: x <- b; b <- b + c2; x <- x XOR b; acc <- acc + x;
// a separate counter. The SSE4.2 build of this loop is the same code.
        .macro two_lanes_legacy name
        .globl \name
        .type \name, @function
        .p2align 6
\name:
        movdqa  lanes(%rip), %xmm1
        movdqa  twos(%rip), %xmm3
        pxor    %xmm2, %xmm2
        mov     $500000000, %eax
        .p2align 6
1:      movdqa  %xmm1, %xmm0
        paddq   %xmm3, %xmm1
        pxor    %xmm1, %xmm0
        paddq   %xmm0, %xmm2
        sub     $1, %rax
        jne     1b
        movdqa  %xmm2, %xmm0
        psrldq  $8, %xmm0
        paddq   %xmm2, %xmm0
        movq    %xmm0, %rax
        ret
        .size \name, .-\name
        .endm
        two_lanes_legacy reference_sse2
        two_lanes_legacy reference_sse42

// The same two-lane loop in VEX three-operand forms.
        .globl reference_avx
        .type reference_avx, @function
        .p2align 6
reference_avx:
        vmovdqa lanes(%rip), %xmm1
        vmovdqa twos(%rip), %xmm3
        vpxor   %xmm2, %xmm2, %xmm2
        mov     $500000000, %eax
        .p2align 6
1:      vmovdqa %xmm1, %xmm0
        vpaddq  %xmm3, %xmm1, %xmm1
        vpxor   %xmm1, %xmm0, %xmm0
        vpaddq  %xmm0, %xmm2, %xmm2
        sub     $1, %rax
        jne     1b
        vpsrldq $8, %xmm2, %xmm0
        vpaddq  %xmm2, %xmm0, %xmm0
        vmovq   %xmm0, %rax
        ret
        .size reference_avx, .-reference_avx

// Four lanes: x <- b + c2; x <- x XOR b; acc <- acc + x; b <- b + c4. The
// accumulation before the advance of b is the faster of the two orders the
// shape allows on Zen 4 at 512 bits (by about 1%); at 256 bits they tie.
        .globl reference_avx2
        .type reference_avx2, @function
        .p2align 6
reference_avx2:
        vmovdqa lanes(%rip), %ymm0
        vmovdqa twos(%rip), %ymm4
        vmovdqa fours(%rip), %ymm3
        vpxor   %xmm2, %xmm2, %xmm2
        mov     $250000000, %eax
        .p2align 6
1:      vpaddq  %ymm4, %ymm0, %ymm1
        vpxor   %ymm0, %ymm1, %ymm1
        vpaddq  %ymm1, %ymm2, %ymm2
        vpaddq  %ymm3, %ymm0, %ymm0
        sub     $1, %rax
        jne     1b
        vextracti128 $1, %ymm2, %xmm0
        vpaddq  %xmm2, %xmm0, %xmm0
        vpsrldq $8, %xmm0, %xmm1
        vpaddq  %xmm1, %xmm0, %xmm0
        vmovq   %xmm0, %rax
        vzeroupper
        ret
        .size reference_avx2, .-reference_avx2

// Eight lanes, EVEX: the four-lane loop at 512 bits, in the same order.
        .globl reference_avx512
        .type reference_avx512, @function
        .p2align 6
reference_avx512:
        vmovdqa64 lanes(%rip), %zmm0
        vmovdqa64 twos(%rip), %zmm4
        vmovdqa64 eights(%rip), %zmm3
        vpxord  %zmm2, %zmm2, %zmm2
        mov     $125000000, %eax
        .p2align 6
1:      vpaddq  %zmm4, %zmm0, %zmm1
        vpxord  %zmm0, %zmm1, %zmm1
        vpaddq  %zmm1, %zmm2, %zmm2
        vpaddq  %zmm3, %zmm0, %zmm0
        sub     $1, %rax
        jne     1b
        vextracti64x4 $1, %zmm2, %ymm0
        vpaddq  %ymm2, %ymm0, %ymm0
        vextracti64x2 $1, %ymm0, %xmm1
        vpaddq  %xmm1, %xmm0, %xmm0
        vpsrldq $8, %xmm0, %xmm1
        vpaddq  %xmm1, %xmm0, %xmm0
        vmovq   %xmm0, %rax
        vzeroupper
        ret
        .size reference_avx512, .-reference_avx512

// uint64_t clock_chain(uint64_t rounds): rounds x 100 additions, each
// depending on the one before: 100 core cycles per round on any x86-64
// core whose 64-bit addition has a latency of one cycle. The counter runs
// beside the chain.
        .globl clock_chain
        .type clock_chain, @function
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
        .size clock_chain, .-clock_chain

        .section .note.GNU-stack, "", @progbits
