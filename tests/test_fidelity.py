"""The fidelity guard and what it rests on.

Fidelity: every line of the built isabench against the loops the build
carries for every processor measured (the one this processor runs among
them), timed in paired rounds by isabench-fidelity: each ratio is a median
over the rounds of ratios within a round, with a 95% interval. A line whose
interval lies wholly above 1.10 runs a form or a placement that costs speed
on this processor, and misreports it: that fails. An interval wholly at or
below 1.10 passes. One that straddles it, on a machine too noisy to decide,
gets as many rounds again, pooled with the first (each run reports every
loop's time in each round): over twice the rounds the fastest form is
chosen again and the same statistic taken, and a line still undecided is
judged by its median. Never an absolute time.

OwnForms: the loops the tool times for each line are, byte for byte and at
the same offset from a 64-byte boundary, the loops in the built executable
(read by the binary audit), every one of them. Otherwise the tool would
compare the lines with something other than themselves.

usage: test_fidelity.py FIDELITY_TOOL Fidelity
       test_fidelity.py FIDELITY_TOOL OwnForms AUDIT_COMMAND..."""
import argparse
import json
import re
import subprocess
import sys
import unittest

from harness import BINARY, LANES, VARIANTS, supported_variants

TOOL = None
AUDIT = []
LIMIT = 1.10
ROUNDS = 12


def measure(rounds):
    out = subprocess.run([TOOL, "--isabench", BINARY, "--json", "--rounds", str(rounds)], capture_output=True,
                         text=True, timeout=2400)
    if out.returncode != 0:
        raise AssertionError(f"isabench-fidelity failed: {out.stderr}")
    return json.loads(out.stdout)


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


def line_to_fastest(rows):
    """One line's (fastest form, median, interval) over the rounds of all of
    `rows` (that line's row of each run) together, chosen as the tool
    chooses: the form the own form is the most times slower than, among
    those whose interval of own / form lies wholly above 1."""
    line = [t for row in rows for t in row["isabench_seconds_by_round"]]
    forms = {form["form"]: [] for form in rows[0]["forms"]}
    for row in rows:
        for form in row["forms"]:
            forms[form["form"]] += form["seconds_by_round"]
    own = rows[0]["own_form"]
    fastest, top = own, None
    for name, times in forms.items():
        median, (low, _) = paired(quotients(forms[own], times))
        if name != own and low is not None and low > 1.0 and (top is None or median > top):
            fastest, top = name, median
    return (fastest, *paired(quotients(line, forms[fastest])))


def judge(median, interval, decide):
    """'gap', 'faithful' or None (undecided) for one line against LIMIT;
    with `decide`, an undecided line is judged by its median."""
    low, high = interval
    if low is not None and low > LIMIT:
        return "gap"
    if high is not None and high <= LIMIT:
        return "faithful"
    if decide:
        return "gap" if median > LIMIT else "faithful"
    return None


class Fidelity(unittest.TestCase):
    def check_cycles(self, row):
        """Cycles per iteration are the seconds at the clock the row names,
        over 1,000,000,000 / lanes iterations; none where that clock could not
        be confirmed."""
        for seconds, cycles in (("isabench_seconds", "isabench_cycles_per_iteration"),
                                ("own_form_seconds", "own_form_cycles_per_iteration"),
                                ("fastest_seconds", "fastest_cycles_per_iteration")):
            if not row["clock_confirmed"]:
                self.assertIsNone(row[cycles], row)
                continue
            expected = row[seconds] * row["clock_ghz"] * LANES[row["label"]]
            self.assertAlmostEqual(row[cycles], expected, delta=0.002, msg=f"{row['label']} {cycles}")

    def look(self, rounds):
        """One run's rows by label, checked against the lines this processor
        runs, their cycles, and the per-round times they report: from those
        alone the fastest form and the ratio to it come out as the tool's."""
        report = measure(rounds)
        print(json.dumps(report, indent=1))
        rows = report["variants"]
        self.assertEqual([row["label"] for row in rows], [label for _, label in supported_variants()])
        for row in rows:
            self.check_cycles(row)
            fastest, median, interval = line_to_fastest([row])
            self.assertEqual(fastest, row["fastest_form"], row["label"])
            for ours, tools in zip((median, *interval), (row["ratio_to_fastest"], *row["ratio_to_fastest_interval"])):
                self.assertAlmostEqual(ours, tools, delta=6e-5, msg=row["label"])
        return {row["label"]: row for row in rows}

    def test_each_line_runs_as_fast_as_the_fastest_loop_it_carries(self):
        first = self.look(ROUNDS)
        verdicts = {label: (judge(row["ratio_to_fastest"], row["ratio_to_fastest_interval"], False),
                            row["fastest_form"], row["ratio_to_fastest"], row["ratio_to_fastest_interval"])
                    for label, row in first.items()}
        undecided = [label for label, v in verdicts.items() if not v[0]]
        if undecided:
            # Pooled with the first look's rounds: the same forms, timed again.
            print(f"undecided after {ROUNDS} rounds: {undecided}; {ROUNDS} more")
            second = self.look(ROUNDS)
            for label in undecided:
                self.assertEqual([f["form"] for f in first[label]["forms"]],
                                 [f["form"] for f in second[label]["forms"]], label)
                fastest, median, interval = line_to_fastest([first[label], second[label]])
                verdicts[label] = (judge(median, interval, True), fastest, median, interval)
                print(f"{label} over {2 * ROUNDS} rounds: {median:.4f} {interval} against {fastest}")
        gaps = {label: v[1:] for label, v in verdicts.items() if v[0] == "gap"}
        self.assertFalse(gaps, f"slower than the fastest loop of the same shape by more than {LIMIT}")


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
    parser = argparse.ArgumentParser(description="the fidelity guard, or the tool's loops against the build's")
    parser.add_argument("tool", help="the isabench-fidelity executable")
    parser.add_argument("test", choices=["Fidelity", "OwnForms"])
    parser.add_argument("audit", nargs=argparse.REMAINDER, help="OwnForms: the audit's command line")
    arguments = parser.parse_args()
    TOOL, AUDIT = arguments.tool, arguments.audit
    unittest.main(argv=[sys.argv[0], arguments.test], verbosity=2)
