// How the variant sources hold the compilers to the code each line claims:
// force-inlining, one group of lanes per iteration, values the optimiser
// cannot see through, and constants kept in read-only data. Every function
// here is force-inlined with internal linkage: each variant source includes
// this header and is compiled for its own instruction set, and an
// out-of-line copy with external linkage would be merged by the linker and
// could leave, say, the scalar variant calling code built for AVX-512.
#pragma once

#include <cstdint>

#define ISABENCH_INLINE __attribute__((always_inline)) static inline

// Lambdas passed to measure() carry this so that the loop is built inline in
// the frame, never reached through a call.
#define ISABENCH_INLINE_LAMBDA __attribute__((always_inline))

// Holds the loop that follows to one group of lanes per iteration: no
// unrolling, no interleaving, no vectorisation beyond what the source says.
#if defined(__clang__)
#define ISABENCH_ONE_GROUP_PER_ITERATION _Pragma("clang loop unroll(disable) interleave(disable) vectorize(disable)")
#else
#define ISABENCH_ONE_GROUP_PER_ITERATION _Pragma("GCC unroll 1")
#endif

// Makes a value unknown to the optimiser, without emitting any instruction:
// a workload started from it can be neither folded to its closed form nor
// computed once and reused across runs. The memory clobber keeps it after
// the store of the first clock reading.
ISABENCH_INLINE void opaque(uint64_t &value) { asm volatile("" : "+r"(value) : : "memory"); }

template <typename Vector>
ISABENCH_INLINE void opaque(Vector &value) {
    asm volatile("" : "+v"(value) : : "memory");
}

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
