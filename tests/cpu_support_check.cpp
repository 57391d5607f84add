// Extension detection, two ways.
//
//   cpu_support_check            the program's own CPUID/XGETBV detection on
//                                this processor (or an emulated one) against
//                                the compiler's __builtin_cpu_supports, which
//                                also requires the operating system to save
//                                the AVX and AVX-512 register state
//   cpu_support_check decisions  the decision from register values to the
//                                variants that run and the processor whose
//                                loops they run, on values that no host or
//                                emulator here reports; and the CPUID bits of
//                                cpu_features.def against <cpuid.h>
#include <cpuid.h>
#include <cstdio>
#include <cstring>
#include <string>

#include "../src/harness/cpu_support.h"
#include "../src/variants/loops.h"

namespace {

// The register state among `features`.
constexpr unsigned STATES = 0
#define ISABENCH_STATE(NAME, ...) | FEATURE_##NAME
#include "../src/harness/cpu_features.def"
    ;

// The register state the compiler's __builtin_cpu_supports also requires of
// an extension: the state that the first variant needing it needs.
unsigned state_for(unsigned feature) {
    for (unsigned v = 0; v < VARIANT_COUNT; ++v)
        if (needs_of(v) & feature)
            return needs_of(v) & STATES;
    return 0;
}

int cross_check() {
    __builtin_cpu_init();
    const unsigned usable = usable_features();
    const struct {
        const char *name;
        unsigned feature;
        bool compiler;
    } checks[] = {
#define ISABENCH_FEATURE(NAME, source, mask, compiler, ...) \
    {compiler, FEATURE_##NAME, __builtin_cpu_supports(compiler) != 0},
#include "../src/harness/cpu_features.def"
    };
    int failures = 0;
    for (const auto &c : checks) {
        const unsigned state = state_for(c.feature);
        const bool ours = (usable & c.feature) && (usable & state) == state;
        std::printf("%-9s ours %d, compiler %d%s\n", c.name, ours, c.compiler, ours == c.compiler ? "" : "  MISMATCH");
        failures += ours != c.compiler;
    }
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}

// Where cpu_features.def says each extension is reported, for building
// register values from it.
enum Source { LEAF1_ECX, LEAF7_EBX };

// Every CPUID extension the table lists.
constexpr unsigned ALL = 0
#define ISABENCH_FEATURE(NAME, ...) | FEATURE_##NAME
#include "../src/harness/cpu_features.def"
    ;

// XCR0 as operating systems set it: x87, SSE and AVX state; and with the
// opmask registers, the upper ZMM halves and ZMM16 to ZMM31.
constexpr uint64_t XCR0_YMM = 0x7;
constexpr uint64_t XCR0_ZMM = 0xE7;

// Register values of a processor that reports `features` (CPUID bits as
// cpu_features.def places them) and OSXSAVE where `osxsave`, with XCR0 and
// the highest basic leaf as given.
CpuRegisters offering(unsigned features, uint32_t max_leaf = 0xd, uint64_t xcr0 = XCR0_ZMM, bool osxsave = true) {
    CpuRegisters registers{};
    registers.max_leaf = max_leaf;
    registers.xcr0 = xcr0;
    registers.leaf1_ecx = osxsave ? bit_OSXSAVE : 0;
#define ISABENCH_FEATURE(NAME, source, mask, ...) \
    if (features & FEATURE_##NAME)                 \
        (source == LEAF1_ECX ? registers.leaf1_ecx : registers.leaf7_ebx) |= mask;
#include "../src/harness/cpu_features.def"
    return registers;
}

// The table's CPUID bits against the compiler's own names for them in
// <cpuid.h>, which the processor manuals' numbering reaches this test by
// rather than through the code under test.
int masks() {
    const struct {
        unsigned feature;
        uint32_t leaf1_ecx, leaf7_ebx;
    } bits[] = {
        {FEATURE_SSE3, bit_SSE3, 0},       {FEATURE_SSSE3, bit_SSSE3, 0},       {FEATURE_SSE41, bit_SSE4_1, 0},
        {FEATURE_SSE42, bit_SSE4_2, 0},    {FEATURE_AVX, bit_AVX, 0},           {FEATURE_AVX2, 0, bit_AVX2},
        {FEATURE_AVX512F, 0, bit_AVX512F}, {FEATURE_AVX512DQ, 0, bit_AVX512DQ}, {FEATURE_AVX512VL, 0, bit_AVX512VL},
    };
    int failures = 0;
    unsigned covered = 0;
    for (const auto &b : bits) {
        const CpuRegisters got = offering(b.feature, 0xd, 0, false);
        const bool right = got.leaf1_ecx == b.leaf1_ecx && got.leaf7_ebx == b.leaf7_ebx;
        char name[64];
        describe_features(b.feature, name, sizeof name);
        if (!right)
            std::printf("%-36s leaf 1 ECX %08X, leaf 7 EBX %08X; cpuid.h: %08X, %08X\n", name, got.leaf1_ecx,
                        got.leaf7_ebx, b.leaf1_ecx, b.leaf7_ebx);
        failures += !right;
        covered |= b.feature;
    }
    if (covered != ALL) {
        std::printf("cpu_features.def lists extensions this check has no cpuid.h bit for: %X\n", ALL & ~covered);
        ++failures;
    }
    // The leaf 7 EDX bits a model range asks for: AMX-TILE, which GCC's and
    // Clang's <cpuid.h> spell apart.
#ifdef bit_AMX_TILE
    constexpr uint32_t AMX_TILE = bit_AMX_TILE;
#else
    constexpr uint32_t AMX_TILE = bit_AMXTILE;
#endif
    for (const ProcessorModels &m : PROCESSOR_MODELS)
        if (m.leaf7_edx != 0 && m.leaf7_edx != AMX_TILE) {
            std::printf("%-36s models %02Xh to %02Xh ask for leaf 7 EDX %08X, no bit this check has a cpuid.h name "
                        "for (AMX-TILE: %08X)\n",
                        processor_name(m.processor), m.first_model, m.last_model, m.leaf7_edx, AMX_TILE);
            ++failures;
        }
    return failures;
}

// The labels of the variants that run with `usable`, each checked on its own
// as the driver does.
std::string runs(unsigned usable) {
    constexpr const char *LABELS[] = {
#define ISABENCH_VARIANT(NAME, function, tag, label, ...) label,
#include "../src/variants/variants.def"
    };
    std::string labels;
    for (unsigned v = 0; v < VARIANT_COUNT; ++v)
        if ((usable & needs_of(v)) == needs_of(v))
            labels += (labels.empty() ? "" : " ") + std::string(LABELS[v]);
    return labels;
}

// The family and the model that CPUID leaf 1 EAX gives, as processors report
// it (stepping, model, family, extended model, extended family), written out
// from the manuals.
int signatures() {
    const struct {
        const char *name;
        uint32_t eax;
        unsigned family, model;
    } cases[] = {
        {"EPYC 7003", 0x00A00F11, 0x19, 0x01},       {"Ryzen 5000", 0x00A20F10, 0x19, 0x21},
        {"EPYC 9004", 0x00A10F11, 0x19, 0x11},       {"Ryzen 7000", 0x00A60F12, 0x19, 0x61},
        {"EPYC 9005", 0x00B00F21, 0x1A, 0x02},       {"Ryzen 9000", 0x00B40F40, 0x1A, 0x44},
        {"EPYC 7002", 0x00830F10, 0x17, 0x31},       {"Hygon Dhyana", 0x00900F02, 0x18, 0x00},
        {"Xeon 4th generation", 0x000806F8, 6, 0x8F}, {"Xeon 5th generation", 0x000C06F2, 6, 0xCF},
        {"Xeon Skylake-SP", 0x00050654, 6, 0x55},    {"Pentium 4 Northwood", 0x00000F29, 0xF, 0x2},
    };
    int failures = 0;
    for (const auto &c : cases) {
        CpuRegisters registers{};
        registers.leaf1_eax = c.eax;
        const unsigned family = cpu_family(registers), model = cpu_model(registers);
        const bool right = family == c.family && model == c.model;
        if (!right)
            std::printf("%-36s family %02Xh model %02Xh, expected %02Xh %02Xh\n", c.name, family, model, c.family,
                        c.model);
        failures += !right;
    }
    return failures;
}

// Leaf 1 EAX for `family` and `model`, encoded as the manuals say (the
// inverse of what signatures() checks).
uint32_t signature(unsigned family, unsigned model) {
    const unsigned base = family >= 0xF ? 0xF : family;
    return (family - base) << 20 | (model >> 4) << 16 | base << 8 | (model & 0xF) << 4;
}

// Whether a range of one of `processors` (Processor bits) covers `vendor`,
// `family` and `model`, with `leaf7_edx` in CPUID leaf 7 EDX.
constexpr unsigned ANY_PROCESSOR = ~0u;
bool covers(unsigned processors, const char *vendor, unsigned family, unsigned model, uint32_t leaf7_edx) {
    for (const ProcessorModels &m : PROCESSOR_MODELS)
        if ((processors >> m.processor & 1) && std::strcmp(m.vendor, vendor) == 0 && m.family == family &&
            model >= m.first_model && model <= m.last_model && (leaf7_edx & m.leaf7_edx) == m.leaf7_edx)
            return true;
    return false;
}

// Which processor's loops register values select: each range's first and
// last model, with the leaf 7 EDX bits the range asks for, select its
// processor, and the models just outside it none of its processor's where no
// other range of that processor's covers them; the same values from another
// vendor select the default loops. A range that asks for leaf 7 EDX bits
// selects the default loops without them (every other bit set), and with
// them where the highest basic leaf is below 7 and leaf 7 does not exist,
// unless another range covers those values.
int identities() {
    int failures = 0;
    const auto identify = [](const char *vendor, unsigned family, unsigned model, uint32_t leaf7_edx,
                             uint32_t max_leaf = 0xd) {
        CpuRegisters registers = offering(ALL, max_leaf);
        std::snprintf(registers.vendor, sizeof registers.vendor, "%s", vendor);
        registers.leaf1_eax = signature(family, model);
        registers.leaf7_edx = leaf7_edx;
        return identify_processor(registers);
    };
    for (const ProcessorModels &m : PROCESSOR_MODELS) {
        const unsigned own = 1u << m.processor;
        const uint32_t edx = m.leaf7_edx;
        for (const unsigned model : {m.first_model, m.last_model})
            failures += identify(m.vendor, m.family, model, edx) != m.processor;
        if (m.first_model > 0 && !covers(own, m.vendor, m.family, m.first_model - 1, edx))
            failures += identify(m.vendor, m.family, m.first_model - 1, edx) == m.processor;
        if (!covers(own, m.vendor, m.family, m.last_model + 1, edx))
            failures += identify(m.vendor, m.family, m.last_model + 1, edx) == m.processor;
        failures += identify("AnotherVendo", m.family, m.first_model, edx) != PROCESSOR_DEFAULT;
        std::printf("%-36s family %02Xh models %02Xh to %02Xh, leaf 7 EDX %08X: %s\n", processor_name(m.processor),
                    m.family, m.first_model, m.last_model, edx,
                    processor_name(identify(m.vendor, m.family, m.first_model, edx)));
        if (edx == 0)
            continue;
        for (const unsigned model : {m.first_model, m.last_model}) {
            if (!covers(ANY_PROCESSOR, m.vendor, m.family, model, ~edx))
                failures += identify(m.vendor, m.family, model, ~edx) != PROCESSOR_DEFAULT;
            if (!covers(ANY_PROCESSOR, m.vendor, m.family, model, 0))
                failures += identify(m.vendor, m.family, model, edx, 6) != PROCESSOR_DEFAULT;
        }
        std::printf("%-36s without those bits: %s; with them, highest basic leaf 6: %s\n", "",
                    processor_name(identify(m.vendor, m.family, m.first_model, ~edx)),
                    processor_name(identify(m.vendor, m.family, m.first_model, edx, 6)));
    }
    return failures;
}

// Every extension and register state the tables list; the extensions
// reported in CPUID leaf 7.
constexpr unsigned EVERYTHING = ALL | STATES;
constexpr unsigned LEAF7 = 0
#define ISABENCH_FEATURE(NAME, source, ...) | (source == LEAF7_EBX ? FEATURE_##NAME : 0u)
#include "../src/harness/cpu_features.def"
    ;

// Each case's register values and what they make usable, extension by
// extension: the lines that run follow from the tables.
int decisions() {
    struct Case {
        const char *name;
        CpuRegisters registers;
        unsigned usable;
    } cases[] = {
        {"every extension", offering(ALL), EVERYTHING},
        {"AVX-512F without DQ", offering(ALL & ~FEATURE_AVX512DQ), EVERYTHING & ~FEATURE_AVX512DQ},
        {"AVX-512F without VL", offering(ALL & ~FEATURE_AVX512VL), EVERYTHING & ~FEATURE_AVX512VL},
        // Hardware with AVX-512 whose operating system saves only the YMM state.
        {"XCR0 without opmask and ZMM state", offering(ALL, 0xd, XCR0_YMM), EVERYTHING & ~FEATURE_OS_ZMM},
        {"XCR0 without the high ZMM registers", offering(ALL, 0xd, 0x67), EVERYTHING & ~FEATURE_OS_ZMM},
        // Above the highest leaf a processor may answer with another leaf's
        // data: whatever stands in leaf 7 must count for nothing.
        {"highest basic leaf 6", offering(ALL, 6), EVERYTHING & ~LEAF7},
        {"highest basic leaf 0", offering(ALL, 0), 0},
        {"AVX2 reported without AVX", offering(ALL & ~FEATURE_AVX), EVERYTHING & ~FEATURE_AVX},
        // The operating system has not enabled XSAVE: XCR0 holds nothing
        // meaningful, even if a value was recorded.
        {"OSXSAVE clear while AVX is set", offering(ALL, 0xd, XCR0_ZMM, false), ALL},
        {"XCR0 without the AVX state", offering(ALL, 0xd, 0x3), ALL},
        {"SSE4.2 without SSSE3", offering(ALL & ~FEATURE_SSSE3), EVERYTHING & ~FEATURE_SSSE3},
    };
    int failures = 0;
    for (const Case &c : cases) {
        const unsigned got = usable_features(c.registers);
        const bool right = got == c.usable;
        std::printf("%-36s runs %s%s%s\n", c.name, runs(got).c_str(), right ? "" : ", expected ",
                    right ? "" : runs(c.usable).c_str());
        failures += !right;
    }
    failures += signatures();
    failures += identities();
    failures += masks();
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "decisions") == 0)
        return decisions();
    return cross_check();
}
