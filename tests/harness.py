"""Shared pieces of the tests that run the built benchmark."""
import os
import re
import subprocess

BINARY = os.environ.get("ISABENCH", "build/isabench")
# Set where the binary runs under an emulator or Wine, e.g. "wine".
RUNNER = os.environ.get("ISABENCH_RUNNER", "").split()

SUM = "D1F0AD400"

# Driver order: tag, label, and the /proc/cpuinfo flags the variant's
# instruction set needs beyond those of the variants before it.
VARIANTS = [
    (" 0", "scalar", []),
]


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
    """The variants this processor (and its operating system) can run."""
    flags = cpu_flags() if flags is None else flags
    have = []
    needed = set()
    for tag, label, requires in VARIANTS:
        needed |= set(requires)
        if needed <= flags:
            have.append((tag, label))
    return have


def run(args=(), env=None, stdout=subprocess.PIPE, timeout=600):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(RUNNER + [BINARY, *args], stdout=stdout, stderr=subprocess.PIPE,
                          env=full_env, timeout=timeout, check=False)


def results_lines(stdout_bytes):
    return stdout_bytes.decode("ascii").split("\n")[:-1] if stdout_bytes else []
