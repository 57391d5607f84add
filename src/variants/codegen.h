// How the variant sources hold the compilers to the code each line claims:
// force-inlining, a sum kept before the clock reading that follows it, and
// constants kept in read-only data. Every function here is force-inlined
// with internal linkage: each variant source includes this header and is
// compiled for its own instruction set, and an out-of-line copy with
// external linkage would be merged by the linker and could leave, say, the
// scalar variant calling code built for AVX-512.
#pragma once

#include <cstdint>

#define ISABENCH_INLINE __attribute__((always_inline)) static inline

// Lambdas passed to measure() carry this so that the loop is built inline in
// the frame, never reached through a call.
#define ISABENCH_INLINE_LAMBDA __attribute__((always_inline))

// Marks a value as used, here, without emitting any instruction.
ISABENCH_INLINE void keep(uint64_t value) { asm volatile("" : : "r"(value) : "memory"); }

// The loops' constants are loaded from read-only data. Given the values
// themselves, compilers build them from immediates instead (GCC for Windows
// with mov, movq and punpcklqdq; GCC with a broadcast of a register); hiding
// where the pointer points keeps each a load.
template <typename Vector>
ISABENCH_INLINE const Vector *from_read_only_data(const uint64_t *values) {
    asm("" : "+r"(values));
    return reinterpret_cast<const Vector *>(values);
}
