"""What users download and install: CPack's packages hold the executable
that was built and tested, the licence, the changelog and the documents, in
the platform's layout, named with the version that project() gives, and the
packaged executable runs.

Windows: a flat zip of isabench.exe and plain texts (README.txt, the short
text for Windows users, LICENSE.txt, CHANGELOG.txt). Linux: a .tar.gz of
bin/ and share/doc/isabench/, a .deb of the same under /usr that lintian
passes, and `cmake --install BUILD_DIR --prefix DIR`. The documents keep
their folders, so that every relative link in them resolves where they are
installed.

usage: test_package.py CMAKE CPACK BUILD_DIR"""
import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
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
    def check_binary(self, path):
        """The executable that was built and tested, which names the version."""
        packaged = read(path)
        self.assertEqual(packaged, read(BINARY), path)
        self.assertIn(f"isabench version {VERSION}".encode(), packaged)

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
            self.assertEqual(set(os.listdir(root)), {"isabench.exe"} | texts)
            self.check_binary(os.path.join(root, "isabench.exe"))
            for text in texts:
                self.assertIsNone(re.search(rb"(?<!\r)\n", read(root, text)), f"{text}: a line not ended in CR LF")
            self.assertIn(b"isabench.exe", read(root, "README.txt"))
            self.assertEqual(read(root, "LICENSE.txt"), read(SOURCE, "LICENSE").replace(b"\n", b"\r\n"))
            self.check_changelog(read(root, "CHANGELOG.txt").decode())

    @unittest.skipIf(WINDOWS, "the .tar.gz is the Linux package")
    def test_tar_gz_holds_the_tree_and_runs(self):
        with tempfile.TemporaryDirectory() as tmp:
            root = unpack(self.make_package("TGZ", f"isabench-{VERSION}-Linux.tar.gz"), tmp)
            self.assertEqual(files_below(root) - {"bin/isabench-fidelity"},
                             {"bin/isabench"} | {f"{DOC}/{d}" for d in linux_docs()})
            self.check_binary(os.path.join(root, "bin", "isabench"))
            self.check_linux_docs(os.path.join(root, DOC))
            check_results(self, run(binary=os.path.join(root, "bin", "isabench")), supported_variants())

    @unittest.skipIf(WINDOWS, "the .deb is a Linux package")
    def test_deb(self):
        # The same tree under /usr, with Debian's copyright and changelog.gz
        # for the licence and the changelog, and no error from lintian.
        package = self.make_package("DEB", f"isabench_{VERSION}_amd64.deb")
        control = subprocess.run(["dpkg-deb", "-f", package], check=True, capture_output=True, text=True).stdout
        fields = dict(re.findall(r"(?m)^(\S+): (.*)$", control))
        self.assertEqual((fields["Package"], fields["Version"], fields["Architecture"]), ("isabench", VERSION, "amd64"))
        self.assertRegex(fields.get("Depends", ""), r"^libc6\b", "no dependencies: is dpkg-shlibdeps (dpkg-dev) missing?")
        with tempfile.TemporaryDirectory() as root:
            subprocess.run(["dpkg-deb", "-x", package, root], check=True)
            doc = os.path.join(root, "usr", DOC)
            docs = linux_docs() - {"LICENSE"} | {"copyright", "changelog.gz"}
            self.assertEqual(files_below(root) - {"usr/bin/isabench-fidelity"},
                             {"usr/bin/isabench", "usr/share/lintian/overrides/isabench"}
                             | {f"usr/{DOC}/{d}" for d in docs})
            self.check_binary(os.path.join(root, "usr", "bin", "isabench"))
            self.check_linux_docs(doc, licence="copyright")
            with gzip.open(os.path.join(doc, "changelog.gz"), "rt") as f:
                self.assertEqual(f.readline(), f"isabench ({VERSION}) unstable; urgency=medium\n")
        lintian = subprocess.run(["lintian", package], capture_output=True, text=True)
        self.assertEqual(lintian.returncode, 0, lintian.stdout + lintian.stderr)
        self.assertEqual([tag for tag in lintian.stdout.splitlines() if tag.startswith("E:")], [], lintian.stdout)

    @unittest.skipIf(WINDOWS, "installing into a prefix is the Linux way")
    def test_install_prefix(self):
        with tempfile.TemporaryDirectory() as prefix:
            subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", prefix], check=True, capture_output=True)
            self.check_binary(os.path.join(prefix, "bin", "isabench"))
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
