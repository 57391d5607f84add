// Faults for the audit's rule on what a measuring function may call, after
// its line is printed:
//   FAULT_POINTER_IN_DATA  a call through a function pointer in writable data
//   FAULT_FAKE_STUB        a call to a function that looks like an import
//                          stub (jmp through a RIP-relative slot) but whose
//                          slot is writable data
#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes128.h"
#include "../../src/variants/variants.h"

extern "C" [[gnu::noinline]] void audit_fault_target() { asm volatile("" ::: "memory"); }

#if defined(FAULT_POINTER_IN_DATA)
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
    measure(FORMAT_AVX, []() ISABENCH_INLINE_LAMBDA { return sum_two_lanes(); });
    AUDIT_FAULT_CALL();
}
