// The AVX-512 variant's loop and reduction, compiled against a portable
// implementation of the AVX-512 intrinsics (SIMDe), so that its arithmetic
// is checked on any processor: the sums for small element counts and for the
// full count, and the final lane values of b.
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

#define ISABENCH_IN_ORDER(acc, b)
#include "../src/variants/lanes512.h"

// The frame's state and clock are not used here, but the harness header that
// the loop shares declares them.
extern "C" {
double tmin, t;
uint64_t s, i, N;
uint64_t read_ticks() { return 0; }
}

static int failures = 0;

static uint64_t reference(uint64_t elements) {
    uint64_t sum = 0;
    for (uint64_t k = 0; k < elements; ++k) sum += k ^ (k + 2);
    return sum;
}

template <uint64_t ITERATIONS>
static void check(uint64_t expected) {
    __m512i b = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    const uint64_t sum = sum_eight_lanes<ITERATIONS>(b, _mm512_setzero_si512());
    const uint64_t elements = ITERATIONS * 8;
    if (sum != expected) {
        std::printf("FAIL: %" PRIu64 " elements: sum %" PRIX64 ", expected %" PRIX64 "\n", elements, sum, expected);
        ++failures;
    }
    uint64_t lanes[8];
    _mm512_storeu_si512(lanes, b);
    for (uint64_t j = 0; j < 8; ++j) {
        if (lanes[j] != elements + j) {
            std::printf("FAIL: %" PRIu64 " elements: lane %" PRIu64 " of b holds %" PRIu64 ", expected %" PRIu64 "\n",
                        elements, j, lanes[j], elements + j);
            ++failures;
        }
    }
}

int main() {
    check<1>(48);  // k = 0..7 give 2, 2, 6, 6, 2, 2, 14, 14
    check<2>(reference(16));
    check<3>(reference(24));
    check<1000>(reference(8000));
    check<1000000000 / 8>(0xD1F0AD400);
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
