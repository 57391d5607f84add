// The scalar loop: one element per iteration on general-purpose registers,
// at the foot of the ladder of widths. Force-inlined with internal linkage,
// like the vector loops.
#pragma once

#include "../harness/frame.h"

// k is both the element index and the loop counter.
ISABENCH_INLINE uint64_t sum_one_lane() {
    uint64_t k = 0;
    uint64_t acc = 0;
    opaque(k);
    opaque(acc);
    ISABENCH_ONE_GROUP_PER_ITERATION
    for (; k != 1000000000; ++k)
        acc += k ^ (k + 2);
    return acc;
}
