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
#include <getopt.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../../src/harness/cpu_support.h"
#include "../../src/harness/measure_record.h"
#include "context.h"
#include "explain.h"
#include "forms.h"
#include "image.h"
#include "json.h"
#include "platform.h"

extern "C" __attribute__((sysv_abi)) uint64_t clock_chain(uint64_t rounds);

namespace {

constexpr const char *USAGE =
    "usage: isabench-fidelity [--isabench PATH] [--rounds N] [--search] [--tsv FILE] [--json] [--goal G]\n"
    "                         [--explain] [--progress]\n"
    "       isabench-fidelity --explain --processor NAME [--json]\n"
    "       isabench-fidelity --rejudge [--goal G] FILE...\n"
    "       isabench-fidelity --own-forms | --version | --help\n"
    "\n"
    "Times each line of isabench (by default the one beside this tool) against\n"
    "loops of the same shape that this tool builds: the loop the line runs on\n"
    "this processor (its own form), the same at the start of a 64-byte line,\n"
    "the loops it runs on the other processors measured, and with --search\n"
    "the fastest forms of a screen of all. Each round runs isabench once and\n"
    "every loop best of 3, so that the loops are compared within each round\n"
    "(paired), over N rounds (12 by default). Reports cycles per iteration,\n"
    "and each line's ratio to the fastest form as the median over the rounds\n"
    "with a 95% interval. A form counts as faster than the line's own only\n"
    "where that interval lies wholly above 1; where an interval is too wide\n"
    "to say, the output says so.\n"
    "\n"
    "  --search    also screen every form at every offset from a 64-byte\n"
    "              boundary, and add the fastest few to the paired rounds\n"
    "  --tsv FILE  with --search, write the screen's cycles for every form and\n"
    "              offset to FILE\n"
    "  --json      the same figures as JSON, each line's bounds among them\n"
    "  --explain   also each line's bounds in cycles per iteration: the latency\n"
    "              of its loop-carried chains, the throughput of this\n"
    "              processor's port model (llvm-mca, with the -mcpu that the\n"
    "              processor table names), the larger of the two, and the\n"
    "              line's ratio to it\n"
    "  --processor NAME\n"
    "              with --explain, time nothing: the bounds of the loops that\n"
    "              the table's processor NAME runs (\"AMD Zen 4\")\n"
    "  --progress  the phase, the forms timed and the time left on standard\n"
    "              error (shown anyway on a terminal with --search or more\n"
    "              than 12 rounds)\n"
    "  --goal G    the ratio to the fastest form a line must stay within\n"
    "              (1.03 by default)\n"
    "  --rejudge   time nothing: take every figure again, as JSON, from the\n"
    "              per-round times of the --json outputs FILE..., their rounds\n"
    "              pooled in the order given (runs of one build on one machine)\n"
    "  --own-forms print every loop of every line as this tool builds it (the\n"
    "              line, the loop's number, its form, its offset and its bytes in\n"
    "              hexadecimal), and time nothing\n"
    "\n"
    "A form reads ORDER COUNTER [POSITION] [COPY] XOR @OFFSET:\n"
    "  ORDER     accfirst/incfirst: the accumulation before/after the step of k\n"
    "            (scalar); accfirst/advfirst: the accumulation before/after the\n"
    "            advance of b (AVX2, AVX-512); copyfirst: the 128-bit loops'\n"
    "            copy of b first\n"
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

// Runs of each loop per round: its best is paired with the others' in the
// same round.
constexpr int RUNS_PER_ROUND = 3;
constexpr int DEFAULT_ROUNDS = 12;
// What the ratio to the fastest form is read against: within this, a line
// shows what its width and encoding can do on this processor.
constexpr double GOAL = 1.03;
// A line whose interval against its own form, the same bytes, lies wholly
// below this ran faster than its reference: the reference did not run like
// the line (a host whose core switches between two speeds, say), which is
// no evidence that the line is fast. Such a line is undecided, and no loop
// is confirmed faster than that reference.
constexpr double REFERENCE_FLOOR = 0.90;
// The JSON output's layout, raised whenever a field changes meaning (2: the
// rule above; the others' processor time; a load average that may be null;
// 3: each line's bounds).
constexpr int SCHEMA = 3;
// Other programs that kept more processors than this busy on average, in a
// quiet window before the first round or during the rounds, or a line whose
// median over the rounds is this much above its best, are worth a warning.
constexpr double BUSY_PROCESSORS = 0.5;
constexpr double QUIET_WINDOW_SECONDS = 1.0;
constexpr double SPREAD = 0.05;

// The screen: every form at every offset on 1/125 of the elements, once in
// each of three passes over all of them, so that a slow spell of a shared
// machine falls on one pass and not on all runs of a form; then the fastest
// SHORTLIST the same way on 1/25, five passes. The fastest FINALISTS of those
// join the paired rounds, which alone decide whether any is faster.
constexpr uint64_t SCREEN_ELEMENTS = ELEMENTS / 125;
constexpr uint64_t RESCREEN_ELEMENTS = ELEMENTS / 25;
constexpr int SCREEN_PASSES = 3;
constexpr int RESCREEN_PASSES = 5;
constexpr std::size_t SHORTLIST = 24;
constexpr std::size_t FINALISTS = 4;

// Each line of isabench, from the program's own list.
struct Line {
    const char *label;
    const char *function;
    unsigned needs;
    Family family;
    bool runs = false;
    std::vector<double> isabench;  // its time in each round
};

Line lines[] = {
#define ISABENCH_VARIANT(NAME, function, tag, label, ...) \
    {label, #function, needs_of(VARIANT_INDEX_##NAME), VARIANT_ROWS[VARIANT_INDEX_##NAME].family, false, {}},
#include "../../src/variants/variants.def"
};

// The loops the build carries, as variants.def lists them; the form names
// are made from the same tokens as the loops' assembler text.
struct TableLoop {
    Family family;
    unsigned number;
    unsigned processors;
    const char *tokens;  // order counter position copy xor_op @offset, blanks for the empty ones
};

const TableLoop TABLE[] = {
#define ISABENCH_LOOP(family, number, processors, order, counter, position, copy, xor_op, offset) \
    {Family::family, number, processors, #order " " #counter " " #position " " #copy " " #xor_op " @" #offset},
#include "../../src/variants/variants.def"
};

// The fidelity tool's name of a table loop: single blanks, k-add for k_add.
std::string table_form_name(const TableLoop &loop) {
    std::string name;
    for (const char *c = loop.tokens; *c; ++c) {
        if (*c == ' ' && (name.empty() || name.back() == ' '))
            continue;
        name += *c == '_' ? '-' : *c;
    }
    return name;
}

// Which processors, by name, run a table loop.
std::string processors_of(unsigned mask) {
    std::string names;
    for (unsigned p = 0; p < PROCESSOR_COUNT; ++p)
        if (mask >> p & 1)
            names += (names.empty() ? "" : ", ") + std::string(processor_name(static_cast<Processor>(p)));
    return names;
}

// The table's processor of that name (processor_name); the default for any
// other.
Processor processor_named(const std::string &name) {
    for (unsigned p = 0; p < PROCESSOR_COUNT; ++p)
        if (name == processor_name(static_cast<Processor>(p)))
            return static_cast<Processor>(p);
    return PROCESSOR_DEFAULT;
}

// The median of paired ratios over the rounds, and the interval between two
// of their order statistics that holds the true median with at least 95%
// probability whatever their distribution (the sign test's interval). Over
// 12 rounds it runs from the 3rd lowest to the 3rd highest; below 6 rounds
// no such interval exists, and the bounds are 0 and infinity.
struct Paired {
    double median = NAN, low = 0, high = HUGE_VAL;
};

Paired paired(std::vector<double> ratios) {
    Paired p;
    const std::size_t n = ratios.size();
    if (n == 0)
        return p;
    std::sort(ratios.begin(), ratios.end());
    p.median = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
    // The largest j with P(Binomial(n, 1/2) < j) <= 2.5%.
    double below = 0, term = std::pow(0.5, static_cast<double>(n));
    std::size_t j = 0;
    while (j < n && below + term <= 0.025) {
        below += term;
        term = term * static_cast<double>(n - j) / static_cast<double>(j + 1);
        ++j;
    }
    if (j >= 1 && j <= n - j + 1) {
        p.low = ratios[j - 1];
        p.high = ratios[n - j];
    }
    return p;
}

std::vector<double> quotients(const std::vector<double> &a, const std::vector<double> &b) {
    std::vector<double> q;
    for (std::size_t r = 0; r < std::min(a.size(), b.size()); ++r)
        q.push_back(a[r] / b[r]);
    return q;
}

double best(const std::vector<double> &times) {
    return times.empty() ? HUGE_VAL : *std::min_element(times.begin(), times.end());
}

double median(std::vector<double> times) { return paired(std::move(times)).median; }

struct Candidate {
    Form form;
    std::string name;
    std::string origin;  // "own form", "the loop for PROCESSORS", "search"
    std::unique_ptr<BuiltLoop> loop;
    std::vector<double> times;  // best seconds of each round, to the microsecond
    Paired over_own;            // the own form's time over this one's, per round
    bool faster = false;        // over_own lies wholly above 1
};

struct FamilyRun {
    Family family = Family::Scalar;
    const char *label = nullptr;  // of the first line built from it
    bool runs = false;
    unsigned own = 0;  // the table loop this processor runs
    std::vector<Candidate> candidates;
    // Whether the own form (candidates' first) is a form of this tool's,
    // whose bounds can be worked out: a --rejudge input may name a loop
    // otherwise.
    bool own_form_known = true;
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

// Progress of a long run on standard error: the phase, the forms timed out
// of the phase's all, and the time left, from the iterations run so far
// against all those planned. On a terminal the line is rewritten in place
// and cleared at the end; elsewhere (--progress) a line is written at each
// phase and every PROGRESS_EVERY seconds. Standard output never changes.
constexpr double PROGRESS_EVERY = 10;

class Progress {
public:
    void start(bool terminal, double planned) {
        on_ = true;
        terminal_ = terminal;
        planned_ = planned;
        started_ = now();
    }
    bool on() const { return on_; }
    void phase(const std::string &name, std::size_t forms) {
        phase_ = name;
        forms_ = forms;
        done_ = 0;
        show(true);
    }
    // One form timed, of `iterations` iterations in all.
    void done(double iterations) {
        ++done_;
        run_ += iterations;
        show(false);
    }
    void finish() {
        if (on_ && terminal_)
            std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
        on_ = false;
    }

private:
    bool on_ = false, terminal_ = false;
    double planned_ = 0, run_ = 0, started_ = 0, shown_ = 0;
    std::string phase_;
    std::size_t forms_ = 0, done_ = 0, width_ = 0;

    void show(bool phase_start) {
        const double elapsed = now() - started_;
        if (!on_ || (!phase_start && elapsed - shown_ < (terminal_ ? 0.25 : PROGRESS_EVERY)))
            return;
        shown_ = elapsed;
        std::string text = "isabench-fidelity: " + phase_ + ": " + std::to_string(done_) + " of " +
                           std::to_string(forms_) + " forms timed";
        if (run_ > 0 && elapsed >= 2) {
            const long left = std::lround(elapsed * std::max(0.0, planned_ - run_) / run_);
            char estimate[64];
            if (left >= 60)
                std::snprintf(estimate, sizeof estimate, "; about %ld min %02ld s left", left / 60, left % 60);
            else
                std::snprintf(estimate, sizeof estimate, "; about %ld s left", left);
            text += estimate;
        }
        if (terminal_) {
            // Spaces over what a longer line before left.
            std::fprintf(stderr, "\r%s%*s", text.c_str(), static_cast<int>(width_ - std::min(width_, text.size())), "");
            width_ = std::max(width_, text.size());
        } else {
            std::fprintf(stderr, "%s\n", text.c_str());
        }
        std::fflush(stderr);
    }
};

Progress progress;

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

// Runs isabench once and adds each line's time to its rounds. Every variant
// this processor can run must print the right sum. Its skip messages on
// standard error pass through.
void run_isabench(const std::string &path) {
    std::string output, error;
    if (!run_program(path, {}, "", false, output, error))
        fail("%s", ("cannot run " + path + ": " + error).c_str());
    bool seen[sizeof lines / sizeof lines[0]] = {};
    for (std::size_t start = 0, end; start < output.size(); start = end + 1) {
        end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        // Lines end in CR LF on Windows.
        std::string text = output.substr(start, end - start);
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        char tag[4], label[32];
        uint64_t s;
        double t;
        if (std::sscanf(text.c_str(), "%3[ 0-9a-z]) s=%" SCNx64 " t=%lf // N=1000000000 iterations of arithmetics; %31s",
                        tag, &s, &t, label) != 4)
            fail("cannot read this line of isabench's output: %s", text.c_str());
        Line *line = nullptr;
        for (Line &candidate : lines)
            if (std::strcmp(candidate.label, label) == 0)
                line = &candidate;
        if (!line)
            fail("isabench printed a line for an unknown variant: %s", text.c_str());
        if (s != SUM)
            fail("isabench printed a wrong sum: %s", text.c_str());
        seen[line - lines] = true;
        line->isabench.push_back(t);
    }
    for (const Line &line : lines)
        if (line.runs && !seen[&line - lines])
            fail("isabench printed no line for %s, which this processor runs", line.label);
}

void add_candidate(FamilyRun &run, const Form &form, const std::string &origin) {
    const std::string name = form_name(form);
    for (const Candidate &c : run.candidates)
        if (c.name == name)
            return;
    run.candidates.push_back({form, name, origin, std::make_unique<BuiltLoop>(form, ELEMENTS), {}, {}, false});
}

Form table_form(const TableLoop &loop) {
    Form form;
    if (!parse_form(loop.family, table_form_name(loop), form))
        fail("variants.def names a form this tool cannot build: %s", table_form_name(loop).c_str());
    return form;
}

struct Screened {
    Form form;
    double seconds;
};

// Times each form on `elements` once per pass, keeping its best.
void screen(std::vector<Screened> &forms, uint64_t elements, int passes, const std::string &phase) {
    for (Screened &s : forms)
        s.seconds = HUGE_VAL;
    for (int pass = 0; pass < passes; ++pass) {
        progress.phase(phase + ", pass " + std::to_string(pass + 1) + " of " + std::to_string(passes), forms.size());
        for (Screened &s : forms) {
            const BuiltLoop loop(s.form, elements);
            s.seconds = std::min(s.seconds, best_of(loop, 1, elements, form_name(s.form)));
            progress.done(static_cast<double>(elements / lanes_of(s.form.family)));
        }
    }
    std::sort(forms.begin(), forms.end(), [](const Screened &a, const Screened &b) { return a.seconds < b.seconds; });
}

// Every form at every offset, cheaply; the fastest few join the candidates.
// The screen names no winner: its minima on a shared machine are as much
// the machine's quiet moments as the forms' speed. The paired rounds decide.
void search(FamilyRun &run, FILE *tsv) {
    const double started = now();
    if (!progress.on())
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
    screen(forms, SCREEN_ELEMENTS, SCREEN_PASSES, std::string("searching ") + run.label + ", every form");
    if (tsv) {
        const double clock_hz = measure_clock();
        for (const Screened &s : forms)
            std::fprintf(tsv, "%s\t%s\t%.6f\t%.3f\n", run.label, form_name(s.form).c_str(), s.seconds,
                         cycles_per_iteration(run.family, s.seconds, SCREEN_ELEMENTS, clock_hz));
    }
    forms.resize(std::min(forms.size(), SHORTLIST));
    screen(forms, RESCREEN_ELEMENTS, RESCREEN_PASSES,
           std::string("searching ") + run.label + ", the fastest " + std::to_string(forms.size()) + " again");
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

// The iterations of one run of isabench: each line it runs, ten times.
double isabench_iterations() {
    double iterations = 0;
    for (const Line &line : lines)
        if (line.runs)
            iterations += static_cast<double>(REPEATS * (ELEMENTS / lanes_of(line.family)));
    return iterations;
}

// One round: isabench once, then every loop best of RUNS_PER_ROUND, in the
// opposite order every other round, so that no loop always runs first.
void run_round(int round, int rounds, const std::string &isabench, std::vector<FamilyRun> &runs) {
    std::size_t forms = 1;
    for (const FamilyRun &run : runs)
        forms += run.runs ? run.candidates.size() : 0;
    progress.phase("paired round " + std::to_string(round + 1) + " of " + std::to_string(rounds), forms);
    run_isabench(isabench);
    progress.done(isabench_iterations());
    for (FamilyRun &run : runs) {
        if (!run.runs)
            continue;
        const std::size_t n = run.candidates.size();
        for (std::size_t k = 0; k < n; ++k) {
            Candidate &c = run.candidates[round % 2 ? n - 1 - k : k];
            // Kept to the microsecond, as isabench prints its times.
            c.times.push_back(std::round(best_of(*c.loop, RUNS_PER_ROUND, ELEMENTS, c.name) * 1e6) * 1e-6);
            progress.done(static_cast<double>(RUNS_PER_ROUND * (ELEMENTS / lanes_of(run.family))));
        }
        // Next to the family's own code: a processor may lower its clock
        // while it runs wide vector code.
        run.clock_hz = std::max(run.clock_hz, measure_clock());
    }
}

// Whether the line ran faster than its own form beyond REFERENCE_FLOOR.
bool reference_ran_slower(const Line &line, const FamilyRun &run) {
    return paired(quotients(line.isabench, run.candidates.front().times)).high < REFERENCE_FLOOR;
}

// Each loop against the own form, round by round; none is confirmed faster
// than an own form that a line of the family ran faster than.
void compare_with_own(FamilyRun &run) {
    const Candidate &own = run.candidates.front();
    bool reference_off = false;
    for (const Line &line : lines)
        reference_off = reference_off || (line.runs && line.family == run.family && reference_ran_slower(line, run));
    for (Candidate &c : run.candidates) {
        c.over_own = paired(quotients(own.times, c.times));
        c.faster = &c != &own && c.over_own.low > 1.0 && !reference_off;
    }
}

// The fastest form the rounds could confirm: the one the own form is the
// most times slower than, among those it is surely slower than; the own form
// where there is none.
const Candidate &fastest(const FamilyRun &run) {
    const Candidate *best = &run.candidates.front();
    for (const Candidate &c : run.candidates)
        if (c.faster && c.over_own.median > (best->faster ? best->over_own.median : 0))
            best = &c;
    return *best;
}

template <typename Runs>
auto &run_of(Runs &runs, Family family) {
    for (auto &run : runs)
        if (run.family == family)
            return run;
    fail("%s", "a line's family has no run");
}

// A line's time over the fastest form's, round by round.
Paired line_to_fastest(const Line &line, const FamilyRun &run) {
    return paired(quotients(line.isabench, fastest(run).times));
}


// Every loop of every line as this tool builds it: a test compares these
// bytes with the build's, so that the loops compared are the lines' loops.
void print_own_forms() {
    for (const Line &line : lines) {
        for (const TableLoop &table : TABLE) {
            if (table.family != line.family)
                continue;
            const Form form = table_form(table);
            const BuiltLoop loop(form, ELEMENTS);
            std::printf("%s\t%u\t%s\t%d\t", line.label, table.number, form_name(form).c_str(), form.offset);
            for (std::size_t k = 0; k < loop.loop_size(); ++k)
                std::printf("%02x", loop.loop_bytes()[k]);
            std::printf("\n");
        }
    }
}

// What a ratio's interval says against the goal.
const char *verdict(const Paired &p, double goal) {
    if (p.high <= goal)
        return "within";
    if (p.low > goal)
        return "slower";
    return "undecided";
}

// A line's verdict: undecided where its reference ran slower than it.
const char *line_verdict(const Line &line, const FamilyRun &run, double goal) {
    return reference_ran_slower(line, run) ? "undecided" : verdict(line_to_fastest(line, run), goal);
}

std::string json_number(double value, const char *format = "%.6f") {
    if (!std::isfinite(value))
        return "null";
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Times of each round, in round order, to the last bit, so that a reader
// can pool them with the rounds of another run and reach the same ratios.
std::string json_rounds(const std::vector<double> &times) {
    std::string list = "[";
    char text[32];
    for (std::size_t r = 0; r < times.size(); ++r) {
        std::snprintf(text, sizeof text, "%s%.17g", r ? ", " : "", times[r]);
        list += text;
    }
    return list + "]";
}

// Both bounds null where the rounds give no interval.
std::string json_interval(const Paired &p) {
    if (!std::isfinite(p.high))
        return "[null, null]";
    return "[" + json_number(p.low, "%.4f") + ", " + json_number(p.high, "%.4f") + "]";
}

std::string text_interval(const Paired &p) {
    char text[64];
    if (std::isfinite(p.high) && p.low > 0)
        std::snprintf(text, sizeof text, "%.3f [%.3f..%.3f]", p.median, p.low, p.high);
    else
        std::snprintf(text, sizeof text, "%.3f [no interval]", p.median);
    return text;
}

// A line's bounds; its ratio to the larger where its cycles are known
// (`line_cycles` above 0).
std::string json_bound(const Bound &bound, double line_cycles) {
    char text[160];
    std::snprintf(text, sizeof text, "{\"latency_cycles\": %.3f, \"port_cycles\": %s, \"port_model\": %s, ",
                  bound.latency, bound.port > 0 ? json_number(bound.port, "%.3f").c_str() : "null",
                  bound.model.empty() ? "null" : json_string(bound.model).c_str());
    return text + std::string("\"port_note\": ") + (bound.note.empty() ? "null" : json_string(bound.note)) +
           ", \"cycles\": " + json_number(bound.cycles(), "%.3f") +
           ", \"ratio\": " + (line_cycles > 0 ? json_number(line_cycles / bound.cycles(), "%.3f") : "null") + "}";
}

// How busy the other programs kept the machine, before the rounds and
// during them, as a warning where they may have moved the figures.
std::vector<std::string> machine_warnings(double before, double during) {
    std::vector<std::string> warnings;
    char text[200];
    for (const auto &window : {std::make_pair(before, "in a quiet second before the rounds"),
                               std::make_pair(during, "during the rounds")}) {
        if (window.first > BUSY_PROCESSORS) {
            std::snprintf(text, sizeof text,
                          "the machine was busy %s: other programs kept %.2f processors busy on average: run again "
                          "on an idle machine",
                          window.second, window.first);
            warnings.push_back(text);
        }
    }
    return warnings;
}

// What may have moved the figures, each with what to do about it, after
// those about the machine. A warning never changes a figure.
std::vector<std::string> warnings_of(std::vector<std::string> warnings, const std::vector<FamilyRun> &runs,
                                     double goal) {
    char text[400];
    for (const Line &line : lines) {
        if (!line.runs)
            continue;
        const double spread = median(line.isabench) / best(line.isabench) - 1;
        if (spread > SPREAD) {
            std::snprintf(text, sizeof text,
                          "%s: its median over the rounds is %.0f%% above its best: the machine was busy; run again "
                          "on an idle machine or with more --rounds",
                          line.label, spread * 100);
            warnings.push_back(text);
        }
        const FamilyRun &run = run_of(runs, line.family);
        const Paired to_own = paired(quotients(line.isabench, run.candidates.front().times));
        if (reference_ran_slower(line, run)) {
            std::snprintf(text, sizeof text,
                          "%s: its own form, the same bytes, ran slower than the line (%.3f [%.3f..%.3f], wholly below "
                          "%.2f): the reference did not run like the line, so the line is undecided and no loop is "
                          "confirmed faster than that reference; run again on an idle machine",
                          line.label, to_own.median, to_own.low, to_own.high, REFERENCE_FLOOR);
            warnings.push_back(text);
        } else if (std::string(verdict(line_to_fastest(line, run), goal)) == "undecided") {
            std::snprintf(text, sizeof text,
                          "%s: the rounds varied too much to say whether it is within %.2f of the fastest form: run "
                          "again on an idle machine or with more --rounds",
                          line.label, goal);
            warnings.push_back(text);
        }
    }
    for (const FamilyRun &run : runs)
        if (run.runs && !run.clock_confirmed) {
            std::snprintf(text, sizeof text,
                          "the clock next to the %s loops read %.2f GHz and could not be confirmed: no cycles are "
                          "shown for them; run again on an idle machine",
                          run.label, run.clock_hz * 1e-9);
            warnings.push_back(text);
        }
    return warnings;
}

// Cycles per iteration as text, or where the family's clock could not be
// confirmed, `missing`.
std::string cycles_text(const std::vector<FamilyRun> &runs, const Line &line, double seconds, const char *format,
                        const char *missing) {
    const FamilyRun &run = run_of(runs, line.family);
    if (!run.clock_confirmed || !std::isfinite(seconds))
        return missing;
    char text[32];
    std::snprintf(text, sizeof text, format, cycles_per_iteration(line.family, seconds, ELEMENTS, run.clock_hz));
    return text;
}

// A line's best cycles per iteration, or 0 where its family's clock could
// not be confirmed.
double line_cycles(const std::vector<FamilyRun> &runs, const Line &line) {
    const FamilyRun &run = run_of(runs, line.family);
    return run.clock_confirmed ? cycles_per_iteration(line.family, best(line.isabench), ELEMENTS, run.clock_hz) : 0;
}

double fastest_confirmed_clock(const std::vector<FamilyRun> &runs) {
    double clock_hz = 0;
    for (const FamilyRun &run : runs)
        if (run.clock_confirmed)
            clock_hz = std::max(clock_hz, run.clock_hz);
    return clock_hz;
}

// The whole result as one JSON object; `context` is the context's JSON.
void print_json(const std::string &context, int rounds, double goal, bool searching,
                const std::vector<std::string> &warnings, const std::vector<FamilyRun> &runs, const char *mcpu) {
    const double clock_hz = fastest_confirmed_clock(runs);
    const auto cycles = [&](const Line &line, double seconds) { return cycles_text(runs, line, seconds, "%.3f", "null"); };
    std::printf("{\"schema\": %d, \"context\": %s, \"clock_ghz\": %.3f, \"rounds\": %d, \"runs_per_round\": %d, "
                "\"goal\": %.2f, \"search\": %s, \"warnings\": [",
                SCHEMA, context.c_str(), clock_hz * 1e-9, rounds, RUNS_PER_ROUND, goal, searching ? "true" : "false");
    for (std::size_t k = 0; k < warnings.size(); ++k)
        std::printf("%s%s", k ? ", " : "", json_string(warnings[k]).c_str());
    std::printf("], \"variants\": [");
    const char *separator = "";
    for (const Line &line : lines) {
        if (!line.runs)
            continue;
        const FamilyRun &run = run_of(runs, line.family);
        const Candidate &mine = run.candidates.front(), &top = fastest(run);
        const Paired to_own = paired(quotients(line.isabench, mine.times));
        const Paired to_fastest = line_to_fastest(line, run);
        std::printf("%s\n  {\"label\": \"%s\", \"isabench_seconds\": %.6f, \"isabench_median_seconds\": %.6f, "
                    "\"isabench_seconds_by_round\": %s, \"isabench_cycles_per_iteration\": %s, \"own_form\": \"%s\", "
                    "\"own_form_number\": %u, "
                    "\"own_form_address\": %s, \"own_form_seconds\": %.6f, \"own_form_median_seconds\": %.6f, "
                    "\"own_form_cycles_per_iteration\": %s, \"ratio_to_own_form\": %s, "
                    "\"ratio_to_own_form_interval\": %s, \"reference_ran_slower\": %s, \"fastest_form\": \"%s\", "
                    "\"fastest_confirmed\": %s, "
                    "\"fastest_seconds\": %.6f, \"fastest_cycles_per_iteration\": %s, \"ratio_to_fastest\": %s, "
                    "\"ratio_to_fastest_interval\": %s, \"verdict\": \"%s\", \"clock_ghz\": %.6f, "
                    "\"clock_confirmed\": %s, \"bound\": %s, \"forms\": [",
                    separator, line.label, best(line.isabench), median(line.isabench),
                    json_rounds(line.isabench).c_str(), cycles(line, best(line.isabench)).c_str(), mine.name.c_str(),
                    run.own, mine.form.address >= 0 ? std::to_string(mine.form.address).c_str() : "null",
                    best(mine.times), median(mine.times), cycles(line, best(mine.times)).c_str(),
                    json_number(to_own.median, "%.4f").c_str(), json_interval(to_own).c_str(),
                    reference_ran_slower(line, run) ? "true" : "false", top.name.c_str(), top.faster ? "true" : "false",
                    best(top.times), cycles(line, best(top.times)).c_str(), json_number(to_fastest.median, "%.4f").c_str(),
                    json_interval(to_fastest).c_str(), line_verdict(line, run, goal), run.clock_hz * 1e-9,
                    run.clock_confirmed ? "true" : "false",
                    run.own_form_known ? json_bound(bound_of(mine.form, mcpu), line_cycles(runs, line)).c_str() : "null");
        const char *comma = "";
        for (const Candidate &c : run.candidates) {
            std::printf("%s\n    {\"form\": \"%s\", \"origin\": \"%s\", \"seconds\": %.6f, \"median_seconds\": %.6f, "
                        "\"seconds_by_round\": %s, \"cycles_per_iteration\": %s, \"own_form_over_this\": %s, "
                        "\"interval\": %s, \"faster\": %s}",
                        comma, c.name.c_str(), c.origin.c_str(), best(c.times), median(c.times),
                        json_rounds(c.times).c_str(), cycles(line, best(c.times)).c_str(),
                        json_number(c.over_own.median, "%.4f").c_str(), json_interval(c.over_own).c_str(),
                        c.faster ? "true" : "false");
            comma = ",";
        }
        std::printf("]}");
        separator = ",";
    }
    std::printf("\n]}\n");
}

// Each line's bounds as a table: the loop its own form, its cycles (0 where
// not timed or unknown).
struct Explained {
    const Line *line;
    Form form;
    double cycles;
};

void print_bounds(const std::vector<Explained> &lines_explained, const char *mcpu) {
    std::vector<Bound> bounds;
    std::string model, shared;
    for (const Explained &e : lines_explained) {
        bounds.push_back(bound_of(e.form, mcpu));
        model = model.empty() ? bounds.back().model : model;
        shared = &e == &lines_explained.front() || shared == bounds.back().note ? bounds.back().note : "";
    }
    // Where no line has a port model for one reason, the reason once.
    const bool one_reason = model.empty() && !shared.empty();
    std::printf("\nbounds in cycles per iteration: latency, the loop-carried chains; ports, %s\n",
                one_reason ? ("none: " + shared + "; the bound is the latency alone").c_str() : model.c_str());
    std::printf("%-7s %-36s %7s %6s %6s %6s %10s\n", "line", "own form", "latency", "ports", "bound", "line",
                "line/bound");
    for (std::size_t k = 0; k < bounds.size(); ++k) {
        const Bound &b = bounds[k];
        const double cycles = lines_explained[k].cycles;
        std::printf("%-7s %-36s %7.2f %6s %6.2f %6s %10s%s%s\n", lines_explained[k].line->label,
                    form_name(lines_explained[k].form).c_str(), b.latency,
                    b.port > 0 ? json_number(b.port, "%.2f").c_str() : "-", b.cycles(),
                    cycles > 0 ? json_number(cycles, "%.2f").c_str() : "-",
                    cycles > 0 ? json_number(cycles / b.cycles(), "%.2f").c_str() : "-",
                    one_reason || b.note.empty() ? "" : "  ", one_reason ? "" : b.note.c_str());
    }
}

void print_text(const Context &context, int rounds, double goal, bool searching,
                const std::vector<std::string> &warnings, const std::vector<FamilyRun> &runs, const char *mcpu,
                bool explain) {
    const double clock_hz = fastest_confirmed_clock(runs);
    const auto cycles = [&](const Line &line, double seconds) { return cycles_text(runs, line, seconds, "%5.2f", "    ?"); };
    print_context(context);
    std::printf("core clock %.2f GHz (dependent 64-bit register additions)\n", clock_hz * 1e-9);
    std::printf("%d rounds, each isabench once and every loop best of %d; ratios are medians over the rounds of\n"
                "ratios within a round, with their 95%% interval\n",
                rounds, RUNS_PER_ROUND);
    for (const FamilyRun &run : runs)
        if (run.runs && searching)
            std::printf("searched %zu placed forms for %s in %.0f s\n", run.screened, run.label, run.search_seconds);
    std::printf("\ncycles per iteration: the line's best and median over the rounds, each loop's best (floor 1.00)\n");
    std::printf("%-7s %5s %6s  %-36s %5s  %-36s %5s  %s\n", "line", "best", "median", "own form (the loop it runs)",
                "c/it", "fastest form confirmed", "c/it", "line / fastest");
    for (const Line &line : lines) {
        if (!line.runs) {
            std::printf("%-7s not run: this processor or operating system lacks it\n", line.label);
            continue;
        }
        const FamilyRun &run = run_of(runs, line.family);
        const Candidate &mine = run.candidates.front(), &top = fastest(run);
        const Paired to_fastest = line_to_fastest(line, run);
        std::printf("%-7s %s  %s  %-36s %s  %-36s %s  %s %s\n", line.label, cycles(line, best(line.isabench)).c_str(),
                    cycles(line, median(line.isabench)).c_str(), mine.name.c_str(),
                    cycles(line, best(mine.times)).c_str(),
                    top.faster ? top.name.c_str() : "(none faster than the own form)",
                    cycles(line, best(top.times)).c_str(), text_interval(to_fastest).c_str(),
                    line_verdict(line, run, goal));
    }
    std::printf("\nevery loop against the own form (own / this, per round)\n");
    for (const FamilyRun &run : runs) {
        if (!run.runs)
            continue;
        for (const Candidate &c : run.candidates) {
            if (&c == &run.candidates.front())
                continue;
            std::printf("%-7s %-36s %5.2f c/it, median %5.2f  %s%s  (%s)\n", run.label, c.name.c_str(),
                        cycles_per_iteration(run.family, best(c.times), ELEMENTS, run.clock_hz),
                        cycles_per_iteration(run.family, median(c.times), ELEMENTS, run.clock_hz),
                        text_interval(c.over_own).c_str(), c.faster ? " faster" : "", c.origin.c_str());
        }
    }
    std::printf("\nwithin: the line is within %.2f of the fastest form; slower: surely not; undecided: the rounds\n"
                "varied too much to say either, or the line ran faster than its own form (the reference was off)\n",
                goal);
    if (explain) {
        std::vector<Explained> timed;
        for (const Line &line : lines)
            if (line.runs)
                timed.push_back({&line, run_of(runs, line.family).candidates.front().form, line_cycles(runs, line)});
        print_bounds(timed, mcpu);
    }
    for (const std::string &warning : warnings)
        std::printf("warning: %s\n", warning.c_str());
}

struct Options {
    std::string isabench = program_beside_this_tool("isabench");
    int rounds = DEFAULT_ROUNDS;
    double goal = GOAL;
    bool json = false, searching = false, own_forms = false, version = false, rejudge = false, progress = false,
         explain = false;
    const char *tsv_path = nullptr;
    const char *processor = nullptr;  // --processor's name
    std::vector<std::string> files;  // --rejudge's
};

Options parse_options(int argc, char **argv) {
    Options options;
    static const option LONG[] = {{"isabench", required_argument, nullptr, 'i'}, {"rounds", required_argument, nullptr, 'r'},
                                  {"search", no_argument, nullptr, 's'},         {"tsv", required_argument, nullptr, 't'},
                                  {"json", no_argument, nullptr, 'j'},           {"own-forms", no_argument, nullptr, 'o'},
                                  {"goal", required_argument, nullptr, 'g'},     {"rejudge", no_argument, nullptr, 'R'},
                                  {"progress", no_argument, nullptr, 'p'},       {"explain", no_argument, nullptr, 'e'},
                                  {"processor", required_argument, nullptr, 'P'},
                                  {"help", no_argument, nullptr, 'h'},           {"version", no_argument, nullptr, 'v'},
                                  {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "h", LONG, nullptr)) != -1) {
        switch (c) {
        case 'i': options.isabench = optarg; break;
        case 'r': {
            char *end = nullptr;
            errno = 0;
            const long rounds = std::strtol(optarg, &end, 10);
            if (errno != 0 || end == optarg || *end != '\0' || rounds < 1 || rounds > 10000)
                fail("--rounds needs a count from 1 to 10000, not %s", optarg);
            options.rounds = static_cast<int>(rounds);
            break;
        }
        case 'g': {
            char *end = nullptr;
            options.goal = std::strtod(optarg, &end);
            if (end == optarg || *end != '\0' || !(options.goal >= 1.0 && options.goal <= 2.0))
                fail("--goal needs a ratio from 1 to 2, not %s", optarg);
            break;
        }
        case 's': options.searching = true; break;
        case 't': options.tsv_path = optarg; break;
        case 'j': options.json = true; break;
        case 'o': options.own_forms = true; break;
        case 'R': options.rejudge = true; break;
        case 'p': options.progress = true; break;
        case 'e': options.explain = true; break;
        case 'P': options.processor = optarg; break;
        case 'v': options.version = true; break;
        case 'h': std::fputs(USAGE, stdout); std::exit(0);
        default: std::fputs(USAGE, stderr); std::exit(2);
        }
    }
    if (options.rejudge) {
        options.files.assign(argv + optind, argv + argc);
        if (options.files.empty())
            fail("%s", "--rejudge needs the --json outputs to take the figures from");
    } else if (optind < argc) {
        std::fprintf(stderr, "isabench-fidelity: unknown argument %s\n%s", argv[optind], USAGE);
        std::exit(2);
    }
    if (options.tsv_path && !options.searching)
        fail("%s", "--tsv needs --search");
    if (options.processor && !options.explain)
        fail("%s", "--processor needs --explain");
    return options;
}

// The loops of each family this processor runs: the table's, each where the
// build has it modulo 4096 (the own form first), the own form at offset 0,
// and with --search the screen's finalists.
std::vector<FamilyRun> set_up(const Image &image, Processor processor, unsigned usable) {
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
            run.own = chosen_loop(line.family, processor);
            runs.push_back(std::move(run));
            for (int pass = 0; pass < 2; ++pass) {
                for (const TableLoop &table : TABLE) {
                    if (table.family != line.family || (table.number == runs.back().own) != (pass == 0))
                        continue;
                    Form form = table_form(table);
                    const BuiltLoop probe(form, ELEMENTS);
                    form.address = image.loop_address(line.function, probe.loop_bytes(), probe.loop_size());
                    add_candidate(runs.back(), form,
                                  pass == 0 ? "own form" : "the loop for " + processors_of(table.processors));
                }
            }
            // The own form at the start of a line: a placement elsewhere must
            // earn its place against it, or a loop moved to a slow offset would
            // be compared only with loops no faster than itself.
            Form at_line = runs.back().candidates.front().form;
            at_line.offset = 0;
            at_line.address = -1;
            add_candidate(runs.back(), at_line, "own form at the start of a line");
        }
        FamilyRun &run = run_of(runs, line.family);
        run.runs = run.runs || line.runs;
    }
    return runs;
}


// A member of a --json output that --rejudge needs: missing or of another
// kind, it stops with the file's name and the member's.
const Json &member(const Json &object, const char *key, Json::Kind kind, const std::string &file) {
    const Json *found = object.find(key);
    if (!found || found->kind != kind)
        fail("%s", (file + ": not an isabench-fidelity --json output with per-round times (" + key + ")").c_str());
    return *found;
}

std::vector<double> numbers(const Json &list, const std::string &file) {
    std::vector<double> values;
    for (const Json &item : list.items) {
        if (item.kind != Json::Kind::Number || !(item.number > 0))
            fail("%s", (file + ": a time that is not a positive number").c_str());
        values.push_back(item.number);
    }
    return values;
}

// Every figure taken again from the per-round times of --json outputs, their
// rounds pooled in the order given; nothing is timed. The outputs must hold
// the same lines with the same loops; the context is the first one's.
int rejudge(const Options &options) {
    std::vector<FamilyRun> runs;
    std::string context;
    // The processor the outputs were measured on, as the processor table
    // named it then: the bounds are its.
    Processor measured = PROCESSOR_DEFAULT;
    std::vector<std::string> machine;
    int rounds = 0;
    bool searching = false;
    for (const std::string &file : options.files) {
        FILE *in = std::fopen(file.c_str(), "rb");
        if (!in)
            fail("cannot read %s", file.c_str());
        std::string text;
        char chunk[65536];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
            text.append(chunk, n);
        std::fclose(in);
        Json report;
        std::string error;
        if (!parse_json(text, report, error))
            fail("%s", (file + ": " + error).c_str());
        const bool first = &file == &options.files.front();
        const Json &variants = member(report, "variants", Json::Kind::Array, file);
        if (first) {
            const Json &about = member(report, "context", Json::Kind::Object, file);
            context = about.text;
            searching = member(report, "search", Json::Kind::Boolean, file).boolean;
            const Json *processor = about.find("processor");
            const Json *table = processor ? processor->find("table") : nullptr;
            measured = processor_named(table && table->kind == Json::Kind::String ? table->text : "");
        }
        // How busy the machine was, where the output says (schema 2 on).
        const Json *others = member(report, "context", Json::Kind::Object, file).find("cpu_time_of_others");
        const auto processors = [&](const char *window) {
            const Json *busy = others ? others->find(window) : nullptr;
            const Json *value = busy ? busy->find("processors") : nullptr;
            return value && value->kind == Json::Kind::Number ? value->number : -1;
        };
        for (const std::string &warning : machine_warnings(processors("before"), processors("during")))
            machine.push_back(options.files.size() > 1 ? file + ": " + warning : warning);
        std::size_t file_rounds = 0;
        std::vector<bool> seen(sizeof lines / sizeof lines[0], false);
        for (const Json &variant : variants.items) {
            const std::string label = member(variant, "label", Json::Kind::String, file).text;
            Line *line = nullptr;
            for (Line &candidate : lines)
                if (label == candidate.label)
                    line = &candidate;
            if (!line || seen[line - lines] || (!first && !line->runs))
                fail("%s", (file + ": an unknown or repeated line, or not the lines of the first file: " + label).c_str());
            seen[line - lines] = true;
            line->runs = true;
            const std::vector<double> times =
                numbers(member(variant, "isabench_seconds_by_round", Json::Kind::Array, file), file);
            file_rounds = times.size();
            line->isabench.insert(line->isabench.end(), times.begin(), times.end());

            // The family's loops come from its first line; every other line of
            // the family reports the same loops with the same times.
            FamilyRun *run = nullptr;
            for (FamilyRun &each : runs)
                if (each.family == line->family)
                    run = &each;
            if (!run) {
                runs.emplace_back();
                run = &runs.back();
                run->family = line->family;
                run->label = line->label;
                run->runs = run->clock_confirmed = true;
                run->own = static_cast<unsigned>(member(variant, "own_form_number", Json::Kind::Number, file).number);
                const Json *address = variant.find("own_form_address");
                for (const Json &form : member(variant, "forms", Json::Kind::Array, file).items)
                    run->candidates.push_back({Form{}, member(form, "form", Json::Kind::String, file).text,
                                               member(form, "origin", Json::Kind::String, file).text, nullptr, {}, {},
                                               false});
                if (run->candidates.empty() ||
                    run->candidates.front().name != member(variant, "own_form", Json::Kind::String, file).text)
                    fail("%s", (file + ": " + label + ": the own form is not its first loop").c_str());
                run->own_form_known = parse_form(run->family, run->candidates.front().name, run->candidates.front().form);
                run->candidates.front().form.address =
                    address && address->kind == Json::Kind::Number ? static_cast<int>(address->number) : -1;
            }
            const bool family_first = run->label == line->label;
            const Json &forms = member(variant, "forms", Json::Kind::Array, file);
            if (forms.items.size() != run->candidates.size())
                fail("%s", (file + ": " + label + ": not the loops of the first file and the family's first line").c_str());
            for (std::size_t k = 0; k < forms.items.size(); ++k) {
                const Json &form = forms.items[k];
                std::vector<double> &kept = run->candidates[k].times;
                const std::vector<double> form_times =
                    numbers(member(form, "seconds_by_round", Json::Kind::Array, file), file);
                if (member(form, "form", Json::Kind::String, file).text != run->candidates[k].name ||
                    form_times.size() != times.size() ||
                    (!family_first && !std::equal(form_times.begin(), form_times.end(), kept.end() - times.size())))
                    fail("%s", (file + ": " + label + ": not the loops and times of the first file and the family's "
                                "first line: " + run->candidates[k].name).c_str());
                if (family_first)
                    kept.insert(kept.end(), form_times.begin(), form_times.end());
            }
            if (family_first) {
                run->clock_hz = std::max(run->clock_hz, member(variant, "clock_ghz", Json::Kind::Number, file).number * 1e9);
                run->clock_confirmed =
                    run->clock_confirmed && member(variant, "clock_confirmed", Json::Kind::Boolean, file).boolean;
            }
        }
        for (const Line &line : lines)
            if (line.runs && !seen[&line - lines])
                fail("%s", (file + ": not the lines of " + options.files.front()).c_str());
        rounds += static_cast<int>(file_rounds);
    }
    for (FamilyRun &run : runs)
        compare_with_own(run);
    print_json(context, rounds, options.goal, searching, warnings_of(machine, runs, options.goal), runs,
               processor_mcpu(measured));
    return 0;
}

// --explain --processor: the bounds of the loops a processor of the table
// runs, timing nothing.
int explain_processor(const Options &options) {
    const Processor processor = processor_named(options.processor);
    if (processor == PROCESSOR_DEFAULT && options.processor != std::string(processor_name(PROCESSOR_DEFAULT))) {
        std::string names;
        for (unsigned p = 0; p < PROCESSOR_COUNT; ++p)
            names += std::string(p ? ", " : "") + "\"" + processor_name(static_cast<Processor>(p)) + "\"";
        fail("%s", (std::string("no processor of the table is named \"") + options.processor + "\": " + names).c_str());
    }
    std::vector<Explained> own;
    for (const Line &line : lines)
        for (const TableLoop &loop : TABLE)
            if (loop.family == line.family && loop.number == chosen_loop(line.family, processor))
                own.push_back({&line, table_form(loop), 0});
    const char *mcpu = processor_mcpu(processor);
    if (!options.json) {
        std::printf("the loops of %s, timing nothing\n", processor_name(processor));
        print_bounds(own, mcpu);
        return 0;
    }
    std::printf("{\"schema\": %d, \"processor\": %s, \"variants\": [", SCHEMA,
                json_string(processor_name(processor)).c_str());
    for (const Explained &e : own)
        std::printf("%s\n  {\"label\": %s, \"own_form\": %s, \"bound\": %s}", &e == &own.front() ? "" : ",",
                    json_string(e.line->label).c_str(), json_string(form_name(e.form)).c_str(),
                    json_bound(bound_of(e.form, mcpu), 0).c_str());
    std::printf("\n]}\n");
    return 0;
}

// The iterations a run will time, for the progress's estimate of the time
// left: the screens, and in every round isabench and each loop.
double planned_iterations(const std::vector<FamilyRun> &runs, const Options &options) {
    double planned = options.rounds * isabench_iterations();
    for (const FamilyRun &run : runs) {
        if (!run.runs)
            continue;
        const double lanes = lanes_of(run.family);
        std::size_t loops = run.candidates.size();
        if (options.searching) {
            planned += all_forms(run.family).size() * 64.0 * SCREEN_PASSES * (SCREEN_ELEMENTS / lanes) +
                       static_cast<double>(SHORTLIST) * RESCREEN_PASSES * (RESCREEN_ELEMENTS / lanes);
            loops += FINALISTS;
        }
        planned += options.rounds * static_cast<double>(loops) * RUNS_PER_ROUND * (ELEMENTS / lanes);
    }
    return planned;
}

}  // namespace

int main(int argc, char **argv) {
    const Options options = parse_options(argc, argv);
    if (options.version) {
        std::printf("isabench-fidelity version %s\n", ISABENCH_VERSION);
        return 0;
    }
    if (options.own_forms) {
        print_own_forms();
        return 0;
    }
    if (options.rejudge)
        return rejudge(options);
    if (options.processor)
        return explain_processor(options);
    const Image image(options.isabench);
    if (image.size() == 0)
        fail("cannot read %s", options.isabench.c_str());
    if (std::strcmp(image.format(), NATIVE_FORMAT) != 0)
        fail("%s", (options.isabench + " is not an executable of this system (" + NATIVE_FORMAT + ")").c_str());

    const CpuRegisters registers = read_cpu_registers();
    const Processor processor = identify_processor(registers);
    Context context = read_context(registers, options.isabench, image);
    std::vector<FamilyRun> runs = set_up(image, processor, usable_features(registers));

    FILE *tsv = nullptr;
    if (options.tsv_path) {
        tsv = std::fopen(options.tsv_path, "w");
        if (!tsv)
            fail("cannot write %s", options.tsv_path);
        std::fprintf(tsv, "line\tform\tseconds\tcycles\n");
    }
    // A long run (a search, or more rounds than the default) shows its
    // progress on a terminal; --progress shows it anywhere.
    if (options.progress || ((options.searching || options.rounds > DEFAULT_ROUNDS) && error_is_terminal()))
        progress.start(error_is_terminal(), planned_iterations(runs, options));

    // How busy the others keep the machine while this tool does nothing.
    const CpuWindow quiet = open_window();
    sleep_seconds(QUIET_WINDOW_SECONDS);
    context.before = close_window(quiet);

    if (options.searching)
        for (FamilyRun &run : runs)
            if (run.runs)
                search(run, tsv);
    if (tsv)
        std::fclose(tsv);

    const CpuWindow rounds = open_window();
    for (int r = 0; r < options.rounds; ++r)
        run_round(r, options.rounds, options.isabench, runs);
    context.during = close_window(rounds);
    progress.finish();
    for (FamilyRun &run : runs)
        if (run.runs)
            compare_with_own(run);

    confirm_clocks(runs);
    read_load_after(context);
    const std::vector<std::string> warnings =
        warnings_of(machine_warnings(context.before.processors(), context.during.processors()), runs, options.goal);
    if (options.json)
        print_json(context_json(context), options.rounds, options.goal, options.searching, warnings, runs,
                   processor_mcpu(processor));
    else
        print_text(context, options.rounds, options.goal, options.searching, warnings, runs, processor_mcpu(processor),
                   options.explain);
    return 0;
}
