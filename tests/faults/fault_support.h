// What the fault fixtures need to hold the compiler to the code they plant,
// beside what codegen.h gives the measuring functions: a loop written in C++
// kept to one group of lanes per iteration, and values the optimiser must
// not see through. The real loops need neither: they are written in
// assembler.
#pragma once

#include <cstdint>

#include "../../src/variants/codegen.h"

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
