"""What is written once and read everywhere else.

AuditDocumented: the audit's rules are documented once, in docs/audit.md,
as the table the audit itself prints with --rules: a rule added, dropped or
reworded in the code without the document fails here, and the message gives
the table to paste. The same for its --help, whose usage a mistaken command
line gets.

FactSheet: each fact of the ladder of variants is written once, in
src/variants/variants.def and src/harness/cpu_features.def, and read from
there by the build, the program, the audit, the fidelity tool and the tests
(through src/tables.json outside C++). No other source may spell an
extension's compiler flag where the build takes its flags (CMake) or pins
an instruction set (a target attribute), nor a list of them anywhere; an
extension's CPUID bits beside its name; a variant's lanes beside its name,
or as the number a loop is built for; a loop's form with its offset, or a
loop's offset as one; a list of the variants' labels; a variant's tag, as a
string or as a results line begins; or a processor's models (its vendor
with its family and a model of its range). Documents and the results they
quote are not sources.

Contributing: docs/CONTRIBUTING.md's lists of what adding a variant and
adding a processor touch name files that exist, and each named source is
built with the tables: it reads them, directly or through a file it
includes, or is included by a file that does.

usage: test_docs.py AuditDocumented AUDIT_COMMAND...
       test_docs.py FactSheet
       test_docs.py Contributing"""
import argparse
import os
import re
import subprocess
import sys
import unittest

from harness import SOURCE, TABLES, TABLES_JSON

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


FEATURES = TABLES["features"]
STATES = TABLES["states"]
VARIANT_ROWS = TABLES["variants"]
LOOP_ROWS = TABLES["loops"]

# What is source: code, build files and scripts, not documents.
SOURCE_SUFFIXES = (".cpp", ".h", ".c", ".S", ".def", ".cmake", ".txt", ".py", ".mjs", ".js", ".sh")
SKIPPED_DIRECTORIES = {".git", "node_modules", "__pycache__", "docs"}


def word(text):
    """`text` as a whole word of a line."""
    return r"(?<![\w.-])" + re.escape(text) + r"(?![\w-])"


def mask_pattern(value):
    """A mask's value however C, JavaScript or Python spell it: a shifted one
    for a single bit, or hexadecimal."""
    spellings = [r"0x0*" + format(value, "x") + r"\b"]
    if value & (value - 1) == 0:
        spellings.append(r"\b1[uUlL]*\s*<<\s*" + str(value.bit_length() - 1) + r"\b")
    return re.compile("|".join(spellings), re.I)


def form_name(loop):
    """A loop as the fidelity tool names it: its tokens, then @offset."""
    tokens = [loop[k].replace("_", "-") for k in ("order", "counter", "position", "copy", "xor_op") if loop[k]]
    return " ".join(tokens) + " @" + str(loop["offset"])


FLAGS = [("-m" + f["compiler"], re.compile(word("-m" + f["compiler"]))) for f in FEATURES]
TARGETS = re.compile(r"target\s*\(\s*\"[^\"]*\b(" + "|".join(re.escape(f["compiler"]) for f in FEATURES) + r")\b")
MASKS = [(row["NAME"], mask_pattern(row["mask"]),
          re.compile("|".join(word(row[k]) for k in ("NAME", "compiler", "decoder", "cpuinfo", "text") if row.get(k))))
         for row in FEATURES + STATES]
LANES = [(variant["label"], re.compile("|".join(
    r"(?<![\w.-])" + re.escape(variant[k]) + r"[\"']?\s*[:,]\s*(" + str(variant["lanes"]) + "|"
    + str(64 * variant["lanes"]) + r")\b" for k in ("NAME", "function", "label"))))
    for variant in VARIANT_ROWS]
# The lanes*.h macros that build a loop for a number of lanes.
LANES_MACRO = re.compile(r"ISABENCH_(COUNTS|WIDE_LOOP)\((\"[^\"]*\",\s*)?\d")
FORMS = [form_name(loop) for loop in LOOP_ROWS]
# Where a loop's offset is spelled as one: after an @, "offset" or the
# placement macro. (Offset 0 is every line's start, not a fact.)
OFFSETS = re.compile(r"(@|\boffset\s*[:=,]?\s*|ISABENCH_LOOP_AT\(\s*)("
                     + "|".join(sorted({str(loop["offset"]) for loop in LOOP_ROWS if loop["offset"]})) + r")\b")
# The labels; those that are no extension's name in any column too (AVX is
# both) mark a line that spells several as a list of the lines.
LABELS = [variant["label"] for variant in VARIANT_ROWS]
EXTENSION_NAMES = {row[k] for row in FEATURES + STATES for k in ("NAME", "decoder", "cpuinfo", "text") if k in row}
QUOTED = re.compile(r"\"((?:\\.|[^\"\\])*)\"|'((?:\\.|[^'\\])*)'")
# A results line's tag and its closing parenthesis, as a line is printed or
# matched; a tag as a string of its own.
TAGS = {variant["tag"]: variant["label"] for variant in VARIANT_ROWS}
TAGGED = re.compile(r"(?<![\w])(" + "|".join(re.escape(tag.strip()) for tag in TAGS) + r")\\*\) s=")


def number_pattern(value):
    """A number as C, JavaScript or Python spell it: decimal or hexadecimal."""
    return r"(?<![\w.])(" + str(value) + r"|0x0*" + format(value, "x") + r")(?![\w.])"


# A processor's models: a vendor with its family and one of its models.
MODELS = [(row["NAME"], re.compile(re.escape(f'"{row["vendor"]}"')), re.compile(number_pattern(row["family"]), re.I),
           re.compile("|".join(number_pattern(row[k]) for k in ("first_model", "last_model")), re.I))
          for row in TABLES["models"]]


def labels_quoted(line):
    """The labels that `line` spells inside its quoted strings."""
    texts = [a if a is not None else b for a, b in QUOTED.findall(line)]
    return {label for label in LABELS if any(re.search(word(label), text) for text in texts)}


def copies(path, line):
    """What `line` of the source at `path` spells that only the tables may."""
    found = []
    flags = [flag for flag, pattern in FLAGS if pattern.search(line)]
    if len(flags) > 1 or (flags and (path.endswith(".cmake") or os.path.basename(path) == "CMakeLists.txt")):
        found.append("the compiler flags " + " ".join(flags))
    # The planted faults of tests/faults build code for the wrong set on purpose.
    if path.startswith("src" + os.sep) and TARGETS.search(line):
        found.append("an instruction set as a target attribute")
    found += [f"the CPUID bits of {name}" for name, mask, names in MASKS if mask.search(line) and names.search(line)]
    found += [f"the lanes of {label}" for label, pattern in LANES if pattern.search(line)]
    if LANES_MACRO.search(line):
        found.append("a loop's lanes as a number")
    found += [f"the loop {form}" for form in FORMS if form in line]
    if OFFSETS.search(line):
        found.append(f"a loop's offset ({OFFSETS.search(line).group(0)})")
    labels = labels_quoted(line)
    if len(labels) > 1 and labels - EXTENSION_NAMES:
        found.append("the labels " + " ".join(label for label in LABELS if label in labels))
    found += [f"the tag of {TAGS[tag]}" for tag in TAGS if f'"{tag}"' in line or f"'{tag}'" in line]
    if TAGGED.search(line):
        found.append("a results line's tag")
    found += [f"the models of {name}" for name, vendor, family, model in MODELS
              if vendor.search(line) and family.search(line) and model.search(line)]
    return found


def source_files():
    """The sources of the tree: every file of SOURCE_SUFFIXES, and scripts,
    outside the tables, the documents and any build folder."""
    tables = {os.path.abspath(os.path.join(SOURCE, "src", "variants", "variants.def")),
              os.path.abspath(os.path.join(SOURCE, "src", "harness", "cpu_features.def")), os.path.abspath(TABLES_JSON)}
    for folder, directories, files in os.walk(SOURCE):
        directories[:] = [d for d in directories if d not in SKIPPED_DIRECTORIES
                          and not os.path.exists(os.path.join(folder, d, "CMakeCache.txt"))]
        for name in files:
            path = os.path.join(folder, name)
            if os.path.abspath(path) in tables:
                continue
            if name.endswith(SOURCE_SUFFIXES) or ("." not in name and is_script(path)):
                yield os.path.relpath(path, SOURCE)


def is_script(path):
    with open(path, "rb") as f:
        return f.read(2) == b"#!"


class FactSheet(unittest.TestCase):
    maxDiff = None

    def test_no_source_outside_the_tables_spells_their_facts(self):
        found = []
        for path in source_files():
            with open(os.path.join(SOURCE, path), encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    found += [f"{path}:{number}: {what}" for what in copies(path, line)]
        self.assertEqual(found, [], "spelled outside src/variants/variants.def and src/harness/cpu_features.def")

    def test_each_kind_of_copy_is_found(self):
        # One copy of each kind, made from the tables as someone retyping
        # them would write it: what the test above must not miss.
        avx2 = next(f for f in FEATURES if f["NAME"] == "AVX2")
        widest = VARIANT_ROWS[-1]
        models = TABLES["models"][-1]
        cases = [
            ("CMakeLists.txt", f"set(ISABENCH_AVX2_FLAGS ${{ISABENCH_AVX_FLAGS}} -m{avx2['compiler']})"),
            ("tools/x.py", "FLAGS = '" + " ".join(flag for flag, _ in FLAGS) + "'"),
            ("src/x.h", f'#pragma GCC target("{avx2["compiler"]}")'),
            ("tests/x.cpp", f"constexpr uint32_t {avx2['NAME']} = 1u << {avx2['mask'].bit_length() - 1};"),
            ("tests/x.py", f'LANES = {{"{widest["label"]}": {widest["lanes"]}}}'),
            ("tools/audit/x.mjs", f'variant("{widest["function"]}", {64 * int(widest["lanes"])}, "evex")'),
            ("src/variants/x.h", f'#define ISABENCH_LOOP_X(...) ISABENCH_WIDE_LOOP("v", {widest["lanes"]}, c, __VA_ARGS__)'),
            ("tools/x.mjs", f'const FASTEST = "{FORMS[-1]}";'),
            ("tools/x.mjs", f"const loop = {{ offset: {LOOP_ROWS[-1]['offset']} }};"),
            ("tests/x.cpp", f'{{"every extension", offering(ALL), "{" ".join(LABELS)}"}},'),
            ("tools/x.py", "WIDTHS = [" + ", ".join(f'"{label}"' for label in LABELS) + "]"),
            ("tests/x.py", f'SECOND_TAG = "{VARIANT_ROWS[-1]["tag"]}"'),
            ("tests/x.txt", f'PASS_REGULAR_EXPRESSION "{VARIANT_ROWS[-1]["tag"]}\\\\) s=D1F0AD400 t="'),
            ("tests/x.cpp", f'{{"{models["vendor"]}", {hex(models["family"])}, {hex(models["first_model"])}, '
                            f'{hex(models["last_model"])}}},'),
        ]
        for path, line in cases:
            with self.subTest(line=line):
                self.assertTrue(copies(path, line), f"{path}: {line}")


CONTRIBUTING = os.path.join(SOURCE, "docs", "CONTRIBUTING.md")
TABLE_FILES = ("variants.def", "cpu_features.def", "tables.json")
# A file another includes or imports, by its path relative to the includer.
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"|\bfrom\s+"(\.[^"]+)"', re.M)


def listed_files(section):
    """The paths named in the numbered list of CONTRIBUTING's `section`."""
    with open(CONTRIBUTING, encoding="utf-8") as f:
        text = f.read()
    body = text.split(f"\n## {section}\n", 1)[1].split("\n## ", 1)[0]
    items = re.findall(r"^\d+\. (.*?)(?=^\d+\. |^$)", body, re.M | re.S)
    names = re.findall(r"`([^`\s]+)`", "".join(items))
    return [n for n in names if "/" in n or re.search(r"\.(md|txt|json|def|h|cpp|mjs|py|cmake)$", n)]


def includes(path):
    """The files of the tree that `path` includes or imports."""
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    found = [os.path.normpath(os.path.join(os.path.dirname(path), a or b)) for a, b in INCLUDE.findall(text)]
    return [each for each in found if os.path.isfile(each)]


def reads_tables(path, seen=None):
    """Whether `path` names a table file, or includes a file that does."""
    seen = set() if seen is None else seen
    if path in seen:
        return False
    seen.add(path)
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    if any(name in text for name in TABLE_FILES):
        return True
    return any(reads_tables(each, seen) for each in includes(path))


class Contributing(unittest.TestCase):
    def test_each_file_named_exists_and_is_built_with_the_tables(self):
        sources = [os.path.join(folder, name) for folder, directories, files in os.walk(SOURCE)
                   for name in files if name.endswith((".cpp", ".h", ".S", ".def"))
                   and not any(part in SKIPPED_DIRECTORIES or part.startswith("build") for part in
                               os.path.relpath(folder, SOURCE).split(os.sep))]
        for section in ("Adding a variant", "Adding a processor"):
            named = listed_files(section)
            self.assertTrue(named, section)
            for name in named:
                with self.subTest(section=section, file=name):
                    # A name without a folder is at the top or, as the
                    # document's own links, beside it in docs/.
                    path = os.path.normpath(os.path.join(SOURCE, name))
                    if "/" not in name and not os.path.exists(path):
                        path = os.path.join(SOURCE, "docs", name)
                    if name.endswith("/"):
                        self.assertTrue(os.path.isdir(path), f"{name} does not exist")
                        continue
                    if re.search(r"[A-Z]{3,}", os.path.basename(name).split(".")[0]):
                        # A file to be written (NAME.cpp): its folder exists.
                        self.assertTrue(os.path.isdir(os.path.dirname(path)), name)
                        continue
                    self.assertTrue(os.path.isfile(path), f"{name} does not exist")
                    if name.startswith("docs/") or name.endswith((".md", ".txt")) or name.endswith(TABLE_FILES):
                        continue
                    included_by = [each for each in sources if path in includes(each)]
                    self.assertTrue(reads_tables(path) or any(reads_tables(each) for each in included_by),
                                    f"{name} neither reads the tables nor is included by a file that does")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="what is written once and read everywhere else")
    parser.add_argument("test", choices=["AuditDocumented", "FactSheet", "Contributing"])
    parser.add_argument("audit", nargs=argparse.REMAINDER, help="AuditDocumented: the audit's command line")
    arguments = parser.parse_args()
    AUDIT = arguments.audit
    unittest.main(argv=[sys.argv[0], arguments.test], verbosity=2)
