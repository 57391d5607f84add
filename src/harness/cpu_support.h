// Which instruction-set extensions the running processor offers and the
// operating system has enabled, for deciding which variants can run.
#pragma once

#include <cstddef>
#include <cstdint>

// One bit per extension a variant's build may use beyond the x86-64 baseline,
// and one per register state the operating system must save for it.
enum IsaFeature : unsigned {
    FEATURE_SSE3 = 1u << 0,
    FEATURE_SSSE3 = 1u << 1,
    FEATURE_SSE41 = 1u << 2,
    FEATURE_SSE42 = 1u << 3,
    FEATURE_AVX = 1u << 4,
    FEATURE_AVX2 = 1u << 5,
    FEATURE_AVX512F = 1u << 6,
    FEATURE_AVX512DQ = 1u << 7,
    FEATURE_AVX512VL = 1u << 8,
    FEATURE_OS_YMM = 1u << 9,   // XCR0: SSE and AVX state
    FEATURE_OS_ZMM = 1u << 10,  // XCR0: opmask and both halves of the ZMM state
};

// What each variant needs beyond the x86-64 baseline; each level needs
// everything the level before it needs.
constexpr unsigned NEEDS_SSE42 = FEATURE_SSE3 | FEATURE_SSSE3 | FEATURE_SSE41 | FEATURE_SSE42;
constexpr unsigned NEEDS_AVX = NEEDS_SSE42 | FEATURE_AVX | FEATURE_OS_YMM;
constexpr unsigned NEEDS_AVX2 = NEEDS_AVX | FEATURE_AVX2;
constexpr unsigned NEEDS_AVX512 =
    NEEDS_AVX2 | FEATURE_AVX512F | FEATURE_AVX512DQ | FEATURE_AVX512VL | FEATURE_OS_ZMM;

// The raw register values detection rests on. Reading them and deciding
// from them are kept apart, so that the decision can be tried on values no
// processor at hand reports.
struct CpuRegisters {
    uint32_t max_leaf;   // CPUID leaf 0, EAX: the highest basic leaf
    uint32_t leaf1_ecx;  // CPUID leaf 1, ECX
    uint32_t leaf7_ebx;  // CPUID leaf 7 subleaf 0, EBX; meaningless where max_leaf < 7
    uint64_t xcr0;       // XGETBV(0); meaningless where leaf1_ecx lacks OSXSAVE
};

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
