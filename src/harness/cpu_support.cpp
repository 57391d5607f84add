// Extension detection with CPUID and XGETBV, built for the x86-64 baseline so
// that it runs on any x86-64 processor. A processor may report AVX or AVX-512
// while the operating system does not save the wider registers (a hypervisor
// or a kernel setting can disable them); executing such code would then
// fault, so both must agree before a variant runs.
#include "cpu_support.h"

#include <cpuid.h>
#include <cstdint>
#include <cstdio>

namespace {

constexpr unsigned LEAF1_ECX_SSE3 = 1u << 0;
constexpr unsigned LEAF1_ECX_SSSE3 = 1u << 9;
constexpr unsigned LEAF1_ECX_SSE41 = 1u << 19;
constexpr unsigned LEAF1_ECX_SSE42 = 1u << 20;
constexpr unsigned LEAF1_ECX_OSXSAVE = 1u << 27;
constexpr unsigned LEAF1_ECX_AVX = 1u << 28;
constexpr unsigned LEAF7_EBX_AVX2 = 1u << 5;
constexpr unsigned LEAF7_EBX_AVX512F = 1u << 16;
constexpr unsigned LEAF7_EBX_AVX512DQ = 1u << 17;
constexpr unsigned LEAF7_EBX_AVX512VL = 1u << 31;

constexpr uint64_t XCR0_SSE_AVX = 0x6;          // bits 1-2: XMM and upper YMM halves
constexpr uint64_t XCR0_AVX512 = 0xE0 | 0x6;    // bits 5-7 as well: opmask, ZMM halves, ZMM16-31

uint64_t read_xcr0() {
    uint32_t low, high;
    // XGETBV is only executed after OSXSAVE says it exists.
    asm volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<uint64_t>(high) << 32) | low;
}

struct FeatureName {
    unsigned bit;
    const char *name;
};

constexpr FeatureName FEATURE_NAMES[] = {
    {FEATURE_SSE3, "SSE3"},
    {FEATURE_SSSE3, "SSSE3"},
    {FEATURE_SSE41, "SSE4.1"},
    {FEATURE_SSE42, "SSE4.2"},
    {FEATURE_AVX, "AVX"},
    {FEATURE_AVX2, "AVX2"},
    {FEATURE_AVX512F, "AVX-512F"},
    {FEATURE_AVX512DQ, "AVX-512DQ"},
    {FEATURE_AVX512VL, "AVX-512VL"},
    {FEATURE_OS_YMM, "AVX register state enabled by the operating system"},
    {FEATURE_OS_ZMM, "AVX-512 register state enabled by the operating system"},
};

}  // namespace

CpuRegisters read_cpu_registers() {
    CpuRegisters registers{};
    unsigned a, b, c, d;
    registers.max_leaf = __get_cpuid_max(0, nullptr);
    if (registers.max_leaf < 1)
        return registers;
    __cpuid(1, a, b, c, d);
    registers.leaf1_ecx = c;
    // Leaf 7 exists only where the highest basic leaf reaches it: above it,
    // some processors answer with the highest leaf's data instead.
    if (registers.max_leaf >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        registers.leaf7_ebx = b;
    }
    if (registers.leaf1_ecx & LEAF1_ECX_OSXSAVE)
        registers.xcr0 = read_xcr0();
    return registers;
}

unsigned usable_features(const CpuRegisters &registers) {
    if (registers.max_leaf < 1)
        return 0;
    const uint32_t c = registers.leaf1_ecx;
    unsigned features = 0;
    if (c & LEAF1_ECX_SSE3) features |= FEATURE_SSE3;
    if (c & LEAF1_ECX_SSSE3) features |= FEATURE_SSSE3;
    if (c & LEAF1_ECX_SSE41) features |= FEATURE_SSE41;
    if (c & LEAF1_ECX_SSE42) features |= FEATURE_SSE42;
    if (c & LEAF1_ECX_AVX) features |= FEATURE_AVX;
    // Without OSXSAVE the operating system saves no state beyond SSE, and
    // XCR0 cannot even be read.
    if (c & LEAF1_ECX_OSXSAVE) {
        if ((registers.xcr0 & XCR0_SSE_AVX) == XCR0_SSE_AVX) features |= FEATURE_OS_YMM;
        if ((registers.xcr0 & XCR0_AVX512) == XCR0_AVX512) features |= FEATURE_OS_ZMM;
    }
    if (registers.max_leaf >= 7) {
        const uint32_t b = registers.leaf7_ebx;
        if (b & LEAF7_EBX_AVX2) features |= FEATURE_AVX2;
        if (b & LEAF7_EBX_AVX512F) features |= FEATURE_AVX512F;
        if (b & LEAF7_EBX_AVX512DQ) features |= FEATURE_AVX512DQ;
        if (b & LEAF7_EBX_AVX512VL) features |= FEATURE_AVX512VL;
    }
    return features;
}

unsigned usable_features() { return usable_features(read_cpu_registers()); }

void describe_features(unsigned mask, char *text, std::size_t size) {
    if (size == 0)
        return;
    text[0] = '\0';
    std::size_t used = 0;
    for (const FeatureName &feature : FEATURE_NAMES) {
        if (!(mask & feature.bit))
            continue;
        const int n = std::snprintf(text + used, size - used, "%s%s", used ? ", " : "", feature.name);
        if (n < 0 || static_cast<std::size_t>(n) >= size - used)
            return;
        used += static_cast<std::size_t>(n);
    }
}
