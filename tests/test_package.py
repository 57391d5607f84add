"""The Windows download: CPack's zip holds the executable and the README,
and the executable in it is the one that was built and tested.

usage: test_package.py CPACK BUILD_DIR"""
import glob
import os
import subprocess
import sys
import unittest
import zipfile

from harness import BINARY

CPACK, BUILD_DIR = sys.argv[1], sys.argv[2]


class Package(unittest.TestCase):
    def test_zip_contents(self):
        for old in glob.glob(os.path.join(BUILD_DIR, "isabench-*.zip")):
            os.remove(old)
        subprocess.run([CPACK, "-G", "ZIP"], cwd=BUILD_DIR, check=True, capture_output=True)
        (archive,) = glob.glob(os.path.join(BUILD_DIR, "isabench-*.zip"))
        with zipfile.ZipFile(archive) as z:
            names = {os.path.basename(n): n for n in z.namelist() if not n.endswith("/")}
            self.assertEqual(set(names), {"isabench.exe", "README.md"})
            with open(BINARY, "rb") as built:
                self.assertEqual(z.read(names["isabench.exe"]), built.read())


if __name__ == "__main__":
    del sys.argv[1:3]
    unittest.main(verbosity=2)
