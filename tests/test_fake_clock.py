"""The real binary's measuring frames driven by a scripted clock.

On Linux tests/fake_clock.c is preloaded into the real binary; on Windows,
which has no preloading, tests/fake_clock_windows.c is linked with the real
binary's objects. Each script holds the 20 readings of one variant's ten
runs, and every variant in the binary gets the same script, so every printed
line must show the same best time."""
import os
import subprocess
import sys
import tempfile
import unittest

from harness import BINARY, SUM, WINDOWS, host_path, results_lines, run, supported_variants

# The preloaded library; none where the fake clock is linked in.
FAKE_CLOCK = os.environ.get("FAKE_CLOCK_LIB")
REPEATS = 10

# Present-day readings: above 2^53 ticks (about 28.5 years after 1970).
NOW_US = 1_796_000_000_000_000
# 2^55 ticks (the 2080s): past it a double holds a reading only to 8 ticks,
# so converting before subtracting can move the printed microsecond.
TICKS_2_55_US = (1 << 55) // 10 + 1


def script(starts_and_durations):
    readings = []
    for start, duration in starts_and_durations:
        readings += [start, start + duration]
    assert len(readings) == 2 * REPEATS
    return readings


def frame_result(readings):
    """What the frame must print for these readings: both readings converted
    to double, subtracted, scaled; negative times ignored; strict minimum."""
    tmin = 99.0
    for first, second in zip(readings[0::2], readings[1::2]):
        elapsed = (float(second * 10) - float(first * 10)) * 1e-7
        if elapsed >= 0.0 and tmin > elapsed:
            tmin = elapsed
    return "%.6f" % tmin


def tmin_offset():
    out = subprocess.run(["nm", BINARY], capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[2] == "tmin":
            return fields[0]
    raise AssertionError("tmin not found in the symbol table")


class FakeClock(unittest.TestCase):
    def run_script(self, readings, expected_time, **extra_env):
        with tempfile.TemporaryDirectory() as tmp:
            log = os.path.join(tmp, "calls")
            env = {"FAKE_CLOCK_LOG": host_path(log), "FAKE_CLOCK_US": ",".join(map(str, readings)), **extra_env}
            if FAKE_CLOCK:
                env["LD_PRELOAD"] = os.path.abspath(FAKE_CLOCK)
            result = run(env=env)
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(log) as f:
                calls = int(f.read())
        lines = results_lines(result.stdout)
        variants = supported_variants()
        self.assertEqual(len(lines), len(variants), lines)
        # Two readings per run, ten runs per variant.
        self.assertEqual(calls, 2 * REPEATS * len(variants))
        for line, (tag, label) in zip(lines, variants):
            self.assertEqual(line, f"{tag}) s={SUM} t={expected_time} // N=1000000000 iterations of arithmetics; {label}")

    def test_best_of_ten_not_last_and_backwards_step_ignored(self):
        durations = [412_345, 300_001, 250_017, -1_500_000, 250_017, 380_000, 999_999, 260_000,
                     99_999_999, 312_000]
        readings = script([(NOW_US + k * 7_000_011, d) for k, d in enumerate(durations)])
        self.assertEqual(frame_result(readings), "0.250017")
        self.run_script(readings, "0.250017")

    def test_every_run_99_seconds_or_more(self):
        durations = [99_000_000, 120_000_000, 99_000_001, 99_000_000, 3_600_000_000] * 2
        readings = script([(NOW_US + k * 10**10, d) for k, d in enumerate(durations)])
        self.run_script(readings, "99.000000")

    def test_only_backwards_steps_leave_the_start_value(self):
        readings = script([(NOW_US + k * 10**9, -(k + 1) * 1000) for k in range(REPEATS)])
        self.run_script(readings, "99.000000")

    def test_equal_time_leaves_tmin_unchanged(self):
        # Run 1 takes exactly zero; just before its comparison tmin is made
        # -0.0, which equals +0.0. A strict comparison keeps -0.0 and the
        # line shows its sign; "greater or equal" would overwrite it.
        readings = script([(NOW_US, 0)] + [(NOW_US + k * 10**8, 5_000_000) for k in range(1, REPEATS)])
        where = {} if WINDOWS else {"FAKE_CLOCK_TMIN": tmin_offset()}
        self.run_script(readings, "-0.000000", FAKE_CLOCK_NEGZERO="2", **where)

    @unittest.skipIf(WINDOWS, "Windows' struct timeval holds seconds in a 32-bit long: no reading past 2038")
    def test_readings_past_2_pow_55_convert_before_subtracting(self):
        # Find readings where converting to double first changes the sixth
        # decimal against an exact integer subtraction: the frame must show
        # the converted result.
        for start in range(TICKS_2_55_US, TICKS_2_55_US + 10_000):
            for duration in range(1, 40):
                converted = (float((start + duration) * 10) - float(start * 10)) * 1e-7
                if "%.6f" % converted != "%.6f" % (duration * 1e-6):
                    break
            else:
                continue
            break
        readings = script([(start, duration)] * REPEATS)
        self.assertNotEqual(frame_result(readings), "%.6f" % (duration * 1e-6))
        self.run_script(readings, frame_result(readings))


if __name__ == "__main__":
    if FAKE_CLOCK and not os.path.exists(FAKE_CLOCK):
        sys.exit(f"fake clock library {FAKE_CLOCK} not built")
    unittest.main(verbosity=2)
