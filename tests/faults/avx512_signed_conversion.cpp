// Fault for the audit's rule on the AVX-512 frame's clock conversions: each
// reading converted as a signed number (VCVTSI2SD), where the frame is to
// use the unsigned conversion that AVX-512F adds.
#include <immintrin.h>

#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes512.h"
#include "../../src/variants/variants.h"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

ISABENCH_INLINE double signed_ticks() { return static_cast<double>(static_cast<int64_t>(read_ticks())); }

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx512() {
    i = 0;
    tmin = TMIN_START;
    do {
        t = signed_ticks();
        const uint64_t sum = sum_eight_lanes<ELEMENTS / 8>(_mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0));
        keep(sum);
        s = sum;
        N = ELEMENTS;
        t = (signed_ticks() - t) * TICK_SECONDS;
        if (t >= 0.0 && tmin > t)
            tmin = t;
        ++i;
    } while (i < REPEATS);
    runtime_printf(FORMAT_AVX512, s, tmin, static_cast<double>(ELEMENTS));
}
