/* A scripted wall clock for the Windows build (see fake_clock_script.h).
 * Windows has no preloading, so a test executable links this gettimeofday in
 * place of the runtime's, next to the very same harness and variant objects
 * as the real executable; it reaches `tmin` by name. */
#include <sys/time.h>

#include "fake_clock_script.h"

extern double tmin;

int gettimeofday(struct timeval *tv, void *tz) {
    (void)tz;
    if (count == 0)
        load_script();
    const uint64_t reading = next_reading(&tmin);
    tv->tv_sec = (long)(reading / 1000000u);
    tv->tv_usec = (long)(reading % 1000000u);
    return 0;
}
