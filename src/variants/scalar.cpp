// Scalar variant: one element per iteration on general-purpose registers.
//
// With GCC this source is built with SSE but without SSE2: the loop cannot be
// vectorised, the frame's floating point runs on x87, and SSE only hands the
// doubles to printf. Clang drops double arguments to printf when SSE2 is off,
// so under Clang the source keeps SSE2 for the frame; the loop is written
// instruction by instruction on general registers either way.
#include "../harness/frame.h"
#include "../harness/result_lines.h"
#include "lanes64.h"
#include "variants.h"

extern "C" ISABENCH_PAGE_ALIGNED void bench_scalar() {
    measure_chosen_loop<Family::Scalar>(VARIANT_INDEX_SCALAR, FORMAT_SCALAR, [](auto loop) ISABENCH_INLINE_LAMBDA {
        return sum_one_lane<decltype(loop)::value>();
    });
}
