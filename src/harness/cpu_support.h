// Which instruction-set extensions the running processor offers and the
// operating system has enabled, for deciding which variants can run.
#pragma once

#include <cstddef>
#include <cstdint>

// One bit per extension a variant's build may use beyond the x86-64 baseline,
// and one per register state the operating system must save for them:
// FEATURE_SSE3, ..., FEATURE_OS_ZMM, in the order of cpu_features.def.
enum IsaFeatureIndex : unsigned {
#define ISABENCH_FEATURE(NAME, ...) FEATURE_INDEX_##NAME,
#define ISABENCH_STATE(NAME, ...) FEATURE_INDEX_##NAME,
#include "cpu_features.def"
};
enum IsaFeature : unsigned {
#define ISABENCH_FEATURE(NAME, ...) FEATURE_##NAME = 1u << FEATURE_INDEX_##NAME,
#define ISABENCH_STATE(NAME, ...) FEATURE_##NAME = 1u << FEATURE_INDEX_##NAME,
#include "cpu_features.def"
};

// The processors whose loops run in forms of their own, after
// PROCESSOR_DEFAULT, which stands for every other one: PROCESSOR_ZEN3, ...
enum Processor : unsigned {
    PROCESSOR_DEFAULT,
#define ISABENCH_PROCESSOR(NAME, ...) PROCESSOR_##NAME,
#include "cpu_features.def"
    PROCESSOR_COUNT
};
// The ranges of models by which CPUID names each processor: its vendor
// string, the family and the model as the processor manuals combine them
// (base plus extended), and the CPUID leaf 7 EDX bits it must report as
// well (0: none).
struct ProcessorModels {
    Processor processor;
    const char *vendor;
    unsigned family, first_model, last_model;
    uint32_t leaf7_edx;
};
constexpr ProcessorModels PROCESSOR_MODELS[] = {
#define ISABENCH_MODELS(NAME, vendor, family, first, last, leaf7_edx) \
    {PROCESSOR_##NAME, vendor, family, first, last, leaf7_edx},
#include "cpu_features.def"
};

// Masks of processors, as variants.def names the ones each loop is for.
constexpr unsigned ON_DEFAULT = 1u << PROCESSOR_DEFAULT;
#define ISABENCH_PROCESSOR(NAME, ...) constexpr unsigned ON_##NAME = 1u << PROCESSOR_##NAME;
#include "cpu_features.def"

// The raw register values detection rests on. Reading them and deciding
// from them are kept apart, so that the decision can be tried on values no
// processor at hand reports.
struct CpuRegisters {
    uint32_t max_leaf;   // CPUID leaf 0, EAX: the highest basic leaf
    uint32_t leaf1_ecx;  // CPUID leaf 1, ECX
    uint32_t leaf7_ebx;  // CPUID leaf 7 subleaf 0, EBX; meaningless where max_leaf < 7
    uint32_t leaf7_edx;  // CPUID leaf 7 subleaf 0, EDX; meaningless where max_leaf < 7
    uint64_t xcr0;       // XGETBV(0); meaningless where leaf1_ecx lacks OSXSAVE
    char vendor[13];     // CPUID leaf 0, EBX EDX ECX: "AuthenticAMD", "GenuineIntel"
    uint32_t leaf1_eax;  // CPUID leaf 1, EAX: family, model and stepping
};

// The family and the model as the processor manuals combine them: the
// extended family is added where the base family is 15, the extended model
// prepended where it is 6 or 15.
unsigned cpu_family(const CpuRegisters &registers);
unsigned cpu_model(const CpuRegisters &registers);

// The processor whose loop forms these register values select.
Processor identify_processor(const CpuRegisters &registers);

// Its name, for reports: "AMD Zen 4", or "other processors" for the default.
const char *processor_name(Processor processor);

// The LLVM -mcpu name of its core ("znver4"), whose port model llvm-mca
// reads loops with; nullptr for the default, which stands for no one core.
const char *processor_mcpu(Processor processor);

// Reads CPUID, and XGETBV only where the processor says the operating system
// has enabled it. Leaves what it may not read at zero.
CpuRegisters read_cpu_registers();

// The features usable with these register values, as a mask of IsaFeature
// bits. Ignores the fields that the values themselves mark as meaningless.
unsigned usable_features(const CpuRegisters &registers);

// The features usable on this processor under this operating system.
unsigned usable_features();

// Writes a readable list of the features in `mask` into `text`.
void describe_features(unsigned mask, char *text, std::size_t size);
