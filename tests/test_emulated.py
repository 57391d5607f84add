"""The real binary on emulated processors that lack extensions: each model
must print exactly the lines it can run, one skip message per other
variant, and never crash or print a line for a variant it cannot run.

usage: test_emulated.py MODEL   (a qemu-x86_64 -cpu model)"""
import shutil
import sys
import unittest

from harness import check_lines, check_merged_output, check_messages, supported_variants

# What each model offers, as the kernel would list it in /proc/cpuinfo.
MODELS = {
    "Conroe": {"pni", "ssse3"},
    "Nehalem": {"pni", "ssse3", "sse4_1", "sse4_2"},
    "SandyBridge": {"pni", "ssse3", "sse4_1", "sse4_2", "avx"},
    "Haswell": {"pni", "ssse3", "sse4_1", "sse4_2", "avx", "avx2"},
}
EXPECTED_LABELS = {
    "Conroe": ["scalar", "SSE2"],
    "Nehalem": ["scalar", "SSE2", "SSE4.2"],
    "SandyBridge": ["scalar", "SSE2", "SSE4.2", "AVX"],
    "Haswell": ["scalar", "SSE2", "SSE4.2", "AVX", "AVX2"],
}


class Emulated(unittest.TestCase):
    model = None

    def test_model(self):
        supported = supported_variants(MODELS[self.model])
        self.assertEqual([label for _, label in supported], EXPECTED_LABELS[self.model])
        # qemu adds warnings of its own about features its emulator lacks.
        lines, messages = check_merged_output(
            self, runner=[shutil.which("qemu-x86_64"), "-cpu", self.model], noise=("qemu-x86_64:",))
        check_lines(self, lines, supported)
        check_messages(self, messages, supported)


if __name__ == "__main__":
    Emulated.model = sys.argv.pop(1)
    if shutil.which("qemu-x86_64") is None:
        sys.exit("qemu-x86_64 not found (Debian package qemu-user)")
    unittest.main(verbosity=2)
