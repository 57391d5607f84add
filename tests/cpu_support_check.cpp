// Extension detection, two ways.
//
//   cpu_support_check            the program's own CPUID/XGETBV detection on
//                                this processor (or an emulated one) against
//                                the compiler's __builtin_cpu_supports, which
//                                also requires the operating system to save
//                                the AVX and AVX-512 register state
//   cpu_support_check decisions  the decision from register values to the
//                                variants that run, on values that no host or
//                                emulator here reports
#include <cstdio>
#include <cstring>
#include <string>

#include "../src/harness/cpu_support.h"

namespace {

int cross_check() {
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

// Register bits as the processor manuals number them, written out here
// rather than taken from the code under test.
constexpr uint32_t SSE42_ECX = 1u << 0 | 1u << 9 | 1u << 19 | 1u << 20;  // SSE3 SSSE3 SSE4.1 SSE4.2
constexpr uint32_t OSXSAVE = 1u << 27;
constexpr uint32_t AVX = 1u << 28;
constexpr uint32_t AVX2 = 1u << 5;
constexpr uint32_t AVX512F = 1u << 16, AVX512DQ = 1u << 17, AVX512VL = 1u << 31;
constexpr uint32_t AVX512_EBX = AVX2 | AVX512F | AVX512DQ | AVX512VL;
constexpr uint64_t XCR0_YMM = 0x7;    // x87, SSE, AVX state
constexpr uint64_t XCR0_ZMM = 0xE7;   // and opmask, ZMM halves, ZMM16-31
constexpr uint32_t ALL_ECX = SSE42_ECX | OSXSAVE | AVX;

// The variants beyond scalar and SSE2 that run with `usable`, each checked
// on its own as the driver does.
std::string runs(unsigned usable) {
    const struct {
        unsigned needs;
        const char *label;
    } levels[] = {{NEEDS_SSE42, "SSE4.2"}, {NEEDS_AVX, "AVX"}, {NEEDS_AVX2, "AVX2"}, {NEEDS_AVX512, "AVX512"}};
    std::string labels = "scalar SSE2";
    for (const auto &level : levels)
        if ((usable & level.needs) == level.needs)
            labels += std::string(" ") + level.label;
    return labels;
}

CpuRegisters values(uint32_t max_leaf, uint32_t leaf1_ecx, uint32_t leaf7_ebx, uint64_t xcr0) {
    CpuRegisters registers{};
    registers.max_leaf = max_leaf;
    registers.leaf1_ecx = leaf1_ecx;
    registers.leaf7_ebx = leaf7_ebx;
    registers.xcr0 = xcr0;
    return registers;
}

// Which processor's loops register values select: CPUID leaf 1 EAX as
// processors report it (stepping, model, family, extended model, extended
// family), written out from the manuals.
int identities() {
    const struct {
        const char *name;
        const char *vendor;
        uint32_t eax;
        Processor processor;
    } cases[] = {
        {"EPYC 7003 (family 19h model 01h)", "AuthenticAMD", 0x00A00F11, PROCESSOR_ZEN3},
        {"Ryzen 5000 (family 19h model 21h)", "AuthenticAMD", 0x00A20F10, PROCESSOR_ZEN3},
        {"EPYC 9004 (family 19h model 11h)", "AuthenticAMD", 0x00A10F11, PROCESSOR_ZEN4},
        {"Ryzen 7000 (family 19h model 61h)", "AuthenticAMD", 0x00A60F12, PROCESSOR_ZEN4},
        {"EPYC 9005 (family 1Ah model 02h)", "AuthenticAMD", 0x00B00F21, PROCESSOR_ZEN5},
        {"Ryzen 9000 (family 1Ah model 44h)", "AuthenticAMD", 0x00B40F40, PROCESSOR_ZEN5},
        {"EPYC 7002 (family 17h model 31h)", "AuthenticAMD", 0x00830F10, PROCESSOR_DEFAULT},
        {"Xeon 4th generation (6/143)", "GenuineIntel", 0x000806F8, PROCESSOR_XEON_SPR},
        {"Xeon 5th generation (6/207)", "GenuineIntel", 0x000C06F2, PROCESSOR_XEON_SPR},
        {"Xeon Skylake-SP (6/85)", "GenuineIntel", 0x00050654, PROCESSOR_DEFAULT},
        {"an Intel reporting AMD's family 19h", "GenuineIntel", 0x00A10F11, PROCESSOR_DEFAULT},
        {"Hygon (family 18h)", "HygonGenuine", 0x00900F02, PROCESSOR_DEFAULT},
    };
    int failures = 0;
    for (const auto &c : cases) {
        CpuRegisters registers = values(0xd, ALL_ECX, AVX512_EBX, XCR0_ZMM);
        std::strcpy(registers.vendor, c.vendor);
        registers.leaf1_eax = c.eax;
        const Processor got = identify_processor(registers);
        std::printf("%-36s family %02Xh model %02Xh: %s%s%s\n", c.name, cpu_family(registers), cpu_model(registers),
                    processor_name(got), got == c.processor ? "" : ", expected ",
                    got == c.processor ? "" : processor_name(c.processor));
        failures += got != c.processor;
    }
    return failures;
}

int decisions() {
    struct Case {
        const char *name;
        CpuRegisters registers;
        const char *runs;
    } cases[] = {
        {"every extension", values(0xd, ALL_ECX, AVX512_EBX, XCR0_ZMM), "scalar SSE2 SSE4.2 AVX AVX2 AVX512"},
        {"AVX-512F without DQ", values(0xd, ALL_ECX, AVX512_EBX & ~AVX512DQ, XCR0_ZMM), "scalar SSE2 SSE4.2 AVX AVX2"},
        {"AVX-512F without VL", values(0xd, ALL_ECX, AVX512_EBX & ~AVX512VL, XCR0_ZMM), "scalar SSE2 SSE4.2 AVX AVX2"},
        // Hardware with AVX-512 whose operating system saves only the YMM state.
        {"XCR0 without opmask and ZMM state", values(0xd, ALL_ECX, AVX512_EBX, XCR0_YMM), "scalar SSE2 SSE4.2 AVX AVX2"},
        {"XCR0 without the high ZMM registers", values(0xd, ALL_ECX, AVX512_EBX, 0x67), "scalar SSE2 SSE4.2 AVX AVX2"},
        // Above the highest leaf a processor may answer with another leaf's
        // data: whatever stands in leaf 7 must count for nothing.
        {"highest basic leaf 6", values(6, ALL_ECX, AVX512_EBX, XCR0_ZMM), "scalar SSE2 SSE4.2 AVX"},
        {"highest basic leaf 0", values(0, ALL_ECX, AVX512_EBX, XCR0_ZMM), "scalar SSE2"},
        {"AVX2 reported without AVX", values(0xd, SSE42_ECX | OSXSAVE, AVX512_EBX, XCR0_ZMM), "scalar SSE2 SSE4.2"},
        // The operating system has not enabled XSAVE: XCR0 holds nothing
        // meaningful, even if a value was recorded.
        {"OSXSAVE clear while AVX is set", values(0xd, SSE42_ECX | AVX, AVX512_EBX, XCR0_ZMM), "scalar SSE2 SSE4.2"},
        {"XCR0 without the AVX state", values(0xd, ALL_ECX, AVX512_EBX, 0x3), "scalar SSE2 SSE4.2"},
        {"SSE4.2 without SSSE3", values(0xd, ALL_ECX & ~(1u << 9), AVX512_EBX, XCR0_ZMM), "scalar SSE2"},
    };
    int failures = 0;
    for (const Case &c : cases) {
        const std::string got = runs(usable_features(c.registers));
        const bool right = got == c.runs;
        std::printf("%-36s runs %s%s%s\n", c.name, got.c_str(), right ? "" : ", expected ", right ? "" : c.runs);
        failures += !right;
    }
    failures += identities();
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "decisions") == 0)
        return decisions();
    return cross_check();
}
