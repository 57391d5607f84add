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

    def test_audit_functions_are_short(self):
        """Each function of the audit reads in one screen: none in
        tools/audit is longer than 90 lines, counted by braces from the line
        that opens it (a function, a method, or an arrow function given a
        name) to the line that closes it."""
        root = os.path.join(os.path.dirname(DOC), "..", "tools", "audit")
        opens = re.compile(r"^\s*(?!(?:if|for|while|switch|catch|return)\b)(?:export\s+)?(?:async\s+)?"
                           r"(?:function\b.*|(?:const|let)\s+\w+\s*=\s*.*=>\s*|\w+\s*\(.*\)\s*|\w+\s*:\s*.*=>\s*)\{$")
        # Braces in strings, regular expressions' classes and comments do not count.
        noise = re.compile(r"//.*|\"(?:\\.|[^\"\\])*\"|'(?:\\.|[^'\\])*'|\[(?:\\.|[^\]\\])*\]")
        long = []
        for directory, subdirectories, files in os.walk(root):
            subdirectories[:] = [d for d in subdirectories if d != "node_modules"]
            for name in (f for f in files if f.endswith(".mjs")):
                path = os.path.join(directory, name)
                with open(path, encoding="utf-8") as source:
                    lines = [noise.sub("", line.rstrip()) for line in source]
                for first, line in enumerate(lines):
                    if not opens.match(line):
                        continue
                    depth, last = 0, first
                    for last in range(first, len(lines)):
                        depth += lines[last].count("{") - lines[last].count("}")
                        if depth <= 0:
                            break
                    if last - first + 1 > 90:
                        long.append(f"{os.path.relpath(path, root)}:{first + 1}: {last - first + 1} lines")
        self.assertEqual(long, [], "audit functions longer than 90 lines")


if __name__ == "__main__":
    AUDIT = sys.argv[1:]
    del sys.argv[1:]
    unittest.main(verbosity=2)
