// The results-line formats, one per measuring function.
#pragma once

#include <cinttypes>

// Upper-case hexadecimal of an unsigned 64-bit value. The Windows runtime
// spells it %I64X; glibc has no I64 modifier, so elsewhere the platform's own
// conversion for uint64_t produces the same text.
#if defined(_WIN32)
#define ISABENCH_HEX64 "%I64X"
#else
#define ISABENCH_HEX64 "%" PRIX64
#endif

// One line's format: the tag and the label are pasted into the pattern as
// they stand, so that each format is one literal string, as printf sees it.
#define ISABENCH_FORMAT(tag, label) tag ") s=" ISABENCH_HEX64 " t=%.6lf // N=%.0lf iterations of arithmetics; " label "\n"

// FORMAT_SCALAR, FORMAT_SSE2, ...: each variant's format.
#define ISABENCH_VARIANT(NAME, function, tag, label, ...) constexpr char FORMAT_##NAME[] = ISABENCH_FORMAT(tag, label);
#include "../variants/variants.def"
