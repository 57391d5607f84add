"""End to end on the built binary: its lines, its exit status, its silence
on standard error, and its report of a failed write."""
import os
import unittest

from harness import SUM, line_pattern, results_lines, run, supported_variants


class ResultsLines(unittest.TestCase):
    def check_run(self, result):
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.endswith(b"\n"), result.stdout)
        lines = results_lines(result.stdout)
        expected = supported_variants()
        self.assertEqual(len(lines), len(expected), lines)
        for line, (tag, label) in zip(lines, expected):
            self.assertRegex(line, line_pattern(tag, label))
        return lines

    def test_lines_and_status(self):
        result = run()
        self.check_run(result)
        self.assertEqual(result.stderr, b"")

    def test_arguments_are_ignored(self):
        result = run(["--help", "-x", "", "42", "über"], env={"ISABENCH_IGNORED": "1"})
        lines = self.check_run(result)
        self.assertEqual(result.stderr, b"")
        # Same lines apart from the time.
        self.assertTrue(all(f"s={SUM} " in line for line in lines))


class WriteFailure(unittest.TestCase):
    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_full_device_is_an_error(self):
        with open("/dev/full", "wb") as full:
            result = run(stdout=full)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(b"could not write the results", result.stderr)
        self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
