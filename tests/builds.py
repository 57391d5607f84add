#!/usr/bin/env python3
"""The builds users and distributions make, and the ones the configure refuses.

Every build in BUILDS is one a user makes (a CMake build type, a
distribution's default flags, a toolchain) and prints the same six lines:
each must pass the binary audit. Every flag in REFUSED instruments the
measured code or widens every variant's instruction set: the configure must
stop and name it. This file is the one place where each flag set is
written, with where it comes from; docs/audit.md lists the same names.

usage: builds.py [--root DIR] [--list] [NAME...]
  Configures each build (or the ones named) in DIR/NAME, builds its isabench
  and audits it; then tries each refused flag. Exits 1 if any build fails,
  any audit finds anything, or any flag is not refused by name."""
import argparse
import os
import shlex
import subprocess
import sys
import time
from typing import NamedTuple

from harness import TABLES

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))


class Build(NamedTuple):
    name: str
    origin: str
    compiler: str  # gcc or clang
    cxxflags: str = ""
    ldflags: str = ""
    options: tuple = ()  # further configure arguments


# Ubuntu 24.04's dpkg-buildflags on amd64 (debhelper's CMake build type None).
UBUNTU = ("-g -O2 -fno-omit-frame-pointer -mno-omit-leaf-frame-pointer -flto=auto -ffat-lto-objects "
          "-fstack-protector-strong -fstack-clash-protection -Wformat -Werror=format-security -fcf-protection "
          "-Wdate-time -D_FORTIFY_SOURCE=3")
# Fedora 40's %optflags on x86_64, with what its hardening specs add (-fPIE; -pie at link).
FEDORA = ("-O2 -flto=auto -ffat-lto-objects -fexceptions -g -grecord-gcc-switches -pipe -Wall "
          "-Werror=format-security -Wp,-U_FORTIFY_SOURCE,-D_FORTIFY_SOURCE=3 -Wp,-D_GLIBCXX_ASSERTIONS "
          "-fstack-protector-strong -m64 -march=x86-64 -mtune=generic -fasynchronous-unwind-tables "
          "-fstack-clash-protection -fcf-protection -fno-omit-frame-pointer -mno-omit-leaf-frame-pointer -fPIE")
# Arch Linux's makepkg.conf: CXXFLAGS with LTOFLAGS (CMake build type None).
ARCH = ("-march=x86-64 -mtune=generic -O2 -pipe -fno-plt -fexceptions -Wp,-D_FORTIFY_SOURCE=3 -Wformat "
        "-Werror=format-security -fstack-clash-protection -fcf-protection -fno-omit-frame-pointer "
        "-mno-omit-leaf-frame-pointer -Wp,-D_GLIBCXX_ASSERTIONS -flto=auto")

BUILDS = [
    # CMake's own build types and its link-time optimisation.
    Build("debug", "CMake build type Debug", "gcc", options=("-DCMAKE_BUILD_TYPE=Debug",)),
    Build("relwithdebinfo", "CMake build type RelWithDebInfo", "gcc", options=("-DCMAKE_BUILD_TYPE=RelWithDebInfo",)),
    Build("minsizerel", "CMake build type MinSizeRel", "gcc", options=("-DCMAKE_BUILD_TYPE=MinSizeRel",)),
    Build("ipo", "CMake's interprocedural optimisation", "gcc", options=("-DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON",)),
    Build("clang-debug", "CMake build type Debug, Clang", "clang", options=("-DCMAKE_BUILD_TYPE=Debug",)),
    Build("clang-ipo", "CMake's interprocedural optimisation, Clang", "clang",
          options=("-DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON",)),
    # Distributions' default flags, as their packaging builds with CMake.
    Build("ubuntu", "Ubuntu 24.04 dpkg-buildflags", "gcc", UBUNTU,
          "-Wl,-Bsymbolic-functions -flto=auto -ffat-lto-objects -Wl,-z,relro -Wl,-z,now",
          ("-DCMAKE_BUILD_TYPE=None",)),
    Build("fedora", "Fedora 40 %optflags and %build_ldflags", "gcc", FEDORA,
          "-Wl,-z,relro -Wl,--as-needed -Wl,-z,pack-relative-relocs -Wl,-z,now -Wl,--build-id=sha1 -pie",
          ("-DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG",)),
    Build("arch", "Arch Linux makepkg.conf with LTO", "gcc", ARCH,
          "-Wl,-O1 -Wl,--sort-common -Wl,--as-needed -Wl,-z,relro -Wl,-z,now -Wl,-z,pack-relative-relocs -flto=auto",
          ("-DCMAKE_BUILD_TYPE=None",)),
    Build("debian", "Debian 12 dpkg-buildflags", "gcc",
          "-g -O2 -ffile-prefix-map=" + SOURCE + "=. -fstack-protector-strong -Wformat -Werror=format-security "
          "-Wdate-time -D_FORTIFY_SOURCE=2", "-Wl,-z,relro", ("-DCMAKE_BUILD_TYPE=None",)),
    Build("opensuse", "openSUSE Tumbleweed %optflags", "gcc",
          "-O2 -Wall -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3 -fstack-protector-strong -funwind-tables "
          "-fasynchronous-unwind-tables -fstack-clash-protection -Werror=return-type -flto=auto -g"),
    # Toolchains and the options users pick.
    Build("clang-thinlto-lld", "Clang with ThinLTO, linked by lld", "clang", "-flto=thin", "-flto=thin -fuse-ld=lld"),
    Build("clang-native-lto-lld", "Clang -O3 -march=native -flto, linked by lld", "clang",
          "-O3 -march=native -flto", "-flto -fuse-ld=lld"),
    Build("clang-frame-pointer", "Clang with frame pointers", "clang", "-fno-omit-frame-pointer"),
    Build("auto-var-init", "GCC -ftrivial-auto-var-init=zero", "gcc", "-ftrivial-auto-var-init=zero"),
    Build("hardened-lto", "hardening flags with LTO", "gcc",
          "-fcf-protection -fstack-protector-strong -fstack-clash-protection -D_FORTIFY_SOURCE=2 -flto=auto"),
    Build("no-pie", "position-dependent", "gcc", "-fno-pie", "-no-pie"),
    Build("static", "static", "gcc", ldflags="-static"),
    Build("static-pie", "static PIE", "gcc", "-fPIE", "-static-pie"),
    Build("retpoline", "GCC return and indirect-branch thunks", "gcc",
          "-mfunction-return=thunk -mindirect-branch=thunk"),
    Build("clang-retpoline", "Clang retpolines", "clang", "-mretpoline"),
    Build("ubsan", "GCC's UndefinedBehaviorSanitizer, which checks the driver only", "gcc", "-fsanitize=undefined",
          "-fsanitize=undefined"),
    Build("no-inline", "-O2 -fno-inline, where GCC keeps values across calls it sees into", "gcc", "-O2 -fno-inline"),
    Build("fpic", "-fPIC, which spills the constants' addresses", "gcc", "-fPIC"),
    Build("stack-check", "-fstack-check, which probes the stack", "gcc", "-fstack-check"),
    Build("x86-64-v3", "-march=x86-64-v3", "gcc", "-march=x86-64-v3"),
    Build("x86-64-v4", "-march=x86-64-v4", "gcc", "-march=x86-64-v4"),
    Build("native", "-march=native", "gcc", "-march=native"),
    # Optimisation levels and tunings beyond the build types.
    Build("o1", "-O1", "gcc", "-O1"),
    Build("og", "-Og", "gcc", "-Og"),
    Build("os-no-plt", "-Os -fno-plt", "gcc", "-Os -fno-plt"),
    Build("fast-math", "-O3 -ffast-math", "gcc", "-O3 -ffast-math"),
    Build("tune-znver3", "-O2 -mtune=znver3", "gcc", "-O2 -mtune=znver3"),
]

# Flags the configure refuses, each by name: every extension's flag in the
# tables, and one with a dot in the middle of its name (added by name, it
# would widen every variant); the options that instrument the measured code
# or link a runtime of their own into the program.
REFUSED = [*(("gcc", "-m" + row["compiler"]) for row in TABLES["features"]), ("gcc", "-mavx10.1-256"),
           ("gcc", "-fsanitize=address"), ("gcc", "-fsanitize=thread"), ("gcc", "-pg"), ("gcc", "-fprofile-generate"),
           ("gcc", "--coverage"), ("gcc", "-finstrument-functions"), ("gcc", "-fsplit-stack"),
           ("clang", "-fsanitize=undefined")]

COMPILERS = {"gcc": ("gcc", "g++"), "clang": ("clang", "clang++")}


def configure_arguments(build, directory):
    cc, cxx = COMPILERS[build.compiler]
    # Warnings are errors here, as in the test command's other builds.
    args = ["cmake", "-S", SOURCE, "-B", directory, "-G", "Ninja", "-DISABENCH_WERROR=ON", f"-DCMAKE_C_COMPILER={cc}",
            f"-DCMAKE_CXX_COMPILER={cxx}", f"-DCMAKE_CXX_FLAGS={build.cxxflags}",
            f"-DCMAKE_EXE_LINKER_FLAGS={build.ldflags}", *build.options]
    return args


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


def check_build(build, root, audit):
    """Builds and audits one build; returns the problems found."""
    directory = os.path.join(root, build.name)
    for step in (configure_arguments(build, directory), ["cmake", "--build", directory, "--target", "isabench"]):
        out = run(step)
        if out.returncode != 0:
            return [f"{shlex.join(step)} failed:\n{out.stdout[-3000:]}{out.stderr[-3000:]}"]
    out = run(audit + [os.path.join(directory, "isabench")])
    if out.returncode != 0:
        return [f"the audit rejects it:\n{out.stderr}{out.stdout}"]
    return []


def check_refused(compiler, flag, root):
    directory = os.path.join(root, f"refused-{compiler}")
    configure = ["cmake", "-S", SOURCE, "-B", directory, "-G", "Ninja", f"-DCMAKE_CXX_COMPILER={COMPILERS[compiler][1]}"]
    # The compiler is tried once, without the flag: one this compiler does
    # not know yet (-mavx10.1-256 before GCC 14) would stop the configure
    # there, before the refusal.
    if not os.path.exists(os.path.join(directory, "CMakeCache.txt")):
        out = run(configure)
        if out.returncode != 0:
            return [f"the configure without flags fails:\n{out.stdout[-3000:]}{out.stderr[-3000:]}"]
    out = run(configure + [f"-DCMAKE_CXX_FLAGS={flag}"])
    if out.returncode == 0:
        return [f"a configure with {flag} in its flags was not refused"]
    if f"{flag} in the compiler flags" not in out.stdout + out.stderr:
        return [f"the refusal of {flag} does not name it:\n{out.stderr}"]
    return []


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", default=os.path.join(SOURCE, "build-matrix"))
    parser.add_argument("--list", action="store_true", help="print each build's name, origin and flags")
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    if args.list:
        for b in BUILDS:
            print(f"{b.name}\t{b.origin}\t{b.compiler}\t{b.cxxflags}\t{b.ldflags}\t{' '.join(b.options)}")
        return 0
    unknown = set(args.names) - {b.name for b in BUILDS}
    if unknown:
        parser.error(f"no such build: {', '.join(sorted(unknown))}")
    audit = ["node", os.path.join(SOURCE, "tools", "audit", "audit.mjs")]
    failed = 0
    for build in BUILDS:
        if args.names and build.name not in args.names:
            continue
        start = time.monotonic()
        problems = check_build(build, args.root, audit)
        print(f"== {build.name} ({build.origin}): {'FAILED' if problems else 'passes'} "
              f"in {time.monotonic() - start:.0f} s", flush=True)
        for p in problems:
            print(p, flush=True)
        failed += bool(problems)
    if not args.names:
        for compiler, flag in REFUSED:
            problems = check_refused(compiler, flag, args.root)
            print(f"== refused {flag} ({compiler}): {'FAILED' if problems else 'yes, by name'}", flush=True)
            for p in problems:
                print(p, flush=True)
            failed += bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
