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

usage: test_fidelity.py FIDELITY_TOOL Statistic
       test_fidelity.py FIDELITY_TOOL OwnForms AUDIT_COMMAND..."""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

from harness import BINARY, LANES, SOURCE, VARIANTS

TOOL = None
AUDIT = []
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


def recompute(reports, goal):
    """Each line's figures over the pooled rounds of `reports` (--json
    outputs), by label: the own form's time over each loop's with `faster`,
    the fastest form (the one the own form is the most times slower than,
    among those whose interval of own / form lies wholly above 1), the line
    over its own form and over the fastest, and the verdict."""
    figures = {}
    for row in reports[0]["variants"]:
        rows = [next(r for r in report["variants"] if r["label"] == row["label"]) for report in reports]
        line = [t for r in rows for t in r["isabench_seconds_by_round"]]
        forms = {form["form"]: [t for r in rows for f in r["forms"] if f["form"] == form["form"]
                                for t in f["seconds_by_round"]] for form in row["forms"]}
        own = forms[row["own_form"]]
        over_own = {name: paired(quotients(own, times)) for name, times in forms.items()}
        faster = {name: name != row["own_form"] and p[1][0] is not None and p[1][0] > 1.0
                  for name, p in over_own.items()}
        fastest = max((name for name in forms if faster[name]), key=lambda name: over_own[name][0],
                      default=row["own_form"])
        to_fastest = paired(quotients(line, forms[fastest]))
        figures[row["label"]] = {
            "ratio_to_own_form": paired(quotients(line, own)), "forms": over_own, "faster": faster,
            "fastest_form": fastest, "ratio_to_fastest": to_fastest, "verdict": verdict(to_fastest[1], goal)}
    return figures


def rejudge(*paths, goal=None):
    out = subprocess.run([TOOL, "--rejudge", *(["--goal", str(goal)] if goal else []), *paths],
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
        test.assertEqual(row["fastest_confirmed"], row["fastest_form"] != row["own_form"], label)
        for form in row["forms"]:
            median, interval = mine["forms"][form["form"]]
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
SCALAR = ("scalar own", "scalar other")
AVX2 = ("AVX2 own", "AVX2 faster")
AVX512 = ("AVX512 own", "AVX512 other")
HAND_MADE = [
    {"scalar": ([1.2, 0.97, 1.0, 1.01, 0.98, 1.02, 1.0, 1.03, 0.99, 1.01, 1.0, 1.02], SCALAR, [1.0] * 12),
     "AVX2": ([1.0, 0.98, 1.02, 0.99, 1.01, 1.0, 1.0, 0.97, 1.03, 1.0, 0.96, 1.04], AVX2, [0.5] * 12),
     "AVX512": ([1.3, 0.9, 1.12, 1.0, 1.06, 0.95, 1.04, 1.2, 1.0, 1.08, 1.02, 1.05], AVX512, [1.0] * 12)},
    {"scalar": ([1.2, 0.97, 1.0, 1.01, 0.98, 1.02, 1.0, 1.03, 0.99, 1.01, 1.0, 1.02], SCALAR, [1.0] * 12),
     "AVX2": ([1.0, 0.98, 1.02, 0.99, 1.01, 1.0, 1.0, 0.97, 1.03, 1.0, 0.96, 1.04], AVX2, [0.5] * 12),
     "AVX512": ([1.0, 1.15, 0.99, 1.11, 1.01, 1.13, 1.0, 1.14, 0.98, 1.12, 1.0, 1.16], AVX512, [1.0] * 12)},
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
    return {"schema": 1, "context": {"tool": "hand-made"}, "search": False, "variants": variants}


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
        form's speed, is slower at 2.0 [1.96..2.04]. AVX512: 1.045 in
        [1.0..1.12], undecided. Pooled with the second run's 12 rounds, the
        interval runs from the 7th to the 18th of 24: scalar [1.0..1.02],
        AVX2 [1.98..2.02], AVX512 1.045 in [1.0..1.12], still undecided.
        Over 5 rounds there is no interval: scalar 1.0, undecided."""
        first, second = (self.write(f"run{k}.json", hand_made(run)) for k, run in enumerate(HAND_MADE))
        few = self.write("few.json", hand_made(HAND_MADE[0], ["scalar"], rounds=5))
        expected = {
            (first,): {"scalar": (1.005, [0.99, 1.02], "within"), "AVX2": (2.0, [1.96, 2.04], "slower"),
                       "AVX512": (1.045, [1.0, 1.12], "undecided")},
            (first, second): {"scalar": (1.005, [1.0, 1.02], "within"), "AVX2": (2.0, [1.98, 2.02], "slower"),
                              "AVX512": (1.045, [1.0, 1.12], "undecided")},
            (few,): {"scalar": (1.0, [None, None], "undecided")},
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
                self.assertEqual(rows.get("AVX2", {}).get("fastest_form", AVX2[1]), AVX2[1])
        # A run the tool cannot pool with the first: other loops.
        other = hand_made(HAND_MADE[1])
        other["variants"][0]["forms"][1]["form"] = "scalar changed"
        out = subprocess.run([TOOL, "--rejudge", first, self.write("other.json", other)], capture_output=True,
                             text=True)
        self.assertNotEqual(out.returncode, 0)
        self.assertIn("not the loops", out.stderr)

    def test_benchmark_command(self):
        """tools/run-benchmarks against its limit of 1.10: AVX2 slower (status
        1); AVX512, undecided after 12 rounds and after 24, by its median 1.045
        within; without the AVX2 line, status 0."""
        benchmarks = os.path.join(SOURCE, "tools", "run-benchmarks")
        for labels, status in ((None, 1), (["scalar", "AVX512"], 0)):
            paths = [self.write(f"run{k}.json", hand_made(run, labels)) for k, run in enumerate(HAND_MADE)]
            out = subprocess.run([sys.executable, benchmarks, "--tool", TOOL, "--recorded", *paths],
                                 capture_output=True, text=True)
            self.assertEqual(out.returncode, status, out.stdout + out.stderr)
            self.assertRegex(out.stdout, r"(?m)^scalar: within, 12 rounds: 1\.0050 \[0\.9900\.\.1\.0200\]")
            self.assertRegex(out.stdout, r"(?m)^AVX512: within, 24 rounds: 1\.0450 \[1\.0000\.\.1\.1200\] "
                                         r"against AVX512 own, judged by its median$")
            if labels is None:
                self.assertRegex(out.stdout, r"(?m)^AVX2: slower, 12 rounds: 2\.0000 \[1\.9600\.\.2\.0400\] "
                                             r"against AVX2 faster$")


class OwnForms(unittest.TestCase):
    def test_own_forms_are_the_built_loops(self):
        tool = subprocess.run([TOOL, "--own-forms"], capture_output=True, text=True, check=True).stdout
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


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="the tool's statistic, or its loops against the build's")
    parser.add_argument("tool", help="the isabench-fidelity executable")
    parser.add_argument("test", choices=["Statistic", "OwnForms"])
    parser.add_argument("audit", nargs=argparse.REMAINDER, help="OwnForms: the audit's command line")
    arguments = parser.parse_args()
    TOOL, AUDIT = arguments.tool, arguments.audit
    unittest.main(argv=[sys.argv[0], arguments.test], verbosity=2)
