/* A scripted wall clock, preloaded into the real benchmark to drive its
 * measuring frame with known readings.
 *
 *   FAKE_CLOCK_US       comma-separated readings, microseconds since 1970;
 *                       call n of gettimeofday returns entry n mod count, so a
 *                       20-entry script gives every variant the same ten runs.
 *   FAKE_CLOCK_LOG      file that receives the number of calls at exit.
 *   FAKE_CLOCK_TMIN     offset of the program's `tmin` from its load address
 *   FAKE_CLOCK_NEGZERO  1-based call (within the script) at which -0.0 is
 *                       stored into `tmin`, just before the frame compares;
 *                       an equal +0.0 elapsed time must then leave it alone,
 *                       and the sign shows in the printed line.
 */
#define _GNU_SOURCE
#include <link.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

static uint64_t readings[256];
static size_t count;
static uint64_t calls;
static long negzero_at;
static double *tmin_address;

static int main_program_base(struct dl_phdr_info *info, size_t size, void *data) {
    (void)size;
    *(uintptr_t *)data = info->dlpi_addr; /* the first object is the program */
    return 1;
}

static void report(void) {
    const char *log = getenv("FAKE_CLOCK_LOG");
    FILE *f = log ? fopen(log, "w") : NULL;
    if (f) {
        fprintf(f, "%llu\n", (unsigned long long)calls);
        fclose(f);
    }
}

__attribute__((constructor)) static void load_script(void) {
    const char *script = getenv("FAKE_CLOCK_US");
    if (!script || !*script) {
        fprintf(stderr, "fake_clock: FAKE_CLOCK_US is not set\n");
        exit(90);
    }
    for (const char *p = script; *p;) {
        char *end;
        const unsigned long long value = strtoull(p, &end, 10);
        if (end == p || count == sizeof readings / sizeof readings[0]) {
            fprintf(stderr, "fake_clock: bad FAKE_CLOCK_US near \"%s\"\n", p);
            exit(90);
        }
        readings[count++] = value;
        p = (*end == ',') ? end + 1 : end;
    }
    const char *neg = getenv("FAKE_CLOCK_NEGZERO");
    const char *offset = getenv("FAKE_CLOCK_TMIN");
    if (neg && offset) {
        uintptr_t base = 0;
        dl_iterate_phdr(main_program_base, &base);
        negzero_at = strtol(neg, NULL, 10);
        tmin_address = (double *)(base + strtoull(offset, NULL, 16));
    }
    atexit(report);
}

int gettimeofday(struct timeval *tv, void *tz) {
    (void)tz;
    const size_t n = (size_t)(calls % count);
    calls++;
    if (tmin_address && (long)n + 1 == negzero_at)
        *tmin_address = -0.0;
    tv->tv_sec = (time_t)(readings[n] / 1000000u);
    tv->tv_usec = (suseconds_t)(readings[n] % 1000000u);
    return 0;
}
