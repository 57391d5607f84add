// isabench-fidelity: says whether each line of isabench runs its loop as fast
// as the benchmark's shape allows on this processor. It times the real
// isabench, alternately over rounds, against loops of the same shape built
// here in every form the shape leaves free (forms.h): the line's own form, the
// forms known to be fastest on some processor, and with --search every form
// at every placement. A ratio to the fastest form near 1 says the line shows
// what its width and encoding can do here; well above 1, the build's free
// choices (its counter, its order, where its loop sits) cost speed, and the
// line misreports the processor.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "../../src/harness/cpu_support.h"
#include "../../src/harness/measure_record.h"
#include "forms.h"

extern "C" uint64_t clock_chain(uint64_t rounds);

namespace {

constexpr const char *USAGE =
    "usage: isabench-fidelity [--isabench PATH] [--rounds N] [--search] [--tsv FILE] [--json]\n"
    "       isabench-fidelity --own-forms\n"
    "\n"
    "Times each line of isabench (by default the one beside this tool) against\n"
    "loops of the same shape in the forms the shape leaves free, alternately over\n"
    "N rounds (3 by default), best of ten each, and reports cycles per iteration\n"
    "and each line's ratio to the fastest form.\n"
    "\n"
    "  --search    also try every form at every offset from a 64-byte boundary:\n"
    "              a quick screen of all of them, then the fastest few in full\n"
    "  --tsv FILE  with --search, write the screen's cycles for every form and\n"
    "              offset to FILE\n"
    "  --json      the same figures as JSON\n"
    "  --own-forms print each line's own form, its offset and its loop's bytes in\n"
    "              hexadecimal, as this tool builds it, and time nothing\n"
    "\n"
    "A form reads ORDER COUNTER [POSITION] [COPY] XOR @OFFSET:\n"
    "  ORDER     accfirst/incfirst: the accumulation before/after the step of k\n"
    "            (scalar) or before/after the advance of b (AVX2, AVX-512);\n"
    "            copyfirst: the 128-bit loops' copy of b first\n"
    "  COUNTER   down (sub $1, jne), dec, up (add $1, cmp N, jne), upinc (inc),\n"
    "            elem (add lanes, cmp 1e9), neg (from -N, add $1, jne), neginc;\n"
    "            k-add, k-inc: the scalar k is the counter\n"
    "  POSITION  last: the counter's step after the vector operations; first:\n"
    "            before them (the compare and branch stay last)\n"
    "  COPY, XOR the instructions chosen for the copy and the XOR\n"
    "  @OFFSET   bytes from a 64-byte boundary to the loop's first instruction\n";

constexpr uint64_t SUM = 0xD1F0AD400;
constexpr uint64_t CHAIN_ROUNDS = 1000000;  // x 100 additions: 1e8 cycles
constexpr double CHAIN_CYCLES = 100.0 * CHAIN_ROUNDS;

// The screen: every form at every offset on 1/125 of the elements, once in
// each of three passes over all of them, so that a slow spell of a shared
// machine falls on one pass and not on all runs of a form; then the fastest
// SHORTLIST the same way on 1/25, five passes. The fastest FINALISTS of those
// are timed in full beside isabench.
constexpr uint64_t SCREEN_ELEMENTS = ELEMENTS / 125;
constexpr uint64_t RESCREEN_ELEMENTS = ELEMENTS / 25;
constexpr int SCREEN_PASSES = 3;
constexpr int RESCREEN_PASSES = 5;
constexpr std::size_t SHORTLIST = 24;
constexpr std::size_t FINALISTS = 4;

// Each line of isabench, from the program's own list, with the form its loop
// is built in. The binary audit holds the build to these forms, and a test
// compares the loops this tool builds for them with the build's, byte for
// byte.
struct Line {
    const char *label;
    unsigned needs;
    Family family;
    const char *own_form;
    bool runs = false;
    double isabench = HUGE_VAL;  // best seconds over all rounds
};

Line lines[] = {
#define ISABENCH_VARIANT(NAME, function, tag, label, needs, lanes, family, form) {label, needs, Family::family, form},
#include "../../src/variants/variants.def"
#undef ISABENCH_VARIANT
};

// Forms that were the fastest, or within noise of it, on some processor: the
// quick run compares every line with these too.
struct Known {
    Family family;
    const char *form;
    const char *where;
};

const Known KNOWN_FASTEST[] = {
    {Family::Avx2, "advfirst down last vpxor @0", "AMD Zen 4"},
    {Family::Avx2, "advfirst elem last vpxor @0", "Intel Xeon 6/167"},
    {Family::Avx512, "advfirst up last vpxorq @0", "Intel Xeon 6/167"},
    {Family::Avx512, "accfirst down last vpxorq @36", "AMD Zen 4, Intel Xeon 6/167"},
    {Family::Avx512, "accfirst down last vpxorq @38", "AMD Zen 4"},
};

struct Candidate {
    Form form;
    std::string name;
    std::string origin;  // "own form", "fastest on PROCESSOR", "search"
    std::unique_ptr<BuiltLoop> loop;
    double best = HUGE_VAL;  // best seconds over all rounds, to the microsecond
};

struct FamilyRun {
    Family family = Family::Scalar;
    const char *label = nullptr;  // of the first line built from it
    bool runs = false;
    std::vector<Candidate> candidates;
    double clock_hz = 0;  // the fastest clock seen next to this family's loops
    bool clock_confirmed = false;
    double search_seconds = 0;
    std::size_t screened = 0;
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

// The sum of k XOR (k + 2) over the first `elements` values of k.
uint64_t expected_sum(uint64_t elements) {
    static std::map<uint64_t, uint64_t> known = {{ELEMENTS, SUM}};
    auto found = known.find(elements);
    if (found != known.end())
        return found->second;
    uint64_t sum = 0;
    for (uint64_t k = 0; k < elements; ++k)
        sum += k ^ (k + 2);
    return known[elements] = sum;
}

// Best of `repeats` runs; every run must compute the right sum.
double best_of(const BuiltLoop &loop, int repeats, uint64_t elements, const std::string &name) {
    const uint64_t expected = expected_sum(elements);
    double best = HUGE_VAL;
    for (int r = 0; r < repeats; ++r) {
        const double start = now();
        const uint64_t sum = loop.run();
        const double elapsed = now() - start;
        if (sum != expected)
            fail("the loop %s computed a wrong sum", name.c_str());
        best = std::min(best, elapsed);
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
        best = std::min(best, now() - start);
    }
    return CHAIN_CYCLES / best;
}

double cycles_per_iteration(Family family, double seconds, uint64_t elements, double clock_hz) {
    return seconds * clock_hz / (static_cast<double>(elements) / lanes_of(family));
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
    bool seen[sizeof lines / sizeof lines[0]] = {};
    char text[256];
    while (std::fgets(text, sizeof text, out)) {
        text[std::strcspn(text, "\n")] = '\0';
        char tag[4], label[32];
        uint64_t s;
        double t;
        if (std::sscanf(text, "%3[ 0-9a-z]) s=%" SCNx64 " t=%lf // N=1000000000 iterations of arithmetics; %31s",
                        tag, &s, &t, label) != 4)
            fail("cannot read this line of isabench's output: %s", text);
        Line *line = nullptr;
        for (Line &candidate : lines)
            if (std::strcmp(candidate.label, label) == 0)
                line = &candidate;
        if (!line)
            fail("isabench printed a line for an unknown variant: %s", text);
        if (s != SUM)
            fail("isabench printed a wrong sum: %s", text);
        seen[line - lines] = true;
        line->isabench = std::min(line->isabench, t);
    }
    std::fclose(out);
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("%s did not run to the end with status 0", path.c_str());
    for (const Line &line : lines)
        if (line.runs && !seen[&line - lines])
            fail("isabench printed no line for %s, which this processor runs", line.label);
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

void add_candidate(FamilyRun &run, const Form &form, const std::string &origin) {
    const std::string name = form_name(form);
    for (const Candidate &c : run.candidates)
        if (c.name == name)
            return;
    run.candidates.push_back({form, name, origin, std::make_unique<BuiltLoop>(form, ELEMENTS)});
}

void add_named(FamilyRun &run, const char *name, const std::string &origin) {
    Form form;
    if (!parse_form(run.family, name, form))
        fail("no such form: %s", name);
    add_candidate(run, form, origin);
}

struct Screened {
    Form form;
    double seconds;
};

// Times each form on `elements` once per pass, keeping its best.
void screen(std::vector<Screened> &forms, uint64_t elements, int passes) {
    for (Screened &s : forms)
        s.seconds = HUGE_VAL;
    for (int pass = 0; pass < passes; ++pass) {
        for (Screened &s : forms) {
            const BuiltLoop loop(s.form, elements);
            s.seconds = std::min(s.seconds, best_of(loop, 1, elements, form_name(s.form)));
        }
    }
    std::sort(forms.begin(), forms.end(), [](const Screened &a, const Screened &b) { return a.seconds < b.seconds; });
}

// Every form at every offset, cheaply; the fastest few join the candidates.
void search(FamilyRun &run, FILE *tsv) {
    const double started = now();
    std::fprintf(stderr, "isabench-fidelity: searching the %s forms...\n", run.label);
    std::vector<Screened> forms;
    for (const Form &base : all_forms(run.family)) {
        for (int offset = 0; offset < 64; ++offset) {
            Form form = base;
            form.offset = offset;
            forms.push_back({form, HUGE_VAL});
        }
    }
    run.screened = forms.size();
    screen(forms, SCREEN_ELEMENTS, SCREEN_PASSES);
    if (tsv) {
        const double clock_hz = measure_clock();
        for (const Screened &s : forms)
            std::fprintf(tsv, "%s\t%s\t%.6f\t%.3f\n", run.label, form_name(s.form).c_str(), s.seconds,
                         cycles_per_iteration(run.family, s.seconds, SCREEN_ELEMENTS, clock_hz));
    }
    forms.resize(std::min(forms.size(), SHORTLIST));
    screen(forms, RESCREEN_ELEMENTS, RESCREEN_PASSES);
    for (std::size_t k = 0; k < std::min(forms.size(), FINALISTS); ++k)
        add_candidate(run, forms[k].form, "search");
    run.search_seconds = now() - started;
}

// Each family's cycles use the clock measured next to its own loops, since a
// processor may lower its clock for wide vector code. A reading that
// disagrees with the others by more than CLOCK_AGREEMENT is measured again
// next to that family's own loop: where the new reading agrees with the
// others, the first was a slow spell and the new one is used; where it
// agrees with the first, the clock really differs there and is kept; where
// it agrees with neither, no cycles are shown for that family.
constexpr double CLOCK_AGREEMENT = 0.03;

void confirm_clocks(std::vector<FamilyRun> &runs) {
    std::vector<double> clocks;
    for (const FamilyRun &run : runs)
        if (run.runs)
            clocks.push_back(run.clock_hz);
    if (clocks.empty())
        return;
    std::sort(clocks.begin(), clocks.end());
    const double median = clocks[clocks.size() / 2];
    const auto near = [](double a, double b) { return std::fabs(a - b) <= CLOCK_AGREEMENT * b; };
    for (FamilyRun &run : runs) {
        if (!run.runs)
            continue;
        run.clock_confirmed = near(run.clock_hz, median);
        if (run.clock_confirmed)
            continue;
        double again = 0;
        for (int k = 0; k < 3; ++k) {
            run.candidates.front().loop->run();
            again = std::max(again, measure_clock());
        }
        if (near(again, median)) {
            run.clock_hz = again;
            run.clock_confirmed = true;
        } else if (near(again, run.clock_hz)) {
            run.clock_hz = std::max(again, run.clock_hz);
            run.clock_confirmed = true;
        }
    }
}

const Candidate &fastest(const FamilyRun &run) {
    const Candidate *best = &run.candidates[0];
    for (const Candidate &c : run.candidates)
        if (c.best < best->best)
            best = &c;
    return *best;
}

const Candidate &own(const FamilyRun &run, const Line &line) {
    for (const Candidate &c : run.candidates)
        if (c.name == line.own_form)
            return c;
    fail("the own form of %s is missing", line.label);
}

FamilyRun &run_of(std::vector<FamilyRun> &runs, Family family) {
    for (FamilyRun &run : runs)
        if (run.family == family)
            return run;
    fail("%s", "a line's family has no run");
}

// The loop of each line's own form as this tool builds it: a test compares
// these bytes with the build's, so that the own form is the line's loop.
void print_own_forms() {
    for (const Line &line : lines) {
        Form form;
        if (!parse_form(line.family, line.own_form, form))
            fail("no such form: %s", line.own_form);
        const BuiltLoop loop(form, ELEMENTS);
        std::printf("%s\t%s\t%d\t", line.label, line.own_form, form.offset);
        for (std::size_t k = 0; k < loop.loop_size(); ++k)
            std::printf("%02x", loop.loop_bytes()[k]);
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char **argv) {
    std::string isabench = default_isabench();
    int rounds = 3;
    bool json = false, searching = false;
    const char *tsv_path = nullptr;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--isabench") == 0 && k + 1 < argc) {
            isabench = argv[++k];
        } else if (std::strcmp(argv[k], "--rounds") == 0 && k + 1 < argc) {
            rounds = std::atoi(argv[++k]);
            if (rounds < 1)
                fail("--rounds needs a positive count, not %s", argv[k]);
        } else if (std::strcmp(argv[k], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[k], "--search") == 0) {
            searching = true;
        } else if (std::strcmp(argv[k], "--tsv") == 0 && k + 1 < argc) {
            tsv_path = argv[++k];
        } else if (std::strcmp(argv[k], "--own-forms") == 0) {
            print_own_forms();
            return 0;
        } else if (std::strcmp(argv[k], "--help") == 0 || std::strcmp(argv[k], "-h") == 0) {
            std::fputs(USAGE, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "isabench-fidelity: unknown argument %s\n%s", argv[k], USAGE);
            return 2;
        }
    }
    if (tsv_path && !searching)
        fail("%s", "--tsv needs --search");
    if (access(isabench.c_str(), X_OK) != 0)
        fail("cannot run %s", isabench.c_str());

    const unsigned usable = usable_features();
    std::vector<FamilyRun> runs;
    for (Line &line : lines) {
        line.runs = (usable & line.needs) == line.needs;
        bool have = false;
        for (const FamilyRun &run : runs)
            have = have || run.family == line.family;
        if (!have) {
            FamilyRun run;
            run.family = line.family;
            run.label = line.label;
            runs.push_back(std::move(run));
        }
        FamilyRun &run = run_of(runs, line.family);
        run.runs = run.runs || line.runs;
        if (line.runs)
            add_named(run, line.own_form, "own form");
    }
    for (FamilyRun &run : runs) {
        if (!run.runs)
            continue;
        for (const Known &known : KNOWN_FASTEST)
            if (known.family == run.family)
                add_named(run, known.form, std::string("fastest on ") + known.where);
    }

    FILE *tsv = nullptr;
    if (tsv_path) {
        tsv = std::fopen(tsv_path, "w");
        if (!tsv)
            fail("cannot write %s", tsv_path);
        std::fprintf(tsv, "line\tform\tseconds\tcycles\n");
    }
    if (searching)
        for (FamilyRun &run : runs)
            if (run.runs)
                search(run, tsv);
    if (tsv)
        std::fclose(tsv);

    // Alternate the program and the loops, so that a slow spell of a shared
    // machine falls on both alike; keep each one's best.
    for (int r = 0; r < rounds; ++r) {
        run_isabench(isabench);
        for (FamilyRun &run : runs) {
            if (!run.runs)
                continue;
            for (Candidate &c : run.candidates) {
                // Kept to the microsecond, as isabench prints its times, so
                // that each ratio is exactly the quotient of the times shown.
                const double seconds = std::round(best_of(*c.loop, REPEATS, ELEMENTS, c.name) * 1e6) * 1e-6;
                c.best = std::min(c.best, seconds);
            }
            // Next to the family's own code: a processor may lower its clock
            // while it runs wide vector code.
            run.clock_hz = std::max(run.clock_hz, measure_clock());
        }
    }

    confirm_clocks(runs);
    double clock_hz = 0;
    for (const FamilyRun &run : runs)
        if (run.clock_confirmed)
            clock_hz = std::max(clock_hz, run.clock_hz);

    // Cycles per iteration as text, or where the family's clock could not be
    // confirmed, `missing`.
    const auto cycles = [&](const Line &line, double seconds, const char *format, const char *missing) {
        const FamilyRun &run = run_of(runs, line.family);
        if (!run.clock_confirmed)
            return std::string(missing);
        char text[32];
        std::snprintf(text, sizeof text, format, cycles_per_iteration(line.family, seconds, ELEMENTS, run.clock_hz));
        return std::string(text);
    };
    const auto json_cycles = [&](const Line &line, double seconds) {
        return cycles(line, seconds, "%.3f", "null");
    };
    const auto text_cycles = [&](const Line &line, double seconds) {
        return cycles(line, seconds, "%7.2f", "      ?");
    };
    if (json) {
        std::printf("{\"clock_ghz\": %.3f, \"rounds\": %d, \"search\": %s, \"variants\": [", clock_hz * 1e-9, rounds,
                    searching ? "true" : "false");
        const char *separator = "";
        for (const Line &line : lines) {
            if (!line.runs)
                continue;
            const FamilyRun &run = run_of(runs, line.family);
            const Candidate &mine = own(run, line), &best = fastest(run);
            std::printf("%s\n  {\"label\": \"%s\", \"isabench_seconds\": %.6f, \"isabench_cycles_per_iteration\": %s, "
                        "\"own_form\": \"%s\", \"own_form_seconds\": %.6f, \"own_form_cycles_per_iteration\": %s, "
                        "\"ratio_to_own_form\": %.17g, \"fastest_form\": \"%s\", \"fastest_seconds\": %.6f, "
                        "\"fastest_cycles_per_iteration\": %s, \"ratio_to_fastest\": %.17g, \"clock_ghz\": %.6f, "
                        "\"clock_confirmed\": %s, \"forms\": [",
                        separator, line.label, line.isabench, json_cycles(line, line.isabench).c_str(),
                        mine.name.c_str(), mine.best, json_cycles(line, mine.best).c_str(), line.isabench / mine.best,
                        best.name.c_str(), best.best, json_cycles(line, best.best).c_str(), line.isabench / best.best,
                        run.clock_hz * 1e-9, run.clock_confirmed ? "true" : "false");
            const char *comma = "";
            for (const Candidate &c : run.candidates) {
                std::printf("%s{\"form\": \"%s\", \"origin\": \"%s\", \"seconds\": %.6f, \"cycles_per_iteration\": %s}",
                            comma, c.name.c_str(), c.origin.c_str(), c.best, json_cycles(line, c.best).c_str());
                comma = ", ";
            }
            std::printf("]}");
            separator = ",";
        }
        std::printf("\n]}\n");
        return 0;
    }

    std::printf("core clock %.2f GHz (dependent 64-bit register additions), best of %d round%s\n", clock_hz * 1e-9,
                rounds, rounds == 1 ? "" : "s");
    for (const FamilyRun &run : runs)
        if (run.runs && searching)
            std::printf("searched %zu placed forms for %s in %.0f s\n", run.screened, run.label, run.search_seconds);
    std::printf("\ncycles per iteration (floor 1.00)\n");
    std::printf("%-7s %10s %7s  %-36s %7s  %-36s %7s %8s\n", "line", "isabench s", "c/it", "own form", "c/it",
                "fastest form", "c/it", "ratio to");
    std::printf("%-7s %10s %7s  %-36s %7s  %-36s %7s %8s\n", "", "", "", "", "", "", "", "fastest");
    for (const Line &line : lines) {
        if (!line.runs) {
            std::printf("%-7s not run: this processor or operating system lacks it\n", line.label);
            continue;
        }
        const FamilyRun &run = run_of(runs, line.family);
        const Candidate &mine = own(run, line), &best = fastest(run);
        std::printf("%-7s %10.6f %s  %-36s %s  %-36s %s %8.3f\n", line.label, line.isabench,
                    text_cycles(line, line.isabench).c_str(), mine.name.c_str(), text_cycles(line, mine.best).c_str(),
                    best.name.c_str(), text_cycles(line, best.best).c_str(), line.isabench / best.best);
    }
    for (const FamilyRun &run : runs)
        if (run.runs && !run.clock_confirmed)
            std::printf("?: the clock next to the %s loops read %.2f GHz and could not be confirmed\n", run.label,
                        run.clock_hz * 1e-9);
    return 0;
}
