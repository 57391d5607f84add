// The eight-lane loops and their reduction. It expects the AVX-512
// intrinsics to be in scope: the compiler's own in the AVX-512 variant, a
// portable implementation in the test that checks the reduction on any
// processor.
#pragma once

#include "../harness/measure_record.h"
#include "codegen.h"

// Halving steps: 512 to 256 bits (F), 256 to 128 bits (DQ with VL), then the
// high 64-bit lane onto the low one.
ISABENCH_INLINE uint64_t reduce_eight_lanes(__m512i acc) {
    const __m256i half = _mm256_add_epi64(_mm512_castsi512_si256(acc), _mm512_extracti64x4_epi64(acc, 1));
    __m128i sum = _mm_add_epi64(_mm256_castsi256_si128(half), _mm256_extracti64x2_epi64(half, 1));
    sum = _mm_add_epi64(sum, _mm_srli_si128(sum, 8));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(sum));
}

#if defined(__AVX512F__)
#include "lanes256.h"

static_assert(lanes_of(Family::Avx512) == sizeof(__m512i) / sizeof(uint64_t),
              "variants.def: the AVX-512 family's variants must give it the lanes of a 512-bit register");

// The eight-lane loops' lane step, {8, ..., 8}, loaded from read-only data.
ISABENCH_INLINE __m512i eight_lane_step() {
    alignas(64) static const uint64_t EIGHTS[8] = {8, 8, 8, 8, 8, 8, 8, 8};
    return _mm512_load_si512(from_read_only_data<__m512i>(EIGHTS));
}

// The four-lane loops' operations at 512 bits, in EVEX encoding. b enters
// holding `start`, the indices {8m, ..., 8m + 7} of the first iteration, and
// advances by `step`; acc enters at zero. The loop numbered NUMBER in
// variants.def, over RUN_ELEMENTS elements, in its row's form or with
// CHANGED_FORM in ISABENCH_CHANGED_FORM's (lanes.h). (The fault executables
// of the tests give it other starts, steps, counts and forms; the measuring
// function takes the defaults.)
template <unsigned NUMBER, uint64_t RUN_ELEMENTS = ELEMENTS, bool CHANGED_FORM = false>
ISABENCH_INLINE uint64_t sum_eight_lanes(__m512i start, __m512i step = eight_lane_step()) {
    alignas(64) static const uint64_t TWOS[8] = {2, 2, 2, 2, 2, 2, 2, 2};
    register __m512i b asm("zmm0") = start;
    register __m512i x asm("zmm1");
    register __m512i acc asm("zmm2") = _mm512_setzero_si512();
    register __m512i c8 asm("zmm3") = step;
    register __m512i c2 asm("zmm4") = _mm512_load_si512(from_read_only_data<__m512i>(TWOS));
#define ISABENCH_EIGHT_LANE_ROW(...) ISABENCH_WIDE_LOOP("v", lanes_of(Family::Avx512), c8, __VA_ARGS__)
#define ISABENCH_LOOP_Avx512(...) ISABENCH_IN_FORM(ISABENCH_EIGHT_LANE_ROW, __VA_ARGS__)
#include "variants.def"
    static_assert(NUMBER < loops_of(Family::Avx512), "no such AVX-512 loop");
    return reduce_eight_lanes(acc);
}
#endif
