"""The real binary on emulated processors that lack extensions: each model
must print exactly the lines it can run, one skip message per other
variant, and never crash or print a line for a variant it cannot run.
These are the expectations of hosts without AVX-512 (or without more), run
on whatever processor the tests land on.

usage: test_emulated.py MODEL [TEST ...]   (MODEL: a qemu-x86_64 -cpu model)"""
import argparse
import shutil
import sys
import unittest

from harness import (EXTENSIONS, TABLES, check_lines, check_merged_output, check_messages, check_write_failure,
                     cpuinfo_flags, supported_variants)

# The extensions each model offers (by their names in the tables), as the
# kernel would list them in /proc/cpuinfo: it lists AVX and AVX2 only where
# XSAVE lets it save the AVX registers. Which lines each model runs follows
# from the tables alone.
NEHALEM = {"SSE3", "SSSE3", "SSE41", "SSE42"}
MODELS = {
    "Conroe": {"SSE3", "SSSE3"},
    "Nehalem": NEHALEM,
    "SandyBridge": NEHALEM | {"AVX"},
    "Haswell": NEHALEM | {"AVX", "AVX2"},
    "Haswell,-xsave": NEHALEM,
}
STATES = {row["NAME"] for row in TABLES["states"]}
# qemu adds warnings of its own about features its emulator lacks.
NOISE = ("qemu-x86_64:",)


class Emulated(unittest.TestCase):
    model = None

    def setUp(self):
        self.runner = [shutil.which("qemu-x86_64"), "-cpu", self.model]
        self.supported = supported_variants(cpuinfo_flags(MODELS[self.model]))

    def test_lines_and_messages(self):
        lines, messages = check_merged_output(self, runner=self.runner, noise=NOISE)
        check_lines(self, lines, self.supported)
        check_messages(self, messages, self.supported)
        if self.model == "Haswell,-xsave":
            # The processor has AVX; what it lacks is the register state, all
            # that the first variant needing register state is said to need.
            variant, state = next((row, EXTENSIONS[n]) for row in TABLES["variants"] for n in row["needs"]
                                  if n in STATES)
            self.assertIn(f"isabench: {variant['label']} variant skipped: needs {state['text']}", messages)

    def test_write_failure(self):
        check_write_failure(self, self.supported, runner=self.runner, noise=NOISE)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="the built binary on an emulated processor")
    parser.add_argument("model", choices=sorted(MODELS), help="a qemu-x86_64 -cpu model")
    parser.add_argument("tests", nargs="*", help="the tests to run, as unittest names them (default: all)")
    arguments = parser.parse_args()
    Emulated.model = arguments.model
    if shutil.which("qemu-x86_64") is None:
        sys.exit("qemu-x86_64 not found (Debian package qemu-user)")
    unittest.main(argv=[sys.argv[0], *arguments.tests], verbosity=2)
