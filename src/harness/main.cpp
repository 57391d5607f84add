// Entry and driver: runs the measuring functions in their fixed order,
// skipping those the processor or the operating system cannot run.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../variants/variants.h"
#include "cpu_support.h"

namespace {

// Each level needs everything the level before it needs.
constexpr unsigned NEEDS_SSE42 = FEATURE_SSE3 | FEATURE_SSSE3 | FEATURE_SSE41 | FEATURE_SSE42;
constexpr unsigned NEEDS_AVX = NEEDS_SSE42 | FEATURE_AVX | FEATURE_OS_YMM;
constexpr unsigned NEEDS_AVX2 = NEEDS_AVX | FEATURE_AVX2;
constexpr unsigned NEEDS_AVX512 =
    NEEDS_AVX2 | FEATURE_AVX512F | FEATURE_AVX512DQ | FEATURE_AVX512VL | FEATURE_OS_ZMM;

struct Variant {
    void (*measure)();
    const char *label;
    unsigned needs;
};

constexpr Variant VARIANTS[] = {
    {bench_scalar, "scalar", 0},
    {bench_sse2, "SSE2", 0},
    {bench_sse42, "SSE4.2", NEEDS_SSE42},
    {bench_avx, "AVX", NEEDS_AVX},
    {bench_avx2, "AVX2", NEEDS_AVX2},
    {bench_avx512, "AVX512", NEEDS_AVX512},
};

}  // namespace

int main() {
    const unsigned usable = usable_features();
    for (const Variant &variant : VARIANTS) {
        const unsigned missing = variant.needs & ~usable;
        if (missing == 0) {
            variant.measure();
            continue;
        }
        char names[256];
        describe_features(missing, names, sizeof names);
        // Lines already measured go out before the message, also when
        // standard output is a file or a pipe.
        std::fflush(stdout);
        std::fprintf(stderr, "isabench: %s variant skipped: needs %s\n", variant.label, names);
    }

    // The results are the program's whole purpose: a run whose lines were not
    // written (a full disk, a closed pipe) must not end as a success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        const int error = errno;
        std::fprintf(stderr, "isabench: could not write the results to standard output: %s\n",
                     std::strerror(error));
        return 1;
    }
    return 0;
}
