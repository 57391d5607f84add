"""The audit's rules are documented once, in docs/audit.md, as the table the
audit itself prints with --rules: a rule added, dropped or reworded in the
code without the document fails here, and the message gives the table to
paste. The same for its --help, whose usage a mistaken command line gets.

usage: test_docs.py AUDIT_COMMAND..."""
import os
import re
import subprocess
import sys
import unittest

AUDIT = []
DOC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs", "audit.md")


class AuditDocumented(unittest.TestCase):
    def test_rules_table_is_the_audits(self):
        printed = subprocess.run(AUDIT + ["--rules"], capture_output=True, text=True, check=True).stdout
        rules = [re.match(r"^(\S+)\s+\[([^\]]+)\]\s+(.*)$", line).groups() for line in printed.splitlines()]
        expected = "".join(f"| `{rule}` | {where} | {claim} |\n" for rule, where, claim in rules)
        with open(DOC, encoding="utf-8") as doc:
            documented = "".join(line for line in doc if line.startswith("| `"))
        self.assertEqual(documented, expected, "docs/audit.md's table is not what --rules prints")

    def test_help_is_the_audits(self):
        printed = subprocess.run(AUDIT + ["--help"], capture_output=True, text=True, check=True).stdout
        with open(DOC, encoding="utf-8") as doc:
            shown = re.search(r"^```text\n(.*?)^```$", doc.read(), re.M | re.S)
        self.assertIsNotNone(shown, "docs/audit.md shows no --help")
        self.assertEqual(shown.group(1), printed, "docs/audit.md's --help is not what --help prints")

    def test_unknown_option_is_one_line_and_the_usage(self):
        usage = subprocess.run(AUDIT + ["--help"], capture_output=True, text=True, check=True).stdout.split("\n\n")[0]
        wrong = subprocess.run(AUDIT + ["--frobnicate", "isabench"], capture_output=True, text=True)
        self.assertEqual((wrong.returncode, wrong.stdout), (2, ""))
        self.assertEqual(wrong.stderr, f"audit: unknown option '--frobnicate'\n{usage}\n")


if __name__ == "__main__":
    AUDIT = sys.argv[1:]
    del sys.argv[1:]
    unittest.main(verbosity=2)
