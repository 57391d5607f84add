// Faults for the audit to catch in the real measuring functions, built
// another way: the switch picks the variant's own source, and the options
// that CMakeLists.txt passes with it plant the fault.
//   FAULT_UNALIGNED      bench_avx512 without its alignment to a page
// want FAULT_UNALIGNED placement.page
//   FAULT_FRAME_POINTER  bench_sse42 with a frame pointer, which bench_sse2
//                        lacks (-fno-omit-frame-pointer)
// want FAULT_FRAME_POINTER same.sequence
//   FAULT_NO_CLEARING    bench_avx2 without the compiler's clearing of the
//                        upper register halves before its calls
// want FAULT_NO_CLEARING upper.clear
//   FAULT_VECTORISED     bench_scalar as a new user would build it: SSE2 and
//                        full optimisation (-msse2 -O3)
// want FAULT_VECTORISED isa.features
#if defined(FAULT_UNALIGNED)
#define ISABENCH_PAGE_ALIGNED
#include "../../src/variants/avx512.cpp"
#elif defined(FAULT_FRAME_POINTER)
#include "../../src/variants/sse42.cpp"
#elif defined(FAULT_NO_CLEARING)
#include "../../src/variants/avx2.cpp"
#elif defined(FAULT_VECTORISED)
#include "../../src/variants/scalar.cpp"
#endif
