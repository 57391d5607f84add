// Faults for the audit's rules on which loop each frame runs: a loop in a
// form other than its row of variants.def gives, each of which runs slower
// on some processor, and choices among the loops other than the driver's
// one choice before the first run:
//   FAULT_ADVANCE_FIRST  each loop with its advance of b and its
//                        accumulation in the other order: the same
//                        instructions and length
// want FAULT_ADVANCE_FIRST loop.form
//   FAULT_DOWN_COUNTER   each loop with a counter down to zero (mov, sub,
//                        jne; up from zero where its row counts down), 2.5
//                        cycles per iteration instead of 1.9 on Intel's
//                        Sapphire Rapids class for the up-counter
// want FAULT_DOWN_COUNTER loop.form
//   FAULT_OFFSET         each loop 12 bytes further past its 64-byte
//                        boundary than its row places it
// want FAULT_OFFSET loop.form
//   FAULT_SWAPPED_CHOICE the driver's choice read backwards: the frame of
//                        the last loop runs for loop 0, and so on
// want FAULT_SWAPPED_CHOICE loop.form
//   FAULT_CHOICE_IN_RUN  the loop chosen inside each run, between its two
//                        readings
// want FAULT_CHOICE_IN_RUN timed.choice
//   FAULT_EXTRA_FRAME    beside the real frames, one more for a choice the
//                        table never makes, running a loop that is none of
//                        the candidates
// want FAULT_EXTRA_FRAME loop.unique
//   FAULT_OVERRIDES_CHOICE  the function writes its own choice (loop 0)
//                        over the driver's before reading it
// want FAULT_OVERRIDES_CHOICE loop.unique
#include <immintrin.h>

// A row's tokens, changed: the form that sum_eight_lanes gives the loops it
// builds with CHANGED_FORM (lanes512.h), defined before that header.
#define OTHER_ORDER_accfirst advfirst
#define OTHER_ORDER_advfirst accfirst
#define DOWN_COUNTER_down up
#define DOWN_COUNTER_dec up
#define DOWN_COUNTER_up down
#define DOWN_COUNTER_upinc down
#define DOWN_COUNTER_elem down
#define DOWN_COUNTER_neg down
#define DOWN_COUNTER_neginc down
#if defined(FAULT_DOWN_COUNTER)
#define ISABENCH_CHANGED_FORM(order, counter, position, copy, xor_op, offset) \
    order, DOWN_COUNTER_##counter, position, copy, xor_op, offset
#elif defined(FAULT_OFFSET)
#define ISABENCH_CHANGED_FORM(order, counter, position, copy, xor_op, offset) \
    order, counter, position, copy, xor_op, ((offset + 12) & 63)
#else
#define ISABENCH_CHANGED_FORM(order, counter, position, copy, xor_op, offset) \
    OTHER_ORDER_##order, counter, position, copy, xor_op, offset
#endif

#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"
#include "../../src/variants/lanes512.h"
#include "../../src/variants/variants.h"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// The real loop numbered NUMBER, in the changed form.
template <unsigned NUMBER>
ISABENCH_INLINE uint64_t changed_eight_lanes(__m512i start) {
    return sum_eight_lanes<NUMBER, ELEMENTS, true>(start);
}

#define START _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0)
// How many loops the eight-lane family has.
[[maybe_unused]] constexpr unsigned CANDIDATES = loops_of(Family::Avx512);

extern "C" ISABENCH_PAGE_ALIGNED void bench_avx512() {
#if defined(FAULT_SWAPPED_CHOICE)
    with_chosen_loop<CANDIDATES>(CANDIDATES - 1 - chosen_loops[VARIANT_INDEX_AVX512], [](auto loop) ISABENCH_INLINE_LAMBDA {
        measure(FORMAT_AVX512, []() ISABENCH_INLINE_LAMBDA { return sum_eight_lanes<decltype(loop)::value>(START); });
    });
#elif defined(FAULT_CHOICE_IN_RUN)
    measure(FORMAT_AVX512, []() ISABENCH_INLINE_LAMBDA {
        uint64_t sum = 0;
        with_chosen_loop<CANDIDATES>(chosen_loops[VARIANT_INDEX_AVX512], [&sum](auto loop) ISABENCH_INLINE_LAMBDA {
            sum = sum_eight_lanes<decltype(loop)::value>(START);
        });
        return sum;
    });
#elif defined(FAULT_OVERRIDES_CHOICE)
    asm volatile("movb $0, %0" : "=m"(chosen_loops[VARIANT_INDEX_AVX512]));
    measure_chosen_loop<Family::Avx512>(VARIANT_INDEX_AVX512, FORMAT_AVX512, [](auto loop) ISABENCH_INLINE_LAMBDA {
        return sum_eight_lanes<decltype(loop)::value>(START);
    });
#elif defined(FAULT_EXTRA_FRAME)
    with_chosen_loop<CANDIDATES + 1>(chosen_loops[VARIANT_INDEX_AVX512], [](auto loop) ISABENCH_INLINE_LAMBDA {
        measure(FORMAT_AVX512, []() ISABENCH_INLINE_LAMBDA {
            constexpr unsigned LOOP = decltype(loop)::value;
            if constexpr (LOOP < CANDIDATES)
                return sum_eight_lanes<LOOP>(START);
            else
                return changed_eight_lanes<0>(START);
        });
    });
#else
    measure_chosen_loop<Family::Avx512>(VARIANT_INDEX_AVX512, FORMAT_AVX512, [](auto loop) ISABENCH_INLINE_LAMBDA {
        return changed_eight_lanes<decltype(loop)::value>(START);
    });
#endif
}
