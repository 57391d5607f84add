// Faults in the driver's order; each replaces src/harness/main.cpp with the
// real driver, whose call of one variant's measuring function is changed
// (ISABENCH_DRIVER_CALL) while every other line is driven as the real one
// drives it, from variants.def:
//   FAULT_TWICE          the AVX2 line measured twice, the second one's
//                        results printed as well
// want FAULT_TWICE driver.order
//   FAULT_SWAPPED        the AVX2 line before the AVX line
// want FAULT_SWAPPED driver.order
//   FAULT_SILENT_SKIP    the AVX line left out: nothing in its place, and no
//                        message on standard error
// want FAULT_SILENT_SKIP driver.order
//   FAULT_CHOSEN_LINE    the AVX2 line run through a pointer in writable
//                        data, where a flag of the program puts a function
//                        of its own, not bench_avx2: which one runs is
//                        decided at run time
// want FAULT_CHOSEN_LINE driver.order
#include <cstdio>

#include "../../src/variants/variants.h"

namespace {

// Whether the row NAME is the variant numbered `variant`.
#define AUDIT_FAULT_IS(NAME, variant) (VARIANT_INDEX_##NAME == VARIANT_INDEX_##variant)

#if defined(FAULT_TWICE)
#define ISABENCH_DRIVER_CALL(NAME, function) (function(), AUDIT_FAULT_IS(NAME, AVX2) ? function() : void())
#elif defined(FAULT_SWAPPED)
#define ISABENCH_DRIVER_CALL(NAME, function) \
    (AUDIT_FAULT_IS(NAME, AVX) ? bench_avx2() : AUDIT_FAULT_IS(NAME, AVX2) ? bench_avx() : function())
#elif defined(FAULT_SILENT_SKIP)
#define ISABENCH_DRIVER_CALL(NAME, function) (AUDIT_FAULT_IS(NAME, AVX) ? void() : function())
#elif defined(FAULT_CHOSEN_LINE)
}  // namespace

// Writable, so nothing in the file says which way it is set.
extern "C" {
volatile bool audit_fault_other_line = false;
}

namespace {

// Prints a line of its own making under the AVX2 label.
[[gnu::noinline]] void other_avx2_line() { std::printf("%s\n", MEASURING_FUNCTIONS[VARIANT_INDEX_AVX2].label); }

void (*avx2_line)() = bench_avx2;

[[gnu::constructor]] void choose_line() {
    if (audit_fault_other_line)
        avx2_line = other_avx2_line;
}
#define ISABENCH_DRIVER_CALL(NAME, function) (AUDIT_FAULT_IS(NAME, AVX2) ? avx2_line() : function())
#endif

}  // namespace

#include "../../src/harness/main.cpp"
