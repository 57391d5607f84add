// Entry and driver: runs the measuring functions in their fixed order,
// skipping those the processor or the operating system cannot run.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../variants/loops.h"
#include "../variants/variants.h"
#include "cpu_support.h"

uint8_t chosen_loops[VARIANT_COUNT];

// The version, where `strings` and the tools that read the executable find
// it; the results lines themselves never change.
[[gnu::used]] extern const char VERSION_TEXT[] = "isabench version " ISABENCH_VERSION;

namespace {

// The first error met in writing the results, or 0. A failed write is
// remembered where it happens: errno means nothing by the end of the run.
// Some runtimes report the failure only through the error indicator and
// leave errno alone; EIO stands in for the reason then.
int write_error = 0;

// Sends the lines written so far on their way, so that each line reaches a
// pipe or a file as soon as its variant is done, and stands before any
// message on standard error.
void flush_results() {
    errno = 0;
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout);
    if (failed && write_error == 0)
        write_error = errno != 0 ? errno : EIO;
}

// Whether the variant numbered `variant` can run with the `usable`
// extensions; where it cannot, says so on standard error, naming what it
// lacks. Inline in every build, so that the message stands in main in
// place of the call it replaces.
[[gnu::always_inline]] inline bool can_run(unsigned variant, unsigned usable) {
    const unsigned missing = MEASURING_FUNCTIONS[variant].needs & ~usable;
    if (missing == 0)
        return true;
    char names[256];
    describe_features(missing, names, sizeof names);
    std::fprintf(stderr, "isabench: %s variant skipped: needs %s\n", MEASURING_FUNCTIONS[variant].label, names);
    return false;
}

}  // namespace

// How the driver calls a measuring function: by its name. (The binary
// audit's driver faults call another way, to see the audit catch it.)
#ifndef ISABENCH_DRIVER_CALL
#define ISABENCH_DRIVER_CALL(NAME, function) function()
#endif

int main() {
    const CpuRegisters registers = read_cpu_registers();
    const unsigned usable = usable_features(registers);
    // Each line's loop, in the form measured fastest on this processor: chosen
    // once, here, before any variant runs.
    const Processor processor = identify_processor(registers);
#define ISABENCH_VARIANT(NAME, function, tag, label, needs, lanes, encoding, family) \
    chosen_loops[VARIANT_INDEX_##NAME] = static_cast<uint8_t>(chosen_loop(Family::family, processor));
#include "../variants/variants.def"
    // Each measuring function by its own name, in the lines' order: a direct
    // call, which every build keeps as one (a table of pointers walked in a
    // loop would leave which function each call reaches to the values the
    // loop carries, which no reading of the binary can be sure of in every
    // build). Each flush lies outside the measuring function, so outside
    // every timed region.
#define ISABENCH_VARIANT(NAME, function, ...)           \
    if (can_run(VARIANT_INDEX_##NAME, usable)) {         \
        ISABENCH_DRIVER_CALL(NAME, function);            \
        flush_results();                                 \
    }
#include "../variants/variants.def"

    // The results are the program's whole purpose: a run whose lines were not
    // written (a full disk, a closed pipe) must not end as a success.
    flush_results();
    if (write_error != 0) {
        std::fprintf(stderr, "isabench: could not write the results to standard output: %s\n",
                     std::strerror(write_error));
        return 1;
    }
    return 0;
}
