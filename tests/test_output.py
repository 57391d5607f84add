"""End to end on the built binary: its lines, its exit status, its silence
on standard error, and its report of a failed write."""
import os
import unittest

from harness import (check_lines, check_merged_output, check_messages, check_results, check_write_failure, run,
                     run_streaming, supported_variants)


class ResultsLines(unittest.TestCase):
    def test_lines_skip_messages_and_status(self):
        result, running = run_streaming()
        check_results(self, result, supported_variants())
        self.assertTrue(result.stdout.endswith(b"\n"))
        # Each line leaves as its variant finishes, also into a pipe: the
        # first arrives while the other variants are still running.
        self.assertTrue(running, "the first line arrived only when the program ended")

    def test_arguments_are_ignored(self):
        # Same lines apart from the times, same messages, same status.
        result = run(["--help", "-x", "", "42", "über"], env={"ISABENCH_IGNORED": "1"})
        check_results(self, result, supported_variants())

    def test_lines_precede_skip_messages_in_one_stream(self):
        # With both streams into one file, every results line comes before
        # any message about a skipped variant.
        lines, messages = check_merged_output(self)
        check_lines(self, lines, supported_variants())
        check_messages(self, messages, supported_variants())


class WriteFailure(unittest.TestCase):
    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_full_device_is_an_error(self):
        # Skip messages, where this processor lacks an extension, come first.
        check_write_failure(self, supported_variants())


if __name__ == "__main__":
    unittest.main(verbosity=2)
