// Extension detection with CPUID and XGETBV, built for the x86-64 baseline so
// that it runs on any x86-64 processor. A processor may report AVX or AVX-512
// while the operating system does not save the wider registers (a hypervisor
// or a kernel setting can disable them); executing such code would then
// fault, so both must agree before a variant runs.
#include "cpu_support.h"

#include <cpuid.h>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// CPUID leaf 1 ECX: the operating system has enabled XGETBV and saves the
// state that XCR0 names.
constexpr uint32_t LEAF1_ECX_OSXSAVE = 1u << 27;

enum Source { LEAF1_ECX, LEAF7_EBX, XCR0 };

struct Feature {
    unsigned bit;
    Source source;
    uint64_t mask;
    const char *name;
};

constexpr Feature FEATURES[] = {
#define ISABENCH_FEATURE(NAME, source, mask, compiler, decoder, cpuinfo, text) {FEATURE_##NAME, source, mask, text},
#define ISABENCH_STATE(NAME, mask, text) {FEATURE_##NAME, XCR0, mask, text},
#include "cpu_features.def"
};

constexpr const char *PROCESSOR_NAMES[] = {
    "other processors",
#define ISABENCH_PROCESSOR(NAME, text, mcpu) text,
#include "cpu_features.def"
};

constexpr const char *PROCESSOR_MCPUS[] = {
    nullptr,
#define ISABENCH_PROCESSOR(NAME, text, mcpu) mcpu,
#include "cpu_features.def"
};

uint64_t read_xcr0() {
    uint32_t low, high;
    // XGETBV is only executed after OSXSAVE says it exists.
    asm volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<uint64_t>(high) << 32) | low;
}

}  // namespace

CpuRegisters read_cpu_registers() {
    CpuRegisters registers{};
    unsigned a, b, c, d;
    registers.max_leaf = __get_cpuid_max(0, nullptr);
    if (registers.max_leaf < 1)
        return registers;
    __cpuid(0, a, b, c, d);
    std::memcpy(registers.vendor, &b, 4);
    std::memcpy(registers.vendor + 4, &d, 4);
    std::memcpy(registers.vendor + 8, &c, 4);
    __cpuid(1, a, b, c, d);
    registers.leaf1_eax = a;
    registers.leaf1_ecx = c;
    // Leaf 7 exists only where the highest basic leaf reaches it: above it,
    // some processors answer with the highest leaf's data instead.
    if (registers.max_leaf >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        registers.leaf7_ebx = b;
        registers.leaf7_edx = d;
    }
    if (registers.leaf1_ecx & LEAF1_ECX_OSXSAVE)
        registers.xcr0 = read_xcr0();
    return registers;
}

unsigned usable_features(const CpuRegisters &registers) {
    if (registers.max_leaf < 1)
        return 0;
    unsigned features = 0;
    for (const Feature &feature : FEATURES) {
        uint64_t value = 0;
        switch (feature.source) {
        case LEAF1_ECX: value = registers.leaf1_ecx; break;
        // Leaf 7 exists only where the highest basic leaf reaches it.
        case LEAF7_EBX: value = registers.max_leaf >= 7 ? registers.leaf7_ebx : 0; break;
        // Without OSXSAVE the operating system saves no state beyond SSE,
        // and XCR0 cannot even be read.
        case XCR0: value = registers.leaf1_ecx & LEAF1_ECX_OSXSAVE ? registers.xcr0 : 0; break;
        }
        if ((value & feature.mask) == feature.mask)
            features |= feature.bit;
    }
    return features;
}

unsigned cpu_family(const CpuRegisters &registers) {
    const unsigned base = registers.leaf1_eax >> 8 & 0xF;
    return base == 0xF ? base + (registers.leaf1_eax >> 20 & 0xFF) : base;
}

unsigned cpu_model(const CpuRegisters &registers) {
    const unsigned base = registers.leaf1_eax >> 4 & 0xF;
    const unsigned family = registers.leaf1_eax >> 8 & 0xF;
    return family == 0x6 || family == 0xF ? (registers.leaf1_eax >> 16 & 0xF) << 4 | base : base;
}

Processor identify_processor(const CpuRegisters &registers) {
    const unsigned family = cpu_family(registers), model = cpu_model(registers);
    // Leaf 7 exists only where the highest basic leaf reaches it.
    const uint32_t leaf7_edx = registers.max_leaf >= 7 ? registers.leaf7_edx : 0;
    for (const ProcessorModels &models : PROCESSOR_MODELS)
        if (std::strncmp(registers.vendor, models.vendor, 12) == 0 && family == models.family &&
            model >= models.first_model && model <= models.last_model &&
            (leaf7_edx & models.leaf7_edx) == models.leaf7_edx)
            return models.processor;
    return PROCESSOR_DEFAULT;
}

const char *processor_name(Processor processor) {
    return processor < PROCESSOR_COUNT ? PROCESSOR_NAMES[processor] : "?";
}

const char *processor_mcpu(Processor processor) {
    return processor < PROCESSOR_COUNT ? PROCESSOR_MCPUS[processor] : nullptr;
}

unsigned usable_features() { return usable_features(read_cpu_registers()); }

void describe_features(unsigned mask, char *text, std::size_t size) {
    if (size == 0)
        return;
    text[0] = '\0';
    std::size_t used = 0;
    for (const Feature &feature : FEATURES) {
        if (!(mask & feature.bit))
            continue;
        const int n = std::snprintf(text + used, size - used, "%s%s", used ? ", " : "", feature.name);
        if (n < 0 || static_cast<std::size_t>(n) >= size - used)
            return;
        used += static_cast<std::size_t>(n);
    }
}
