// The six measuring functions, in the order the driver calls them.
#pragma once

extern "C" {
void bench_scalar();
void bench_sse2();
void bench_sse42();
void bench_avx();
void bench_avx2();
void bench_avx512();
}

// Every measuring function starts on a 4096-byte boundary of its own, so no
// two of them (nor the clock) share a page or a fetch window.
#define ISABENCH_PAGE_ALIGNED __attribute__((aligned(4096)))
