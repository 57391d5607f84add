// Faults in the driver's order; each replaces src/harness/main.cpp with the
// real driver running a table of its own in place of the real
// MEASURING_FUNCTIONS, built from the real one's entries:
//   FAULT_TWICE          the AVX2 line measured twice, the second one's
//                        results printed as well
// want FAULT_TWICE driver.order
//   FAULT_SWAPPED        the AVX2 line before the AVX line
// want FAULT_SWAPPED driver.order
//   FAULT_SILENT_SKIP    the AVX line left out: a function that does nothing
//                        in its place, and no message on standard error
// want FAULT_SILENT_SKIP driver.order
//   FAULT_CHOSEN_LINE    the table in writable data, where a flag of the
//                        program puts a function of its own, not bench_avx2,
//                        under the AVX2 line: which one runs is decided at
//                        run time
// want FAULT_CHOSEN_LINE driver.order
#include <cstdio>

#include "../../src/variants/variants.h"

namespace {

constexpr const MeasuringFunction &entry(unsigned variant) { return MEASURING_FUNCTIONS[variant]; }

#if defined(FAULT_CHOSEN_LINE)
}  // namespace

// Writable, so nothing in the file says which way it is set.
extern "C" {
volatile bool audit_fault_other_line = false;
}

namespace {

// Prints a line of its own making under the AVX2 label.
[[gnu::noinline]] void other_avx2_line() { std::printf("%s\n", entry(VARIANT_INDEX_AVX2).label); }

MeasuringFunction chosen_table[] = {entry(VARIANT_INDEX_SCALAR), entry(VARIANT_INDEX_SSE2),
                                    entry(VARIANT_INDEX_SSE42), entry(VARIANT_INDEX_AVX),
                                    entry(VARIANT_INDEX_AVX2), entry(VARIANT_INDEX_AVX512)};

[[gnu::constructor]] void choose_line() {
    if (audit_fault_other_line)
        chosen_table[VARIANT_INDEX_AVX2].measure = other_avx2_line;
}
#define FAULT_TABLE chosen_table
#else
#if defined(FAULT_SILENT_SKIP)
[[gnu::noinline]] void skip_quietly() { asm volatile(""); }
#endif

constexpr MeasuringFunction fault_table[] = {
    entry(VARIANT_INDEX_SCALAR), entry(VARIANT_INDEX_SSE2), entry(VARIANT_INDEX_SSE42),
#if defined(FAULT_TWICE)
    entry(VARIANT_INDEX_AVX), entry(VARIANT_INDEX_AVX2), entry(VARIANT_INDEX_AVX2),
#elif defined(FAULT_SWAPPED)
    entry(VARIANT_INDEX_AVX2), entry(VARIANT_INDEX_AVX),
#elif defined(FAULT_SILENT_SKIP)
    {skip_quietly, entry(VARIANT_INDEX_AVX).label, 0, entry(VARIANT_INDEX_AVX).family}, entry(VARIANT_INDEX_AVX2),
#endif
    entry(VARIANT_INDEX_AVX512)};
#define FAULT_TABLE fault_table
#endif

}  // namespace

// The real driver, over the table above.
#define MEASURING_FUNCTIONS FAULT_TABLE
#include "../../src/harness/main.cpp"
