"""The package's build backend: the wheel it writes is one pip can trust
(every file listed in RECORD with its hash and size, the tag in WHEEL the
one in the file name) and carries the library it was told to bundle. Run
with SEARCHDB_LIBRARY naming the library; installing the wheel from the
README's line is tested by tests/readme_test.py."""
import base64
import hashlib
import os
import shutil
import sys
import tempfile
import unittest
import zipfile
from unittest import mock

import searchdb

PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(PACKAGE_DIR, "build_backend"))
import searchdb_backend  # noqa: E402  (found through backend-path, as pip does)


class WheelTest(unittest.TestCase):
    def setUp(self):
        self.library = os.environ.get("SEARCHDB_LIBRARY")
        if not self.library:
            self.skipTest("SEARCHDB_LIBRARY is not set")
        self.tmp = tempfile.mkdtemp(prefix="searchdb-wheel-test-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def test_wheel_is_complete_and_bundles_the_named_library(self):
        # The config setting is what names the library here, not the environment.
        with mock.patch.dict(os.environ):
            del os.environ["SEARCHDB_LIBRARY"]
            name = searchdb_backend.build_wheel(self.tmp, {"library": self.library})
        metadata_dir = os.path.join(self.tmp, "metadata")
        os.mkdir(metadata_dir)
        dist_info = searchdb_backend.prepare_metadata_for_build_wheel(metadata_dir)

        with zipfile.ZipFile(os.path.join(self.tmp, name)) as wheel:
            members = {info.filename: wheel.read(info) for info in wheel.infolist()}
        record = members.pop(f"{dist_info}/RECORD").decode().splitlines()
        self.assertIn(f"{dist_info}/RECORD,,", record)
        listed = {}
        for line in record:
            path, digest, size = line.rsplit(",", 2)
            if digest:
                listed[path] = (digest, int(size))
        actual = {path: ("sha256=" + base64.urlsafe_b64encode(
                      hashlib.sha256(data).digest()).rstrip(b"=").decode(), len(data))
                  for path, data in members.items()}
        self.assertEqual(listed, actual)

        for file in ("METADATA", "WHEEL"):  # what pip reads before the build agrees
            with open(os.path.join(metadata_dir, dist_info, file), "rb") as f:
                self.assertEqual(members[f"{dist_info}/{file}"], f.read())
        metadata = members[f"{dist_info}/METADATA"].decode()
        self.assertIn(f"Version: {searchdb.__version__}\n", metadata)
        tag = name[:-len(".whl")].split("-", 2)[2]
        self.assertIn(f"Tag: {tag}\n", members[f"{dist_info}/WHEEL"].decode())
        self.assertFalse(tag.endswith("-any"), "a native library is not for any platform")
        with open(self.library, "rb") as f:
            self.assertEqual(members["searchdb/libsearchdb.so.1"], f.read())
        for file in ("__init__.py", "_library.py", "py.typed"):
            self.assertIn(f"searchdb/{file}", members)


if __name__ == "__main__":
    unittest.main()
