/* The scripted readings shared by the two fake clocks: fake_clock.c, preloaded
 * on Linux, and fake_clock_windows.c, linked in on Windows.
 *
 *   FAKE_CLOCK_US       comma-separated readings, microseconds since 1970;
 *                       call n of gettimeofday returns entry n mod count, so a
 *                       20-entry script gives every variant the same ten runs
 *   FAKE_CLOCK_LOG      file that receives the number of calls at exit
 *   FAKE_CLOCK_NEGZERO  1-based call (within the script) at which -0.0 is
 *                       stored into `tmin`, just before the frame compares;
 *                       an equal +0.0 elapsed time must then leave it alone,
 *                       and the sign shows in the printed line
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

static uint64_t readings[256];
static size_t count;
static uint64_t calls;
static long negzero_at;

static void report(void) {
    const char *log = getenv("FAKE_CLOCK_LOG");
    FILE *f = log ? fopen(log, "w") : NULL;
    if (f) {
        fprintf(f, "%llu\n", (unsigned long long)calls);
        fclose(f);
    }
}

static void load_script(void) {
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
    negzero_at = neg ? strtol(neg, NULL, 10) : 0;
    atexit(report);
}

/* The next reading in microseconds; stores -0.0 through `tmin` first when
 * this is the call the script names. */
static uint64_t next_reading(double *tmin) {
    const size_t n = (size_t)(calls % count);
    calls++;
    if (tmin && (long)n + 1 == negzero_at)
        *tmin = -0.0;
    return readings[n];
}
