// The benchmark's one time source: the wall clock in 100-ns ticks since 1970.
#pragma once

#include <cstdint>

extern "C" uint64_t read_ticks();
