// Which instruction-set extensions the running processor offers and the
// operating system has enabled, for deciding which variants can run.
#pragma once

#include <cstddef>

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

// The features usable here, as a mask of IsaFeature bits.
unsigned usable_features();

// Writes a readable list of the features in `mask` into `text`.
void describe_features(unsigned mask, char *text, std::size_t size);
