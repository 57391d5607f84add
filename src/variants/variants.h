// The measuring functions, in the order the driver calls them.
#pragma once

#include "loops.h"

// Never inlined, also under link-time optimisation: each is the code its
// line claims, placed on its own page and audited under its own name, and
// the driver reaches it through that one call.
extern "C" {
#define ISABENCH_VARIANT(NAME, function, ...) [[gnu::noinline]] void function();
#include "variants.def"
}

// Every measuring function starts on a 4096-byte boundary of its own, so no
// two of them (nor the clock) share a page or a fetch window. (The binary
// audit's tests build one copy without it, to see the audit catch that.)
#ifndef ISABENCH_PAGE_ALIGNED
#define ISABENCH_PAGE_ALIGNED __attribute__((aligned(4096)))
#endif

// What a driver needs of each variant, in the order the lines are printed:
// its measuring function, its label for messages, the extensions it needs
// and its loops' family.
struct MeasuringFunction {
    void (*measure)();
    const char *label;
    unsigned needs;
    Family family;
};

constexpr MeasuringFunction MEASURING_FUNCTIONS[] = {
#define ISABENCH_VARIANT(NAME, function, tag, label, ...) \
    {function, label, needs_of(VARIANT_INDEX_##NAME), VARIANT_ROWS[VARIANT_INDEX_##NAME].family},
#include "variants.def"
};
