// Faults for the audit's rule on what a measuring function may call, after
// its line is printed:
//   FAULT_POINTER_IN_DATA  a call through a function pointer in writable data
// want FAULT_POINTER_IN_DATA calls.targets
//   FAULT_FAKE_STUB        a call to a function that looks like an import
//                          stub (jmp through a RIP-relative slot) but whose
//                          slot is writable data
// want FAULT_FAKE_STUB calls.targets
//   FAULT_NOT_ALLOWED      a call to an imported function (puts) that is not
//                          among those a measuring function may call
// want FAULT_NOT_ALLOWED calls.targets
//   FAULT_IFUNC_CALL       a call through the dynamic linker's stub to the
//                          program's own function resolved at load time (an
//                          IFUNC): its slot names no imported function
// want FAULT_IFUNC_CALL calls.targets
#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes128.h"
#include "../../src/variants/variants.h"

extern "C" [[gnu::noinline]] void audit_fault_target() { asm volatile("" ::: "memory"); }

#if defined(FAULT_NOT_ALLOWED)
#include <cstdio>
#define AUDIT_FAULT_CALL() std::puts("audit fault")
#elif defined(FAULT_IFUNC_CALL)
extern "C" {
void (*audit_fault_resolve())() { return audit_fault_target; }
void audit_fault_ifunc() __attribute__((ifunc("audit_fault_resolve")));
}
#define AUDIT_FAULT_CALL() audit_fault_ifunc()
#elif defined(FAULT_POINTER_IN_DATA)
extern "C" {
void (*audit_fault_pointer)() = audit_fault_target;
}
#define AUDIT_FAULT_CALL() audit_fault_pointer()
#else
asm(".text\n"
    ".p2align 4\n"
    "audit_fault_stub:\n\t"
    "jmp *audit_fault_slot(%rip)\n"
    ".data\n"
    ".p2align 3\n"
    "audit_fault_slot:\n\t"
    ".quad audit_fault_target\n"
    ".text\n");
extern "C" void audit_fault_stub();
#define AUDIT_FAULT_CALL() audit_fault_stub()
#endif

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx() {
    measure_chosen_loop<TWO_LANE_FAMILY>(VARIANT_INDEX_AVX, FORMAT_AVX, [](auto loop) ISABENCH_INLINE_LAMBDA {
        return sum_two_lanes<decltype(loop)::value>();
    });
    AUDIT_FAULT_CALL();
}
