"""What users download and install: CPack's package holds the executable
that was built and tested, with the documents, in the platform's layout,
and the packaged executable runs.

Windows: a flat zip of isabench.exe and README.txt, the short text for
Windows users. Linux: a .tar.gz of bin/ and share/doc/isabench/, and
`cmake --install BUILD_DIR --prefix DIR` gives DIR/bin/isabench.

usage: test_package.py CMAKE CPACK BUILD_DIR"""
import glob
import os
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

from harness import BINARY, WINDOWS, check_results, run, supported_variants

CMAKE, CPACK, BUILD_DIR = sys.argv[1:4]
DOCS = {"README.md", "processors.md", "audit.md", "CONTRIBUTING.md"}


def make_package(suffix, generator):
    for old in glob.glob(os.path.join(BUILD_DIR, f"isabench-*{suffix}")):
        os.remove(old)
    subprocess.run([CPACK, "-G", generator], cwd=BUILD_DIR, check=True, capture_output=True)
    (archive,) = glob.glob(os.path.join(BUILD_DIR, f"isabench-*{suffix}"))
    return archive


def built_binary():
    with open(BINARY, "rb") as built:
        return built.read()


class Package(unittest.TestCase):
    @unittest.skipUnless(WINDOWS, "the zip is the Windows package")
    def test_zip(self):
        with zipfile.ZipFile(make_package(".zip", "ZIP")) as z:
            names = {os.path.basename(n): n for n in z.namelist() if not n.endswith("/")}
            self.assertEqual(set(names), {"isabench.exe", "README.txt"})
            self.assertEqual(os.path.dirname(names["isabench.exe"]), os.path.dirname(names["README.txt"]))
            self.assertEqual(z.read(names["isabench.exe"]), built_binary())
            self.assertIn(b"isabench.exe", z.read(names["README.txt"]))

    @unittest.skipIf(WINDOWS, "the .tar.gz is the Linux package")
    def test_tar_gz_holds_the_tree_and_runs(self):
        with tempfile.TemporaryDirectory() as tmp, tarfile.open(make_package(".tar.gz", "TGZ")) as tar:
            files = {m.name.split("/", 1)[1] for m in tar.getmembers() if m.isfile()}
            self.assertEqual(files - {"bin/isabench-fidelity"},
                             {"bin/isabench"} | {f"share/doc/isabench/{d}" for d in DOCS})
            tar.extractall(tmp)
            (root,) = os.listdir(tmp)
            packaged = os.path.join(tmp, root, "bin", "isabench")
            with open(packaged, "rb") as f:
                self.assertEqual(f.read(), built_binary())
            check_results(self, run(binary=packaged), supported_variants())

    @unittest.skipIf(WINDOWS, "installing into a prefix is the Linux way")
    def test_install_prefix(self):
        with tempfile.TemporaryDirectory() as prefix:
            subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", prefix], check=True, capture_output=True)
            with open(os.path.join(prefix, "bin", "isabench"), "rb") as f:
                self.assertEqual(f.read(), built_binary())
            self.assertEqual(set(os.listdir(os.path.join(prefix, "share", "doc", "isabench"))), DOCS)


if __name__ == "__main__":
    del sys.argv[1:4]
    unittest.main(verbosity=2)
