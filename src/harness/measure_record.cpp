// Definitions of the shared measurement state; zero at process start.
#include "measure_record.h"

extern "C" {
double tmin;
double t;
uint64_t s;
uint64_t i;
uint64_t N;
}
