// The results-line formats, one per measuring function, in the driver's order.
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

// Written out in full: the tags and labels are fixed text.
#define FORMAT_SCALAR " 0) s=" ISABENCH_HEX64 " t=%.6lf // N=%.0lf iterations of arithmetics; scalar\n"
#define FORMAT_SSE2 " 1) s=" ISABENCH_HEX64 " t=%.6lf // N=%.0lf iterations of arithmetics; SSE2\n"
#define FORMAT_SSE42 "1a) s=" ISABENCH_HEX64 " t=%.6lf // N=%.0lf iterations of arithmetics; SSE4.2\n"
#define FORMAT_AVX "1b) s=" ISABENCH_HEX64 " t=%.6lf // N=%.0lf iterations of arithmetics; AVX\n"
#define FORMAT_AVX2 " 2) s=" ISABENCH_HEX64 " t=%.6lf // N=%.0lf iterations of arithmetics; AVX2\n"
#define FORMAT_AVX512 " 3) s=" ISABENCH_HEX64 " t=%.6lf // N=%.0lf iterations of arithmetics; AVX512\n"
