"""What users download and install: CPack's packages hold both programs as
they were built and tested, the licence, the changelog and the documents,
in the platform's layout, named with the version that project() gives, and
the packaged executable runs.

Windows: a zip of isabench.exe, isabench-fidelity.exe and plain texts
(README.txt, the short text for Windows users, LICENSE.txt, CHANGELOG.txt),
and the full documentation in doc/. Linux: a .tar.gz of bin/,
share/doc/isabench/ and share/man/man1/, a .deb of the same under /usr that
lintian passes without a warning, whose manual pages `man` finds and which
is the same bytes when made twice, and `cmake --install BUILD_DIR --prefix
DIR`. The documents keep their folders, so that every relative link in them
resolves where they are installed. No package names a web address.

usage: test_package.py CMAKE CPACK BUILD_DIR"""
import argparse
import gzip
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest

from harness import BINARY, WINDOWS, check_results, run, supported_variants

# Set from the command line.
CMAKE = CPACK = BUILD_DIR = None
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOC = "share/doc/isabench"


def read(*path):
    with open(os.path.join(*path), "rb") as f:
        return f.read()


VERSION = re.search(rb"^project\(isabench VERSION (\S+)", read(SOURCE, "CMakeLists.txt"), re.M).group(1).decode()
# The fidelity tool, built beside isabench.
FIDELITY = os.path.join(os.path.dirname(BINARY), "isabench-fidelity" + (".exe" if WINDOWS else ""))
MANUAL = {"share/man/man1/isabench.1", "share/man/man1/isabench-fidelity.1"}


def linux_docs():
    """The Linux tree's documents below share/doc/isabench, Debian's names
    aside: the README, LICENSE and CHANGELOG.md at the top, and docs/ with
    its folders, but for windows.txt, the zip's README."""
    docs = {"README.md", "LICENSE", "CHANGELOG.md"}
    for folder, _, files in os.walk(os.path.join(SOURCE, "docs")):
        docs |= {os.path.relpath(os.path.join(folder, name), SOURCE) for name in files}
    return docs - {"docs/windows.txt"}


def files_below(root):
    return {os.path.relpath(os.path.join(folder, name), root)
            for folder, _, files in os.walk(root) for name in files}


def unpack(archive, into):
    """Unpacks a .zip or .tar.gz and gives its one top folder."""
    shutil.unpack_archive(archive, into)
    (top,) = os.listdir(into)
    return os.path.join(into, top)


class Package(unittest.TestCase):
    def check_binary(self, path, built=BINARY):
        """The executable that was built and tested; isabench names the
        version."""
        packaged = read(path)
        self.assertTrue(packaged == read(built), f"{path} is not {built}")
        if built == BINARY:
            self.assertTrue(f"isabench version {VERSION}".encode() in packaged, path)

    def check_no_address(self, root):
        """No web or mail address the project does not have: the documents
        travel with the package."""
        for name in files_below(root):
            if name.endswith((".md", ".txt", ".1", ".1.gz", "changelog.gz")):
                text = gzip.decompress(read(root, name)) if name.endswith(".gz") else read(root, name)
                self.assertNotRegex(text, rb"https?://|example\.(org|com|net)", name)

    def check_changelog(self, text):
        """The changelog's first entry is the version packed."""
        self.assertEqual(re.search(r"^## (\S+)", text, re.M).group(1), VERSION)

    def check_links(self, doc):
        """Every relative link and image in the installed Markdown documents,
        and every docs/ path they cite, resolves in the installed tree."""
        followed = 0
        for name in files_below(doc):
            if not name.endswith(".md"):
                continue
            text = read(doc, name).decode()
            here = os.path.dirname(os.path.join(doc, name))
            targets = [(here, t) for t in re.findall(r"\]\(<?([^)>\s]+)", text)]
            targets += [(here, t) for t in re.findall(r"^ {0,3}\[[^\]]+\]:\s*<?([^>\s]+)", text, re.M)]
            targets += [(here, t) for t in re.findall(r"""\b(?:src|href)=["']([^"']+)""", text)]
            targets += [(doc, t) for t in re.findall(r"`(docs/[^`\s]+)`", text)]
            for base, target in targets:
                path = re.split(r"[#?]", target)[0]
                if not path or re.match(r"[a-zA-Z][a-zA-Z0-9+.-]*:", target):
                    continue
                followed += 1
                self.assertTrue(os.path.exists(os.path.join(base, path)), f"{name}: {target}")
        self.assertGreater(followed, 0, "no relative link found")

    def check_linux_docs(self, doc, licence="LICENSE"):
        self.assertEqual(read(doc, licence), read(SOURCE, "LICENSE"))
        self.check_changelog(read(doc, "CHANGELOG.md").decode())
        named = re.findall(r"\bisabench[-_](\d[^-_\s]*)[-_](?:Linux|win64|amd64)\b", read(doc, "README.md").decode())
        self.assertTrue(named and set(named) == {VERSION}, f"the README names packages of versions {named}")
        self.check_links(doc)

    def make_package(self, generator, name):
        """Makes the package afresh; it must be called `name`."""
        package = os.path.join(BUILD_DIR, name)
        if os.path.exists(package):
            os.remove(package)
        made = subprocess.run([CPACK, "-G", generator], cwd=BUILD_DIR, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
        self.assertEqual(made.returncode, 0, made.stdout)
        self.assertTrue(os.path.exists(package), made.stdout)
        return package

    @unittest.skipUnless(WINDOWS, "the zip is the Windows package")
    def test_zip(self):
        with tempfile.TemporaryDirectory() as tmp:
            root = unpack(self.make_package("ZIP", f"isabench-{VERSION}-win64.zip"), tmp)
            texts = {"README.txt", "LICENSE.txt", "CHANGELOG.txt"}
            self.assertEqual(set(os.listdir(root)), {"isabench.exe", "isabench-fidelity.exe", "doc"} | texts)
            self.check_binary(os.path.join(root, "isabench.exe"))
            self.check_binary(os.path.join(root, "isabench-fidelity.exe"), FIDELITY)
            for text in texts:
                self.assertIsNone(re.search(rb"(?<!\r)\n", read(root, text)), f"{text}: a line not ended in CR LF")
            readme = read(root, "README.txt")
            for named in (b"isabench.exe", b"isabench-fidelity.exe", b"doc\\README.md"):
                self.assertIn(named, readme)
            self.assertEqual(read(root, "LICENSE.txt"), read(SOURCE, "LICENSE").replace(b"\n", b"\r\n"))
            self.check_changelog(read(root, "CHANGELOG.txt").decode())
            doc = os.path.join(root, "doc")
            self.assertEqual(files_below(doc), linux_docs() - {"LICENSE", "CHANGELOG.md"})
            self.check_links(doc)
            self.check_no_address(root)

    @unittest.skipIf(WINDOWS, "the .tar.gz is the Linux package")
    def test_tar_gz_holds_the_tree_and_runs(self):
        with tempfile.TemporaryDirectory() as tmp:
            root = unpack(self.make_package("TGZ", f"isabench-{VERSION}-Linux.tar.gz"), tmp)
            self.assertEqual(files_below(root), {"bin/isabench", "bin/isabench-fidelity"} | MANUAL
                             | {f"{DOC}/{d}" for d in linux_docs()})
            self.check_binary(os.path.join(root, "bin", "isabench"))
            self.check_binary(os.path.join(root, "bin", "isabench-fidelity"), FIDELITY)
            self.check_linux_docs(os.path.join(root, DOC))
            check_results(self, run(binary=os.path.join(root, "bin", "isabench")), supported_variants())

    @unittest.skipIf(WINDOWS, "the .deb is a Linux package")
    def test_deb(self):
        # The same tree under /usr, with Debian's copyright and changelog.gz
        # for the licence and the changelog, the manual pages compressed, and
        # no error or warning from lintian.
        package = self.make_package("DEB", f"isabench_{VERSION}_amd64.deb")
        control = subprocess.run(["dpkg-deb", "-f", package], check=True, capture_output=True, text=True).stdout
        fields = dict(re.findall(r"(?m)^(\S+): (.*)$", control))
        self.assertEqual((fields["Package"], fields["Version"], fields["Architecture"]), ("isabench", VERSION, "amd64"))
        self.assertRegex(fields.get("Depends", ""), r"^libc6\b", "no dependencies: is dpkg-shlibdeps (dpkg-dev) missing?")
        with tempfile.TemporaryDirectory() as root:
            subprocess.run(["dpkg-deb", "-x", package, root], check=True)
            doc = os.path.join(root, "usr", DOC)
            docs = linux_docs() - {"LICENSE"} | {"copyright", "changelog.gz"}
            self.assertEqual(files_below(root),
                             {"usr/bin/isabench", "usr/bin/isabench-fidelity", "usr/share/lintian/overrides/isabench"}
                             | {f"usr/{page}.gz" for page in MANUAL} | {f"usr/{DOC}/{d}" for d in docs})
            self.check_binary(os.path.join(root, "usr", "bin", "isabench"))
            fidelity = subprocess.run([os.path.join(root, "usr", "bin", "isabench-fidelity"), "--version"],
                                      capture_output=True, text=True)
            self.assertEqual(fidelity.stdout, f"isabench-fidelity version {VERSION}\n")
            self.check_linux_docs(doc, licence="copyright")
            with gzip.open(os.path.join(doc, "changelog.gz"), "rt") as f:
                self.assertEqual(f.readline(), f"isabench ({VERSION}) unstable; urgency=medium\n")
            self.check_no_address(root)
            # `man NAME` finds each page where the package installs it.
            for name in ("isabench", "isabench-fidelity"):
                page = subprocess.run(["man", name], capture_output=True, text=True,
                                      env=dict(os.environ, MANPATH=os.path.join(root, "usr", "share", "man"),
                                               MANPAGER="cat", MANWIDTH="80", LC_ALL="C.UTF-8"))
                self.assertEqual(page.returncode, 0, page.stderr)
                self.assertRegex(page.stdout, rf"(?m)^NAME\n\s+{name}\s+-\s")
        lintian = subprocess.run(["lintian", package], capture_output=True, text=True)
        self.assertEqual(lintian.returncode, 0, lintian.stdout + lintian.stderr)
        self.assertEqual([tag for tag in lintian.stdout.splitlines() if tag.startswith(("E:", "W:"))], [],
                         lintian.stdout)

    @unittest.skipIf(WINDOWS, "the .deb is a Linux package")
    def test_deb_is_reproducible(self):
        """Made twice, a second apart, the .deb is the same bytes, every file
        dated at the last commit (SOURCE_DATE_EPOCH, set when cpack runs)."""
        name = f"isabench_{VERSION}_amd64.deb"
        env = {key: value for key, value in os.environ.items() if key != "SOURCE_DATE_EPOCH"}
        made = []
        for _ in range(2):
            time.sleep(1.1)
            out = subprocess.run([CPACK, "-G", "DEB"], cwd=BUILD_DIR, env=env, capture_output=True, text=True)
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
            made.append(read(BUILD_DIR, name))
        self.assertEqual(made[0], made[1], "two cpack runs gave different packages")
        commit = subprocess.run(["git", "-C", SOURCE, "log", "-1", "--format=%ct"], capture_output=True, text=True)
        if commit.returncode == 0:
            listing = subprocess.run(["dpkg-deb", "--fsys-tarfile", os.path.join(BUILD_DIR, name)],
                                     capture_output=True, check=True).stdout
            with tarfile.open(fileobj=io.BytesIO(listing)) as tar:
                self.assertEqual({member.mtime for member in tar.getmembers()}, {int(commit.stdout)})

    @unittest.skipIf(WINDOWS, "installing into a prefix is the Linux way")
    def test_install_prefix(self):
        with tempfile.TemporaryDirectory() as prefix:
            subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", prefix], check=True, capture_output=True)
            self.check_binary(os.path.join(prefix, "bin", "isabench"))
            self.check_binary(os.path.join(prefix, "bin", "isabench-fidelity"), FIDELITY)
            self.assertEqual({page for page in MANUAL if os.path.exists(os.path.join(prefix, page))}, MANUAL)
            doc = os.path.join(prefix, DOC)
            self.assertEqual(files_below(doc), linux_docs())
            self.check_linux_docs(doc)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="the packages CPack makes, and an install into a prefix")
    parser.add_argument("cmake", help="the cmake executable")
    parser.add_argument("cpack", help="the cpack executable")
    parser.add_argument("build_dir", help="the build folder the packages are made from")
    arguments, rest = parser.parse_known_args()
    CMAKE, CPACK, BUILD_DIR = arguments.cmake, arguments.cpack, arguments.build_dir
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
