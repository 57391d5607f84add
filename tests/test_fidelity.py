"""The fidelity guard: every line of the built isabench against a
hand-written loop of its exact shape, timed alternately in one session by
isabench-fidelity. A ratio above 1.25 means the build runs its loop slower
than the shape allows (a misplaced loop shows as 1.5 to 2 times); noise on a
shared machine is a few percent. One retry, so that a burst of load on the
machine cannot fail it alone. Never an absolute time.

usage: test_fidelity.py FIDELITY_TOOL"""
import json
import subprocess
import sys
import unittest

from harness import BINARY, supported_variants

TOOL = None
LIMIT = 1.25


def measure():
    out = subprocess.run([TOOL, "--isabench", BINARY, "--json"], capture_output=True, text=True, timeout=900)
    if out.returncode != 0:
        raise AssertionError(f"isabench-fidelity failed: {out.stderr}")
    return json.loads(out.stdout)


class Fidelity(unittest.TestCase):
    def test_each_line_runs_as_fast_as_its_shape(self):
        for attempt in (1, 2):
            report = measure()
            print(json.dumps(report, indent=1))
            rows = report["variants"]
            self.assertEqual([row["label"] for row in rows], [label for _, label in supported_variants()])
            slow = [row["label"] for row in rows if row["ratio"] > LIMIT]
            if not slow:
                return
            print(f"attempt {attempt}: slower than the reference by more than {LIMIT}: {slow}")
        self.fail(f"slower than the hand-written loop of the same shape by more than {LIMIT} twice: {slow}")


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main(verbosity=2)
