/* A scripted wall clock, preloaded into the real benchmark to drive its
 * measuring frame with known readings (see fake_clock_script.h).
 *
 *   FAKE_CLOCK_TMIN     offset of the program's `tmin` from its load address,
 *                       for FAKE_CLOCK_NEGZERO
 */
#define _GNU_SOURCE
#include <link.h>
#include <sys/time.h>

#include "fake_clock_script.h"

static double *tmin_address;

static int main_program_base(struct dl_phdr_info *info, size_t size, void *data) {
    (void)size;
    *(uintptr_t *)data = info->dlpi_addr; /* the first object is the program */
    return 1;
}

__attribute__((constructor)) static void start(void) {
    load_script();
    const char *offset = getenv("FAKE_CLOCK_TMIN");
    if (negzero_at && offset) {
        uintptr_t base = 0;
        dl_iterate_phdr(main_program_base, &base);
        tmin_address = (double *)(base + strtoull(offset, NULL, 16));
    }
}

int gettimeofday(struct timeval *tv, void *tz) {
    (void)tz;
    const uint64_t reading = next_reading(tmin_address);
    tv->tv_sec = (time_t)(reading / 1000000u);
    tv->tv_usec = (suseconds_t)(reading % 1000000u);
    return 0;
}
