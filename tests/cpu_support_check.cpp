// Cross-checks the program's own CPUID/XGETBV detection against the
// compiler's __builtin_cpu_supports, which also requires the operating
// system to save the AVX and AVX-512 register state.
#include <cstdio>

#include "../src/harness/cpu_support.h"

int main() {
    __builtin_cpu_init();
    const unsigned usable = usable_features();
    const bool os_ymm = usable & FEATURE_OS_YMM;
    const bool os_zmm = usable & FEATURE_OS_ZMM;
    struct {
        const char *name;
        bool ours;
        bool compiler;
    } checks[] = {
        {"sse3", (usable & FEATURE_SSE3) != 0, __builtin_cpu_supports("sse3") != 0},
        {"ssse3", (usable & FEATURE_SSSE3) != 0, __builtin_cpu_supports("ssse3") != 0},
        {"sse4.1", (usable & FEATURE_SSE41) != 0, __builtin_cpu_supports("sse4.1") != 0},
        {"sse4.2", (usable & FEATURE_SSE42) != 0, __builtin_cpu_supports("sse4.2") != 0},
        {"avx", (usable & FEATURE_AVX) && os_ymm, __builtin_cpu_supports("avx") != 0},
        {"avx2", (usable & FEATURE_AVX2) && os_ymm, __builtin_cpu_supports("avx2") != 0},
        {"avx512f", (usable & FEATURE_AVX512F) && os_zmm, __builtin_cpu_supports("avx512f") != 0},
        {"avx512dq", (usable & FEATURE_AVX512DQ) && os_zmm, __builtin_cpu_supports("avx512dq") != 0},
        {"avx512vl", (usable & FEATURE_AVX512VL) && os_zmm, __builtin_cpu_supports("avx512vl") != 0},
    };
    int failures = 0;
    for (const auto &c : checks) {
        std::printf("%-9s ours %d, compiler %d%s\n", c.name, c.ours, c.compiler, c.ours == c.compiler ? "" : "  MISMATCH");
        failures += c.ours != c.compiler;
    }
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
