"""The fidelity guard and what it rests on.

Fidelity: every line of the built isabench against loops of its shape in
the forms known to be fastest on some processor, timed alternately in one
session by isabench-fidelity. A line more than 1.10 times slower than the
fastest of them runs a form or a placement that costs speed on this
processor, and misreports it. One retry, so that a burst of load on the
machine cannot fail it alone. Never an absolute time.

OwnForms: the loop the tool times as each line's own form is, byte for byte
and at the same offset from a 64-byte boundary, the loop in the built
executable (read by the binary audit). Otherwise the tool would compare the
lines with something other than themselves.

usage: test_fidelity.py FIDELITY_TOOL Fidelity
       test_fidelity.py FIDELITY_TOOL OwnForms AUDIT_COMMAND..."""
import json
import re
import subprocess
import sys
import unittest

from harness import BINARY, VARIANTS, supported_variants

TOOL = None
AUDIT = []
LIMIT = 1.10


def measure():
    out = subprocess.run([TOOL, "--isabench", BINARY, "--json"], capture_output=True, text=True, timeout=1500)
    if out.returncode != 0:
        raise AssertionError(f"isabench-fidelity failed: {out.stderr}")
    return json.loads(out.stdout)


# Elements per iteration of each line's loop, as the benchmark defines them.
LANES = {"scalar": 1, "SSE2": 2, "SSE4.2": 2, "AVX": 2, "AVX2": 4, "AVX512": 8}


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

    def test_each_line_runs_as_fast_as_the_fastest_known_form(self):
        for attempt in (1, 2):
            report = measure()
            print(json.dumps(report, indent=1))
            rows = report["variants"]
            self.assertEqual([row["label"] for row in rows], [label for _, label in supported_variants()])
            for row in rows:
                self.check_cycles(row)
            slow = [(row["label"], row["fastest_form"], round(row["ratio_to_fastest"], 3))
                    for row in rows if row["ratio_to_fastest"] > LIMIT]
            if not slow:
                return
            print(f"attempt {attempt}: slower than the fastest form by more than {LIMIT}: {slow}")
        self.fail(f"slower than the fastest form of the same shape by more than {LIMIT} twice: {slow}")


class OwnForms(unittest.TestCase):
    def test_own_forms_are_the_built_loops(self):
        tool = subprocess.run([TOOL, "--own-forms"], capture_output=True, text=True, check=True).stdout
        own = [line.split("\t") for line in tool.splitlines()]
        self.assertEqual([label for label, *_ in own], [label for _, label, _ in VARIANTS])
        audit = subprocess.run(AUDIT + ["--list", BINARY], capture_output=True, text=True).stdout
        built = re.findall(r"^(bench_\w+) @ [0-9a-f]+, workload loop (\d+) bytes past a 64-byte boundary: ([0-9a-f]+)$",
                           audit, re.M)
        self.assertEqual(len(built), len(own), audit)
        for (label, form, offset, loop), (function, built_offset, built_loop) in zip(own, built):
            with self.subTest(label=label, form=form):
                self.assertEqual((offset, loop), (built_offset, built_loop), f"{function} is not the form {form}")


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    if sys.argv[1:2] == ["OwnForms"]:
        AUDIT = sys.argv[2:]
        del sys.argv[2:]
    unittest.main(verbosity=2)
