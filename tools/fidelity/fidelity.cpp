// isabench-fidelity: times each line of the real isabench against a
// hand-written loop of the same shape (references.S), in the same session,
// and reports both in seconds and in core cycles per iteration. A ratio near
// 1 says the build runs its loop as fast as the shape allows on this
// processor; well above 1, the build is slower than its own shape (a loop
// placed across a line or a fetch block, a stray instruction, a changed
// encoding), and the line misreports what the processor can do.
//
// usage: isabench-fidelity [--isabench PATH] [--rounds N] [--json]
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "../../src/harness/cpu_support.h"

extern "C" {
uint64_t reference_scalar();
uint64_t reference_sse2();
uint64_t reference_sse42();
uint64_t reference_avx();
uint64_t reference_avx2();
uint64_t reference_avx512();
uint64_t clock_chain(uint64_t rounds);
}

namespace {

constexpr uint64_t SUM = 0xD1F0AD400;
constexpr double ELEMENTS = 1e9;
constexpr int REPEATS = 10;
constexpr uint64_t CHAIN_ROUNDS = 1000000;  // x 100 additions: 1e8 cycles
constexpr double CHAIN_CYCLES = 100.0 * CHAIN_ROUNDS;

struct Variant {
    const char *label;
    unsigned needs;
    int lanes;
    uint64_t (*reference)();
    // Filled in by the measurement.
    bool runs = false;
    double isabench = HUGE_VAL;   // best seconds over all rounds
    double reference_best = HUGE_VAL;
    double clock_hz = 0;          // the fastest clock seen next to this variant
};

Variant variants[] = {
    {"scalar", 0, 1, reference_scalar},
    {"SSE2", 0, 2, reference_sse2},
    {"SSE4.2", NEEDS_SSE42, 2, reference_sse42},
    {"AVX", NEEDS_AVX, 2, reference_avx},
    {"AVX2", NEEDS_AVX2, 4, reference_avx2},
    {"AVX512", NEEDS_AVX512, 8, reference_avx512},
};

[[noreturn]] void fail(const char *format, const char *detail) {
    std::fprintf(stderr, "isabench-fidelity: ");
    std::fprintf(stderr, format, detail);
    std::fputc('\n', stderr);
    std::exit(1);
}

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Best of ten, as isabench times its own loops.
double best_reference(const Variant &v) {
    double best = HUGE_VAL;
    for (int r = 0; r < REPEATS; ++r) {
        const double start = now();
        const uint64_t sum = v.reference();
        const double elapsed = now() - start;
        if (sum != SUM)
            fail("the %s reference loop computed a wrong sum", v.label);
        if (elapsed < best)
            best = elapsed;
    }
    return best;
}

// The core clock from a dependency chain of known length; best of five, so
// that a preempted run does not count.
double measure_clock() {
    double best = HUGE_VAL;
    for (int r = 0; r < 5; ++r) {
        const double start = now();
        clock_chain(CHAIN_ROUNDS);
        const double elapsed = now() - start;
        if (elapsed < best)
            best = elapsed;
    }
    return CHAIN_CYCLES / best;
}

// Runs isabench once and keeps each line's time where it beats the rounds
// before. Every variant this processor can run must print the right sum.
void run_isabench(const std::string &path) {
    // Started without a shell, so that no character of the path means more
    // than itself; its skip messages on standard error pass through.
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        fail("cannot make a pipe: %s", std::strerror(errno));
    const pid_t child = fork();
    if (child < 0)
        fail("cannot start isabench: %s", std::strerror(errno));
    if (child == 0) {
        dup2(pipe_ends[1], STDOUT_FILENO);
        close(pipe_ends[0]);
        close(pipe_ends[1]);
        execl(path.c_str(), path.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(pipe_ends[1]);
    FILE *out = fdopen(pipe_ends[0], "r");
    if (!out)
        fail("cannot read isabench's output: %s", std::strerror(errno));
    bool seen[sizeof variants / sizeof variants[0]] = {};
    char line[256];
    while (std::fgets(line, sizeof line, out)) {
        line[std::strcspn(line, "\n")] = '\0';
        char tag[4], label[32];
        uint64_t s;
        double t;
        if (std::sscanf(line, "%3[ 0-9a-z]) s=%" SCNx64 " t=%lf // N=1000000000 iterations of arithmetics; %31s",
                        tag, &s, &t, label) != 4)
            fail("cannot read this line of isabench's output: %s", line);
        Variant *v = nullptr;
        for (Variant &candidate : variants)
            if (std::strcmp(candidate.label, label) == 0)
                v = &candidate;
        if (!v)
            fail("isabench printed a line for an unknown variant: %s", line);
        if (s != SUM)
            fail("isabench printed a wrong sum: %s", line);
        seen[v - variants] = true;
        if (t < v->isabench)
            v->isabench = t;
    }
    std::fclose(out);
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("%s did not run to the end with status 0", path.c_str());
    for (const Variant &v : variants)
        if (v.runs && !seen[&v - variants])
            fail("isabench printed no line for %s, which this processor runs", v.label);
}

std::string default_isabench() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "isabench";
    self[n] = '\0';
    std::string path(self);
    return path.substr(0, path.rfind('/') + 1) + "isabench";
}

double cycles_per_iteration(const Variant &v, double seconds) {
    return seconds * v.clock_hz / (ELEMENTS / v.lanes);
}

}  // namespace

int main(int argc, char **argv) {
    std::string isabench = default_isabench();
    int rounds = 3;
    bool json = false;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--isabench") == 0 && k + 1 < argc) {
            isabench = argv[++k];
        } else if (std::strcmp(argv[k], "--rounds") == 0 && k + 1 < argc) {
            rounds = std::atoi(argv[++k]);
            if (rounds < 1)
                fail("--rounds needs a positive count, not %s", argv[k]);
        } else if (std::strcmp(argv[k], "--json") == 0) {
            json = true;
        } else {
            fail("unknown argument %s; usage: isabench-fidelity [--isabench PATH] [--rounds N] [--json]", argv[k]);
        }
    }
    if (access(isabench.c_str(), X_OK) != 0)
        fail("cannot run %s", isabench.c_str());

    const unsigned usable = usable_features();
    for (Variant &v : variants)
        v.runs = (usable & v.needs) == v.needs;

    // Alternate the program and the references, so that a slow spell of a
    // shared machine falls on both alike; keep each one's best.
    for (int r = 0; r < rounds; ++r) {
        run_isabench(isabench);
        for (Variant &v : variants) {
            if (!v.runs)
                continue;
            // Kept to the microsecond, as isabench prints its times, so that
            // each ratio is exactly the quotient of the two times shown.
            const double reference = std::round(best_reference(v) * 1e6) * 1e-6;
            if (reference < v.reference_best)
                v.reference_best = reference;
            // Next to the variant's own code: a processor may lower its
            // clock while it runs wide vector code.
            const double hz = measure_clock();
            if (hz > v.clock_hz)
                v.clock_hz = hz;
        }
    }

    double clock_hz = 0;
    for (const Variant &v : variants)
        if (v.runs && v.clock_hz > clock_hz)
            clock_hz = v.clock_hz;

    if (json) {
        std::printf("{\"clock_ghz\": %.3f, \"variants\": [", clock_hz * 1e-9);
        const char *separator = "";
        for (const Variant &v : variants) {
            if (!v.runs)
                continue;
            std::printf("%s\n  {\"label\": \"%s\", \"isabench_seconds\": %.6f, \"reference_seconds\": %.6f, "
                        "\"ratio\": %.17g, \"isabench_cycles_per_iteration\": %.3f, "
                        "\"reference_cycles_per_iteration\": %.3f, \"clock_ghz\": %.3f}",
                        separator, v.label, v.isabench, v.reference_best, v.isabench / v.reference_best,
                        cycles_per_iteration(v, v.isabench), cycles_per_iteration(v, v.reference_best),
                        v.clock_hz * 1e-9);
            separator = ",";
        }
        std::printf("\n]}\n");
        return 0;
    }

    std::printf("core clock %.2f GHz (dependent 64-bit additions), best of %d round%s\n\n", clock_hz * 1e-9, rounds,
                rounds == 1 ? "" : "s");
    std::printf("%-8s %11s %11s %7s %14s %14s %6s\n", "variant", "isabench s", "reference s", "ratio",
                "isabench c/it", "reference c/it", "floor");
    for (const Variant &v : variants) {
        if (!v.runs) {
            std::printf("%-8s not run: this processor or operating system lacks it\n", v.label);
            continue;
        }
        std::printf("%-8s %11.6f %11.6f %7.3f %14.2f %14.2f %6.2f\n", v.label, v.isabench, v.reference_best,
                    v.isabench / v.reference_best, cycles_per_iteration(v, v.isabench),
                    cycles_per_iteration(v, v.reference_best), 1.0);
    }
    return 0;
}
