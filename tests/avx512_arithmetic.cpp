// The AVX-512 variant's reduction, compiled against a portable implementation
// of the AVX-512 intrinsics (SIMDe), so that it runs on any processor. The
// binary audit proves from each build's machine code that the reduction adds
// every lane of the accumulator once (reduction.lanes); this runs its source
// on values, also where no processor at hand has AVX-512: each lane of the
// accumulator holds what the loop leaves in it after a given number of
// iterations, and the reduction must give the sum over all those elements,
// wrapping at 64 bits as the accumulator does.
#include <cinttypes>
#include <cstdint>
#include <cstdio>

#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>
// Not in every SIMDe release; it extracts the same 128-bit half as the AVX2
// form.
#ifndef _mm256_extracti64x2_epi64
#define _mm256_extracti64x2_epi64(a, imm) simde_mm256_extracti128_si256(a, imm)
#endif

#include "../src/variants/lanes512.h"

static int failures = 0;

static void check(const char *what, const uint64_t (&lanes)[8], uint64_t expected) {
    const uint64_t sum = reduce_eight_lanes(_mm512_loadu_si512(lanes));
    if (sum != expected) {
        std::printf("FAIL: %s: sum %" PRIX64 ", expected %" PRIX64 "\n", what, sum, expected);
        ++failures;
    }
}

// Lane j of acc after `iterations`: the elements 8m + j, m below iterations.
static void after(uint64_t iterations, uint64_t (&lanes)[8], uint64_t &total) {
    total = 0;
    for (uint64_t j = 0; j < 8; ++j) {
        lanes[j] = 0;
        for (uint64_t m = 0; m < iterations; ++m) {
            const uint64_t k = 8 * m + j;
            lanes[j] += k ^ (k + 2);
        }
        total += lanes[j];
    }
}

int main() {
    // One bit per lane: a lane left out or counted twice shows in the sum.
    check("one bit per lane", {1, 2, 4, 8, 16, 32, 64, 128}, 255);
    // Lanes near the top of 64 bits: the sum wraps modulo 2^64, as the
    // accumulator does, and no lane is cut to 32 bits.
    check("wide lanes", {1ull << 63, 1ull << 63, 0xFFFFFFFF00000000, 0x100000000, 3, 0, 0, 5}, 8);
    uint64_t lanes[8], total;
    after(1, lanes, total);  // k = 0..7 give 2, 2, 6, 6, 2, 2, 14, 14
    check("one iteration", lanes, 48);
    for (uint64_t iterations : {2, 3, 1000}) {
        after(iterations, lanes, total);
        check("a few iterations", lanes, total);
    }
    after(1000000000 / 8, lanes, total);
    if (total != 0xD1F0AD400) {
        std::printf("FAIL: the lanes after the full count add to %" PRIX64 "\n", total);
        ++failures;
    }
    check("the full count", lanes, 0xD1F0AD400);
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
