"""Shared pieces of the tests that run the built benchmark."""
import errno
import json
import os
import re
import subprocess
import tempfile

BINARY = os.environ.get("ISABENCH", "build/isabench")
# Set where the binary runs under an emulator or Wine, e.g. "wine".
RUNNER = os.environ.get("ISABENCH_RUNNER", "").split()
# A Windows executable: text-mode output ends every line in CR LF.
WINDOWS = BINARY.lower().endswith(".exe")
LINE_END = "\r\n" if WINDOWS else "\n"

SUM = "D1F0AD400"

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
# The program's tables (src/variants/variants.def, src/harness/cpu_features.def)
# as the compiler's preprocessor reads them, which the build checks.
TABLES_JSON = os.path.join(SOURCE, "src", "tables.json")
with open(TABLES_JSON, encoding="utf-8") as _f:
    TABLES = json.load(_f)

# Each extension's and register state's row, by its NAME.
EXTENSIONS = {row["NAME"]: row for row in TABLES["features"] + TABLES["states"]}

# Driver order: tag, label, and the /proc/cpuinfo flags the variant's
# instruction set needs beyond those of the variants before it (register
# state has none: the kernel leaves an extension out where it does not save
# its registers).
VARIANTS = [(row["tag"], row["label"], [EXTENSIONS[n]["cpuinfo"] for n in row["needs"] if "cpuinfo" in EXTENSIONS[n]])
            for row in TABLES["variants"]]
# Elements per iteration of each line's loop.
LANES = {row["label"]: row["lanes"] for row in TABLES["variants"]}


def cpuinfo_flags(extensions):
    """The /proc/cpuinfo flags of the extensions named (NAME in the tables)."""
    return {EXTENSIONS[name]["cpuinfo"] for name in extensions}


def line_pattern(tag, label):
    return re.compile(
        r"^" + re.escape(tag) + r"\) s=" + SUM + r" t=(\d+\.\d{6}) // N=1000000000 iterations of arithmetics; "
        + re.escape(label) + r"$")


def cpu_flags():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    return set()


def supported_variants(flags=None):
    """The variants this processor can run. The kernel lists AVX and AVX-512
    only where it has enabled their register state."""
    flags = cpu_flags() if flags is None else flags
    have = []
    needed = set()
    for tag, label, requires in VARIANTS:
        needed |= set(requires)
        if needed <= flags:
            have.append((tag, label))
    return have


def skipped_labels(supported):
    have = {label for _, label in supported}
    return [label for _, label, _ in VARIANTS if label not in have]


def check_lines(test, lines, supported):
    """Exactly the supported variants' lines, in the driver's order. No best
    time is exactly zero: a billion elements take time on the real clock, and
    a zero means the readings timed nothing."""
    test.assertEqual(len(lines), len(supported), lines)
    for line, (tag, label) in zip(lines, supported):
        pattern = line_pattern(tag, label)
        test.assertRegex(line, pattern)
        test.assertNotEqual(pattern.match(line).group(1), "0.000000", line)


def check_messages(test, messages, supported):
    """One skip message per variant that cannot run here, in order."""
    skipped = skipped_labels(supported)
    test.assertEqual(len(messages), len(skipped), messages)
    for message, label in zip(messages, skipped):
        test.assertTrue(message.startswith(f"isabench: {label} variant skipped: needs "), message)


def check_results(test, result, supported):
    """Status 0, the supported lines on standard output, the skip messages and
    nothing else on standard error."""
    test.assertEqual(result.returncode, 0, result.stderr)
    check_lines(test, results_lines(result.stdout), supported)
    check_messages(test, result.stderr.decode().splitlines(), supported)


def check_write_failure(test, supported, runner=None, noise=()):
    """Standard output on a full device: a non-zero status, and on standard
    error the skip messages, then one line that names the failed write."""
    with open("/dev/full", "wb") as full:
        result = run(runner=runner, stdout=full)
    test.assertNotEqual(result.returncode, 0)
    messages = [line for line in result.stderr.decode().splitlines() if not line.startswith(noise)]
    test.assertTrue(messages, result.stderr)
    # The Windows runtime sets only the stream's error indicator, not errno.
    reason = r".+" if WINDOWS else re.escape(os.strerror(errno.ENOSPC))
    test.assertRegex(messages[-1], r"^isabench: could not write the results to standard output: " + reason + "$")
    check_messages(test, messages[:-1], supported)


def check_merged_output(test, runner=None, noise=()):
    """Runs the binary with both streams into one file: status 0, the
    supported lines, then the skip messages, never a line after a message.
    Lines starting with one of `noise` (a runner's own warnings) are ignored."""
    with tempfile.TemporaryFile() as both:
        result = run(runner=runner, stdout=both, stderr=both)
        both.seek(0)
        text = both.read().decode()
    test.assertEqual(result.returncode, 0, text)
    output = [line for line in text.splitlines() if not line.startswith(noise)]
    lines = [line for line in output if not line.startswith("isabench:")]
    messages = [line for line in output if line.startswith("isabench:")]
    test.assertEqual(output, lines + messages, text)
    return lines, messages


def run(args=(), env=None, stdout=subprocess.PIPE, stderr=subprocess.PIPE, runner=None, timeout=900, binary=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    prefix = RUNNER if runner is None else runner
    return subprocess.run(prefix + [binary or BINARY, *args], stdout=stdout, stderr=stderr,
                          env=full_env, timeout=timeout, check=False)


def run_streaming(timeout=900):
    """Runs the binary with standard output into a pipe and reads its first
    line as soon as it comes. Returns the completed process and whether the
    program was still running when that line arrived."""
    with subprocess.Popen(RUNNER + [BINARY], stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        first = proc.stdout.readline()
        running = proc.poll() is None
        rest, err = proc.communicate(timeout=timeout)
    return subprocess.CompletedProcess(proc.args, proc.returncode, first + rest, err), running


def results_lines(stdout_bytes):
    """The lines of standard output; each must end in the platform's line end,
    with no bare CR or LF anywhere else."""
    text = stdout_bytes.decode("ascii")
    if not text:
        return []
    assert text.endswith(LINE_END), f"output does not end in {LINE_END!r}: {text!r}"
    lines = text[:-len(LINE_END)].split(LINE_END)
    for line in lines:
        assert "\r" not in line and "\n" not in line, f"stray line break in {line!r}"
    return lines


def host_path(path):
    """A path of this machine as the program under test sees it."""
    return "Z:" + path.replace("/", "\\") if WINDOWS else path
