// AVX-512 variant: eight 64-bit lanes per iteration in 512-bit registers,
// built for AVX2 plus AVX-512 F, DQ and VL. The frame converts each clock
// reading with the AVX-512F unsigned 64-bit to double conversion.
#include <immintrin.h>

#include "../harness/frame.h"
#include "../harness/result_lines.h"
#include "lanes512.h"
#include "variants.h"

// GCC 12's extract intrinsics fill their unused source with a deliberately
// uninitialised value, which it then reports at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx512() {
    measure_chosen_loop<Family::Avx512>(VARIANT_INDEX_AVX512, FORMAT_AVX512, [](auto loop) ISABENCH_INLINE_LAMBDA {
        return sum_eight_lanes<decltype(loop)::value>(_mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0));
    });
}
