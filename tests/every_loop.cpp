// Runs every loop each measuring function carries, not only the one this
// processor's CPUID selects: a loop chosen only on another processor (the
// Zen 5 loops, the default ones) would otherwise never run in a test here.
// Each measuring function runs whole, ten runs of the chosen loop's frame,
// and must leave the sum D1F0AD400 and the element count in the
// measurement state. Linked with the real measuring functions' objects and
// this driver in place of the real one.
#include <cinttypes>
#include <cstdio>

#include "../src/harness/cpu_support.h"
#include "../src/harness/measure_record.h"
#include "../src/variants/loops.h"
#include "../src/variants/variants.h"

uint8_t chosen_loops[VARIANT_COUNT];

int main() {
    const unsigned usable = usable_features();
    int failures = 0, ran = 0;
    for (unsigned k = 0; k < VARIANT_COUNT; ++k) {
        const MeasuringFunction &variant = MEASURING_FUNCTIONS[k];
        if ((variant.needs & usable) != variant.needs)
            continue;
        for (unsigned loop = 0; loop < loops_of(variant.family); ++loop) {
            chosen_loops[k] = static_cast<uint8_t>(loop);
            s = 0;
            variant.measure();
            std::fflush(stdout);
            const bool right = s == 0xD1F0AD400 && N == ELEMENTS && i == REPEATS;
            std::fprintf(stderr, "%s loop %u: s=%" PRIX64 " N=%" PRIu64 " i=%" PRIu64 "%s\n", variant.label, loop, s, N,
                         i, right ? "" : "  WRONG");
            failures += !right;
            ++ran;
        }
    }
    std::fprintf(stderr, "%d loops run, %d wrong\n", ran, failures);
    return failures == 0 && ran > 0 ? 0 : 1;
}
