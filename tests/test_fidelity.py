"""What isabench-fidelity's figures rest on, checked without timing anything.

Statistic: the paired statistic, the choice of the fastest form and the
verdicts, taken by the tool (--rejudge) from recorded per-round times: a
real --search run and small runs made by hand, two of them pooled into 24
rounds, each checked against this file's own statistic and against figures
worked out by hand; and the benchmark command's judgement of them
(tools/run-benchmarks --recorded), which pools an undecided line's rounds
and judges a line still undecided by its median.

OwnForms: the loops the tool times for each line are, byte for byte and at
the same offset from a 64-byte boundary, the loops in the built executable
(read by the binary audit), every one of them. Otherwise the tool would
compare the lines with something other than themselves.

Explain: each line's bounds, timing nothing, for every processor of the
table and the default: every loop's chains advance by one addition an
iteration, so the latency bound is 1 cycle, and the scalar loop's bound is
1 cycle on every processor llvm-mca models (the one the table names, where
the test command installed it); without llvm-mca, the bounds are the
latency alone, the output names the missing tool, and the exit status is
still 0; and through a stand-in for llvm-mca with latencies of its own
(tests/fake_llvm_mca.c), on Windows too, the tool starts it with the loop
and takes its block throughput and latencies.

Run: the tool as a user runs it, beside the build's isabench (on Windows,
the .exe under Wine, which runs the loops natively, so its figures are
real): --help and --version; an error for a missing isabench or one of
another format; and a --json run with --progress (6 rounds on Windows, so
that the statistic is checked on real intervals there; 2 on Linux, whose
own layer is what is left to check after fidelity.statistic), whose
figures rebuild from its per-round times, whose context names this
processor (against /proc/cpuinfo) and the others' processor time, whose
own forms sit where the audit finds the build's loops, whose bounds and
ratios to them agree with its cycles, and whose progress goes to standard
error only. No figure is compared with a time.

usage: test_fidelity.py FIDELITY_TOOL Statistic
       test_fidelity.py FIDELITY_TOOL Explain FAKE_LLVM_MCA_FOLDER
       test_fidelity.py FIDELITY_TOOL OwnForms|Run AUDIT_COMMAND..."""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from harness import BINARY, LANES, RUNNER, SOURCE, TABLES, VARIANTS, WINDOWS, host_path, supported_variants

TOOL = None
AUDIT = []
FAKE_LLVM_MCA = None  # the folder of tests/fake_llvm_mca.c's llvm-mca-16
DATA = os.path.join(SOURCE, "tests", "data")
# A real `isabench-fidelity --search --json` run with its per-round times
# (AMD Zen 5, 12 rounds, a busy host).
RECORDED = [os.path.join(DATA, "amd-26-2-search.json")]


def paired(ratios):
    """The tool's statistic: the median of per-round ratios and the sign
    test's 95% interval between two of their order statistics ((None, None)
    where the rounds are too few for one)."""
    ratios, n = sorted(ratios), len(ratios)
    median = (ratios[(n - 1) // 2] + ratios[n // 2]) / 2
    below, term, j = 0.0, 0.5 ** n, 0
    while j < n and below + term <= 0.025:
        below, term, j = below + term, term * (n - j) / (j + 1), j + 1
    return median, (ratios[j - 1], ratios[n - j]) if 1 <= j <= n - j + 1 else (None, None)


def quotients(a, b):
    return [x / y for x, y in zip(a, b, strict=True)]


def verdict(interval, goal):
    low, high = interval
    if high is not None and high <= goal:
        return "within"
    if low is not None and low > goal:
        return "slower"
    return "undecided"


# A line whose interval against its own form lies wholly below this ran
# faster than its reference: undecided, and nothing is confirmed faster than
# that reference.
REFERENCE_FLOOR = 0.90


def recompute(reports, goal):
    """Each line's figures over the pooled rounds of `reports` (--json
    outputs), by label: the own form's time over each loop's with `faster`,
    the fastest form (the one the own form is the most times slower than,
    among those whose interval of own / form lies wholly above 1, unless a
    line of the family ran faster than its own form beyond REFERENCE_FLOOR),
    the line over its own form and over the fastest, and the verdict."""
    figures, off = {}, set()
    for row in reports[0]["variants"]:
        rows = [next(r for r in report["variants"] if r["label"] == row["label"]) for report in reports]
        line = [t for r in rows for t in r["isabench_seconds_by_round"]]
        forms = {form["form"]: [t for r in rows for f in r["forms"] if f["form"] == form["form"]
                                for t in f["seconds_by_round"]] for form in row["forms"]}
        # The lines of one family time the same loops.
        family = tuple(forms)
        to_own = paired(quotients(line, forms[row["own_form"]]))
        if to_own[1][1] is not None and to_own[1][1] < REFERENCE_FLOOR:
            off.add(family)
        figures[row["label"]] = {"line": line, "forms": forms, "own": row["own_form"], "family": family,
                                 "ratio_to_own_form": to_own}
    for figure in figures.values():
        own, forms = figure["own"], figure["forms"]
        over_own = {name: paired(quotients(forms[own], times)) for name, times in forms.items()}
        faster = {name: name != own and p[1][0] is not None and p[1][0] > 1.0 and figure["family"] not in off
                  for name, p in over_own.items()}
        fastest = max((name for name in forms if faster[name]), key=lambda name: over_own[name][0], default=own)
        to_fastest = paired(quotients(figure["line"], forms[fastest]))
        reference_off = figure["ratio_to_own_form"][1][1] is not None and \
            figure["ratio_to_own_form"][1][1] < REFERENCE_FLOOR
        figure.update(over_own=over_own, faster=faster, fastest_form=fastest, ratio_to_fastest=to_fastest,
                      reference_ran_slower=reference_off,
                      verdict="undecided" if reference_off else verdict(to_fastest[1], goal))
    return figures


def rejudge(*paths, goal=None):
    out = subprocess.run(RUNNER + [TOOL, "--rejudge", *(["--goal", str(goal)] if goal else []), *paths],
                         capture_output=True, text=True)
    if out.returncode != 0:
        raise AssertionError(f"isabench-fidelity --rejudge failed: {out.stderr}")
    return json.loads(out.stdout)


def check_figures(test, report, reports, goal=1.03):
    """`report`, the tool's, against this file's statistic over the rounds of
    `reports`: every ratio and interval (written to 4 decimals), the fastest
    form, `faster` and the verdict; and its cycles, the seconds at the clock
    the line names over 1,000,000,000 / lanes iterations (none where that
    clock was not confirmed)."""
    ours = recompute(reports, goal)
    test.assertEqual([row["label"] for row in report["variants"]], list(ours))
    close = lambda a, b, what: (test.assertIsNone(a, what) if b is None  # noqa: E731
                                else test.assertAlmostEqual(a, b, delta=6e-5, msg=what))
    for row in report["variants"]:
        mine, label = ours[row["label"]], row["label"]
        for key in ("ratio_to_own_form", "ratio_to_fastest"):
            close(row[key], mine[key][0], f"{label} {key}")
            for tools, expected in zip(row[key + "_interval"], mine[key][1]):
                close(tools, expected, f"{label} {key}_interval")
        test.assertEqual((row["fastest_form"], row["verdict"]), (mine["fastest_form"], mine["verdict"]), label)
        test.assertEqual(row.get("reference_ran_slower", mine["reference_ran_slower"]), mine["reference_ran_slower"])
        test.assertEqual(row["fastest_confirmed"], row["fastest_form"] != row["own_form"], label)
        for form in row["forms"]:
            median, interval = mine["over_own"][form["form"]]
            close(form["own_form_over_this"], median, f"{label} {form['form']}")
            for tools, expected in zip(form["interval"], interval):
                close(tools, expected, f"{label} {form['form']} interval")
            test.assertEqual(form["faster"], mine["faster"][form["form"]], f"{label} {form['form']}")
        for seconds, cycles in (("isabench_seconds", "isabench_cycles_per_iteration"),
                                ("own_form_seconds", "own_form_cycles_per_iteration"),
                                ("fastest_seconds", "fastest_cycles_per_iteration")):
            if not row["clock_confirmed"]:
                test.assertIsNone(row[cycles], row)
            else:
                expected = row[seconds] * row["clock_ghz"] * LANES[label]
                test.assertAlmostEqual(row[cycles], expected, delta=0.002, msg=f"{label} {cycles}")


# Runs made by hand: each line's time in each round, and each loop's of its
# family, the line's own form first (named by their roles; --rejudge reads
# no form). Every own form takes 1.0 s, so each ratio to it is the line's
# time itself; the worked figures are below.
# The hand-made runs' lines, by the measuring function each stands for.
LABEL = {row["function"]: row["label"] for row in TABLES["variants"]}
L_SCALAR, L_AVX, L_AVX2, L_AVX512 = (LABEL[f] for f in ("bench_scalar", "bench_avx", "bench_avx2", "bench_avx512"))
SCALAR = ("scalar own", "scalar other")
AVX = ("AVX own", "AVX other")
AVX2 = ("AVX2 own", "AVX2 faster")
AVX512 = ("AVX512 own", "AVX512 other")
SAME = {L_SCALAR: ([1.2, 0.97, 1.0, 1.01, 0.98, 1.02, 1.0, 1.03, 0.99, 1.01, 1.0, 1.02], SCALAR, [1.0] * 12),
        L_AVX: ([0.56, 0.55, 0.57, 0.54, 0.56, 0.55, 0.58, 0.55, 0.56, 0.57, 0.53, 0.56], AVX, [0.8] * 12),
        L_AVX2: ([1.0, 0.98, 1.02, 0.99, 1.01, 1.0, 1.0, 0.97, 1.03, 1.0, 0.96, 1.04], AVX2, [0.5] * 12)}
HAND_MADE = [
    {**SAME, L_AVX512: ([1.3, 0.9, 1.12, 1.0, 1.06, 0.95, 1.04, 1.2, 1.0, 1.08, 1.02, 1.05], AVX512, [1.0] * 12)},
    {**SAME, L_AVX512: ([1.0, 1.15, 0.99, 1.11, 1.01, 1.13, 1.0, 1.14, 0.98, 1.12, 1.0, 1.16], AVX512, [1.0] * 12)},
]


def hand_made(run, labels=None, rounds=12):
    """A --json output holding what --rejudge reads, for the hand-made `run`."""
    variants = []
    for label, (line, (own, other), other_times) in run.items():
        if labels is None or label in labels:
            variants.append({
                "label": label, "isabench_seconds_by_round": line[:rounds], "own_form": own, "own_form_number": 0,
                "own_form_address": 0, "clock_ghz": 3.0, "clock_confirmed": True,
                "forms": [{"form": own, "origin": "own form", "seconds_by_round": [1.0] * rounds},
                          {"form": other, "origin": "search", "seconds_by_round": other_times[:rounds]}]})
    return {"schema": 2, "context": {"tool": "hand-made"}, "search": False, "variants": variants}


class Statistic(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def write(self, name, report):
        path = os.path.join(self.tmp.name, name)
        with open(path, "w") as f:
            json.dump(report, f)
        return path

    def test_intervals_worked_by_hand(self):
        """The sign test's interval: from the 3rd lowest to the 3rd highest of
        12 rounds, the 7th of 24, the extremes of 6, none below 6."""
        self.assertEqual(paired(range(1, 13)), (6.5, (3, 10)))
        self.assertEqual(paired(range(1, 25)), (12.5, (7, 18)))
        self.assertEqual(paired([3, 1, 2, 6, 5, 4]), (3.5, (1, 6)))
        self.assertEqual(paired(range(1, 6)), (3, (None, None)))

    def test_recorded_runs(self):
        """The tool's figures taken again from a real run's rounds are the run's
        own and this file's."""
        for path in RECORDED:
            with self.subTest(path=os.path.basename(path)):
                with open(path) as f:
                    recorded = json.load(f)
                report = rejudge(path)
                check_figures(self, report, [recorded])
                check_figures(self, recorded, [recorded])
                self.assertEqual(report["rounds"], recorded["rounds"])
                self.assertEqual(report["context"], recorded["context"])

    def test_hand_made_runs(self):
        """Worked by hand. Scalar: ratios 0.97 to 1.2, median 1.005 in
        [0.99..1.02]: within 1.03. AVX2: a loop twice as fast as the own
        form in every round is confirmed faster, and the line, at its own
        form's speed, is slower at 2.0 [1.96..2.04]. AVX: the line ran at
        0.56 [0.55..0.57] of its own form, the same bytes: the reference was
        off, so the line is undecided, not within, and the loop 1.25 times
        faster than that reference is not confirmed. AVX512: 1.045 in
        [1.0..1.12], undecided. Pooled with the second run's 12 rounds, the
        interval runs from the 7th to the 18th of 24: scalar [1.0..1.02],
        AVX2 [1.98..2.02], AVX512 1.045 in [1.0..1.12], still undecided.
        Over 5 rounds there is no interval: scalar 1.0, undecided."""
        first, second = (self.write(f"run{k}.json", hand_made(run)) for k, run in enumerate(HAND_MADE))
        few = self.write("few.json", hand_made(HAND_MADE[0], [L_SCALAR], rounds=5))
        expected = {
            (first,): {L_SCALAR: (1.005, [0.99, 1.02], "within"), L_AVX2: (2.0, [1.96, 2.04], "slower"),
                       L_AVX: (0.56, [0.55, 0.57], "undecided"), L_AVX512: (1.045, [1.0, 1.12], "undecided")},
            (first, second): {L_SCALAR: (1.005, [1.0, 1.02], "within"), L_AVX2: (2.0, [1.98, 2.02], "slower"),
                              L_AVX512: (1.045, [1.0, 1.12], "undecided")},
            (few,): {L_SCALAR: (1.0, [None, None], "undecided")},
        }
        for paths, lines in expected.items():
            with self.subTest(runs=len(paths), rounds=5 if few in paths else 12):
                report = rejudge(*paths)
                self.assertEqual(report["rounds"], 12 * len(paths) if few not in paths else 5)
                reports = []
                for path in paths:
                    with open(path) as f:
                        reports.append(json.load(f))
                check_figures(self, report, reports)
                rows = {row["label"]: row for row in report["variants"]}
                for label, (median, interval, said) in lines.items():
                    self.assertEqual((rows[label]["ratio_to_fastest"], rows[label]["ratio_to_fastest_interval"],
                                      rows[label]["verdict"]), (median, interval, said), label)
                self.assertEqual(rows.get(L_AVX2, {}).get("fastest_form", AVX2[1]), AVX2[1])
                if L_AVX in rows:
                    self.assertEqual((rows[L_AVX]["fastest_form"], rows[L_AVX]["forms"][1]["own_form_over_this"],
                                      rows[L_AVX]["forms"][1]["faster"], rows[L_AVX]["reference_ran_slower"]),
                                     (AVX[0], 1.25, False, True))
                    self.assertTrue([w for w in report["warnings"] if w.startswith("AVX: its own form")],
                                    report["warnings"])
        # A run the tool cannot pool with the first: other loops.
        other = hand_made(HAND_MADE[1])
        other["variants"][0]["forms"][1]["form"] = "scalar changed"
        out = subprocess.run(RUNNER + [TOOL, "--rejudge", first, self.write("other.json", other)],
                             capture_output=True, text=True)
        self.assertNotEqual(out.returncode, 0)
        self.assertIn("not the loops", out.stderr)

    def test_benchmark_command(self):
        """tools/run-benchmarks against its limit of 1.10: AVX2 slower (status
        1); AVX512, undecided after 12 rounds and after 24, by its median 1.045
        within; AVX, whose reference was off, undecided, never judged by its
        median; without the AVX2 line, status 0."""
        benchmarks = os.path.join(SOURCE, "tools", "run-benchmarks")
        for labels, status in ((None, 1), ([L_SCALAR, L_AVX, L_AVX512], 0)):
            paths = [self.write(f"run{k}.json", hand_made(run, labels)) for k, run in enumerate(HAND_MADE)]
            out = subprocess.run([sys.executable, benchmarks, "--tool", TOOL, "--recorded", *paths],
                                 capture_output=True, text=True)
            self.assertEqual(out.returncode, status, out.stdout + out.stderr)
            self.assertRegex(out.stdout, r"(?m)^scalar: within, 12 rounds: 1\.0050 \[0\.9900\.\.1\.0200\]")
            self.assertRegex(out.stdout, r"(?m)^AVX512: within, 24 rounds: 1\.0450 \[1\.0000\.\.1\.1200\] "
                                         r"against AVX512 own, judged by its median$")
            self.assertRegex(out.stdout, r"(?m)^AVX: undecided, 24 rounds: 0\.5600 .*its own form ran slower")
            if labels is None:
                self.assertRegex(out.stdout, r"(?m)^AVX2: slower, 12 rounds: 2\.0000 \[1\.9600\.\.2\.0400\] "
                                             r"against AVX2 faster$")


def check_bound(test, bound, what):
    """One line's bounds: the chains' latency of 1 cycle, the bound the
    larger of it and the port model's, and a port model or why none."""
    test.assertEqual(bound["latency_cycles"], 1.0, what)
    test.assertEqual(bound["cycles"], max(bound["latency_cycles"], bound["port_cycles"] or 0), what)
    test.assertEqual(bound["port_model"] is None, bound["port_cycles"] is None, what)
    if bound["port_model"] is None:
        test.assertTrue(bound["port_note"], what)


class Explain(unittest.TestCase):
    def explain(self, processor, as_json=True, env=None):
        out = subprocess.run(RUNNER + [TOOL, "--explain", "--processor", processor, *(["--json"] if as_json else [])],
                             capture_output=True, text=True, env=env)
        self.assertEqual(out.returncode, 0, out.stderr)
        return json.loads(out.stdout) if as_json else out.stdout

    def test_bounds_of_every_processor(self):
        modelled = []
        for processor in [{"text": "other processors", "mcpu": None}] + TABLES["processors"]:
            report = self.explain(processor["text"])
            self.assertEqual([row["label"] for row in report["variants"]], [label for _, label, _ in VARIANTS])
            for row in report["variants"]:
                check_bound(self, row["bound"], f"{processor['text']} {row['label']}")
                if row["bound"]["port_model"]:
                    self.assertTrue(row["bound"]["port_model"].endswith(" -mcpu=" + processor["mcpu"]), row)
            scalar = report["variants"][0]["bound"]
            if scalar["port_model"]:
                modelled.append(processor["text"])
                self.assertEqual(scalar["cycles"], 1.0, f"{processor['text']}: {scalar}")
        # Where llvm-mca is installed, the table's processors that it models
        # have their bounds from it (Windows under Wine finds none).
        if not WINDOWS and any(shutil.which(f"llvm-mca-{v}") for v in range(10, 41)):
            self.assertTrue(modelled)

    def test_port_model_from_llvm_mca(self):
        modelled = next(row for row in TABLES["processors"] if row["mcpu"])
        path = {"WINEPATH": host_path(FAKE_LLVM_MCA)} if WINDOWS else {"PATH": FAKE_LLVM_MCA}
        report = self.explain(modelled["text"], env={**os.environ, **path})
        for row in report["variants"]:
            bound = row["bound"]
            self.assertEqual((bound["port_model"], bound["port_cycles"], bound["latency_cycles"], bound["cycles"]),
                             (f"llvm-mca-16 -mcpu={modelled['mcpu']}", 1.7, 2.0, 2.0), row)

    def test_without_llvm_mca(self):
        # Under Wine the tool searches Windows' path, which holds no llvm-mca.
        with tempfile.TemporaryDirectory() as empty:
            out = self.explain(TABLES["processors"][0]["text"], False, None if WINDOWS else {**os.environ, "PATH": empty})
        self.assertIn("ports, none: llvm-mca is not installed", out)
        rows = re.findall(r"^(\S+) .* (\d\.\d\d) +- +(\d\.\d\d) ", out, re.M)
        self.assertEqual([(label, "1.00", "1.00") for _, label, _ in VARIANTS], rows, out)


class OwnForms(unittest.TestCase):
    def test_own_forms_are_the_built_loops(self):
        tool = subprocess.run(RUNNER + [TOOL, "--own-forms"], capture_output=True, text=True, check=True).stdout
        own = [line.split("\t") for line in tool.splitlines()]
        self.assertEqual(sorted({label for label, *_ in own}), sorted(label for _, label, _ in VARIANTS))
        audit = subprocess.run(AUDIT + ["--list", BINARY], capture_output=True, text=True).stdout
        built = re.findall(r"^(bench_\w+) @ [0-9a-f]+, workload loop (\d+) at [0-9a-f]+, (\d+) bytes past a 64-byte "
                           r"boundary: ([0-9a-f]+)$", audit, re.M)
        # Every loop of every line, in the same order: the lines' order, and
        # each line's loops by number.
        self.assertEqual(len(built), len(own), audit)
        for (label, number, form, offset, loop), (function, built_number, built_offset, built_loop) in zip(own, built):
            with self.subTest(label=label, number=number, form=form):
                self.assertEqual((number, offset, loop), (built_number, built_offset, built_loop),
                                 f"{function} loop {built_number} is not the form {form}")


def audited_loops():
    """The build's loops as the audit lists them: (function, number) to the
    loop's address modulo 4096."""
    audit = subprocess.run(AUDIT + ["--list", BINARY], capture_output=True, text=True).stdout
    return {(function, int(number)): int(address, 16) % 4096 for function, number, address in
            re.findall(r"^(bench_\w+) @ [0-9a-f]+, workload loop (\d+) at ([0-9a-f]+),", audit, re.M)}


def cpuinfo(field):
    with open("/proc/cpuinfo") as f:
        return int(re.search(r"^" + field + r"\s*: (\d+)$", f.read(), re.M).group(1))


class Run(unittest.TestCase):
    def tool(self, *args, timeout=60):
        return subprocess.run(RUNNER + [TOOL, *args], capture_output=True, text=True, timeout=timeout)

    def test_help_version_and_errors(self):
        self.assertRegex(self.tool("--help").stdout, r"^usage: isabench-fidelity ")
        with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
            version = re.search(r"^project\(isabench VERSION (\S+)", f.read(), re.M).group(1)
        self.assertEqual(self.tool("--version").stdout, f"isabench-fidelity version {version}\n")
        missing = self.tool("--isabench", host_path(os.path.join(os.path.dirname(BINARY), "missing")))
        self.assertEqual(missing.returncode, 1)
        self.assertRegex(missing.stderr, r"^isabench-fidelity: cannot read .*missing\n")
        # Another format (this script) is no isabench here: before anything is timed.
        foreign = self.tool("--isabench", host_path(os.path.abspath(__file__)))
        self.assertEqual(foreign.returncode, 1)
        self.assertIn(f"is not an executable of this system ({'PE' if WINDOWS else 'ELF'})", foreign.stderr)

    def test_json_run(self):
        rounds = 6 if WINDOWS else 2
        out = self.tool("--json", "--rounds", str(rounds), "--progress", timeout=1500)
        self.assertEqual(out.returncode, 0, out.stderr)
        print(out.stdout)
        report = json.loads(out.stdout)
        self.assertEqual((report["schema"], report["rounds"]), (3, rounds))
        self.assertRegex(out.stderr, rf"(?m)^isabench-fidelity: paired round {rounds} of {rounds}: \d+ of \d+ forms timed")
        context = report["context"]
        self.assertEqual((context["processor"]["family"], context["processor"]["model"]),
                         (cpuinfo("cpu family"), cpuinfo("model")))
        # By default the isabench beside the tool.
        self.assertEqual(context["isabench"]["path"], host_path(os.path.realpath(BINARY)))
        self.assertRegex(context["system"], r"^Windows \d+\.\d+ build \d+" if WINDOWS else r"^Linux ")
        load = context["load_average"]
        self.assertEqual(load["why_null"] is not None, WINDOWS, load)
        self.assertEqual(load["before"] is None, WINDOWS, load)
        for window in ("before", "during"):
            busy = context["cpu_time_of_others"][window]
            self.assertGreaterEqual(busy["others_cpu_seconds"], 0, busy)
            self.assertAlmostEqual(busy["processors"], (busy["others_cpu_seconds"]
                                                        + (busy["steal_cpu_seconds"] or 0)) / busy["seconds"],
                                   delta=0.01)
        self.assertEqual([row["label"] for row in report["variants"]], [label for _, label in supported_variants()])
        check_figures(self, report, [report])
        where = audited_loops()
        functions = {row["label"]: row["function"] for row in TABLES["variants"]}
        for row in report["variants"]:
            self.assertEqual(row["own_form_address"], where[(functions[row["label"]], row["own_form_number"])],
                             row["label"])
            self.assertEqual(row["forms"][0]["form"], row["own_form"])
            bound, cycles = row["bound"], row["isabench_cycles_per_iteration"]
            check_bound(self, bound, row["label"])
            self.assertAlmostEqual(bound["ratio"] or 0, cycles / bound["cycles"] if cycles else 0, delta=0.002)
            if row["isabench_cycles_per_iteration"] is None:
                self.assertTrue([w for w in report["warnings"] if "could not be confirmed" in w], row["label"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="the tool's statistic, or its loops against the build's")
    parser.add_argument("tool", help="the isabench-fidelity executable")
    parser.add_argument("test", choices=["Statistic", "Explain", "OwnForms", "Run"])
    parser.add_argument("audit", nargs=argparse.REMAINDER,
                        help="OwnForms, Run: the audit's command line; Explain: the stand-in llvm-mca's folder")
    arguments = parser.parse_args()
    TOOL, AUDIT = arguments.tool, arguments.audit
    FAKE_LLVM_MCA = AUDIT[0] if arguments.test == "Explain" else None
    unittest.main(argv=[sys.argv[0], arguments.test], verbosity=2)
