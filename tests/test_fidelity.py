"""The fidelity guard and what it rests on.

Fidelity: every line of the built isabench against the loops the build
carries for every processor measured (the one this processor runs among
them), timed in paired rounds by isabench-fidelity: each ratio is a median
over the rounds of ratios within a round, with a 95% interval. A line whose
interval lies wholly above 1.10 runs a form or a placement that costs speed
on this processor, and misreports it: that fails. An interval wholly at or
below 1.10 passes. One that straddles it, on a machine too noisy to decide,
is measured again over twice the rounds, and a line still undecided is
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


def judge(row, decide):
    """'gap', 'faithful' or None (undecided) for one line against LIMIT;
    with `decide`, an undecided line is judged by its median."""
    low, high = row["ratio_to_fastest_interval"]
    if low is not None and low > LIMIT:
        return "gap"
    if high is not None and high <= LIMIT:
        return "faithful"
    if decide:
        return "gap" if row["ratio_to_fastest"] > LIMIT else "faithful"
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

    def test_each_line_runs_as_fast_as_the_fastest_loop_it_carries(self):
        verdicts = {}
        for rounds, decide in ((ROUNDS, False), (2 * ROUNDS, True)):
            report = measure(rounds)
            print(json.dumps(report, indent=1))
            rows = report["variants"]
            self.assertEqual([row["label"] for row in rows], [label for _, label in supported_variants()])
            for row in rows:
                self.check_cycles(row)
                verdicts[row["label"]] = (judge(row, decide), row["fastest_form"], row["ratio_to_fastest"],
                                          row["ratio_to_fastest_interval"])
            if all(v[0] for v in verdicts.values()):
                break
            print(f"undecided after {rounds} rounds: {[k for k, v in verdicts.items() if not v[0]]}")
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
