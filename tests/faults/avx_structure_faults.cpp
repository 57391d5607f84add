// Faults for the audit's rules on the function as a whole, each after the
// real frames and loops (outside the timed regions, where it changes no
// time but what the binary is):
//   FAULT_UNKNOWN_BENCH    a second measuring function, bench_avx_fast, that
//                          no rule knows
// want FAULT_UNKNOWN_BENCH functions.known
//   FAULT_OUTSIDE_SET      POPCNT, an instruction outside AVX's set
// want FAULT_OUTSIDE_SET isa.features
//   FAULT_LEGACY_ENCODING  a legacy SSE instruction in the VEX variant
// want FAULT_LEGACY_ENCODING isa.encoding
//   FAULT_JUMP_OUT         a jump into code past the function's end
// want FAULT_JUMP_OUT calls.targets
//   FAULT_FALLS_OFF        a path that runs on past the function's end
// want FAULT_FALLS_OFF flow.bounds
//   FAULT_REWRITES_CODE    the function makes its own page writable and
//                          stores into its code
// want FAULT_REWRITES_CODE code.closed
//   FAULT_SECOND_LOOP      a second loop without calls, which every choice
//                          of a loop reaches
// want FAULT_SECOND_LOOP loop.unique
//   FAULT_DRIVER_IFUNC     bench_avx resolved at load time (an IFUNC): the
//                          driver calls whatever the resolver returns, not
//                          the code under the name
// want FAULT_DRIVER_IFUNC driver.calls
//   FAULT_PATCHED_CODE     an absolute address in the function's code, which
//                          the loader patches (a relocation in code)
// want FAULT_PATCHED_CODE image.relocations
#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes128.h"
#include "../../src/variants/variants.h"

// bench_avx's own frames and loops, as src/variants/avx.cpp has them.
#define REAL_FRAMES()                                                                                       \
    measure_chosen_loop<TWO_LANE_FAMILY>(VARIANT_INDEX_AVX, FORMAT_AVX, [](auto loop) ISABENCH_INLINE_LAMBDA { \
        return sum_two_lanes<decltype(loop)::value>();                                                      \
    })

#if defined(FAULT_REWRITES_CODE) && !defined(_WIN32)
#include <sys/mman.h>
#endif

#if defined(FAULT_JUMP_OUT)
asm(".text\n"
    "audit_fault_tail:\n\t"
    "ret\n");
#endif

#if defined(FAULT_DRIVER_IFUNC)
extern "C" ISABENCH_PAGE_ALIGNED void audit_fault_avx() {
    REAL_FRAMES();
}
extern "C" {
void (*audit_fault_resolve())() { return audit_fault_avx; }
}
extern "C" void bench_avx() __attribute__((ifunc("audit_fault_resolve")));
#else
extern "C" ISABENCH_PAGE_ALIGNED void bench_avx() {
#if defined(FAULT_REWRITES_CODE)
    char *const code = reinterpret_cast<char *>(&bench_avx);
#if !defined(_WIN32)
    mprotect(code, 4096, PROT_READ | PROT_WRITE | PROT_EXEC);
#endif
    *reinterpret_cast<volatile char *>(code + 0x100) = 0x90;
#endif
    REAL_FRAMES();
#if defined(FAULT_OUTSIDE_SET)
    asm volatile("popcnt %%rax, %%rax" ::: "rax", "cc");
#elif defined(FAULT_LEGACY_ENCODING)
    asm volatile("pxor %%xmm0, %%xmm0" ::: "xmm0");
#elif defined(FAULT_JUMP_OUT)
    asm volatile("test %%rax, %%rax\n\tje audit_fault_tail" ::: "rax", "cc");
#elif defined(FAULT_FALLS_OFF)
    // On a path the compiler takes for rare, which it lays out last.
    if (__builtin_expect(s == 1, 0)) {
        asm volatile("nop");
        __builtin_unreachable();
    }
#elif defined(FAULT_SECOND_LOOP)
    asm volatile("mov $3, %%ecx\n1:\n\tdec %%ecx\n\tjne 1b" ::: "rcx", "cc");
#elif defined(FAULT_PATCHED_CODE)
    asm volatile("movabs $bench_avx, %%rax" ::: "rax");
#endif
}
#endif

#if defined(FAULT_UNKNOWN_BENCH)
extern "C" ISABENCH_PAGE_ALIGNED void bench_avx_fast() {
    REAL_FRAMES();
}
#endif
