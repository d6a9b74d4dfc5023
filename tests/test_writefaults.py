"""A fetch whose cache file cannot be written: no answer, one diagnostic, and the file of the
last good fetch left exactly as it was, with no temporary file beside it."""

import os
import subprocess
import unittest

import harness
import httpstub

OLD = '{"zones": {}, "counter": {"Requestv4": "1"}}'

with open(os.path.join(harness.HERE, "fixtures", "v3-bind-9.11-server.xml"), "rb") as f:
    DOCUMENT = f.read()


def mount(*words):
    subprocess.run(["mount", *words], check=True)


class WriteFaults(unittest.TestCase):
    def setUp(self):
        # A small file system of its own over the sandbox's /tmp, undone after each case.
        self.kept = harness.mounttmp("size=16k,mode=1777")
        self.addCleanup(subprocess.run, ["umount", "-l", "/tmp"], check=True)
        harness.placecache(OLD, age=120)

    def assertOldFileAlone(self, run, reason):
        self.assertEqual((run.status, run.out), (1, ""), run)
        self.assertEqual(run.err.count("\n"), 1, run)
        self.assertIn(harness.JSONFILE, run.err)
        self.assertIn(reason, run.err)
        self.assertEqual(harness.readcache(), OLD)
        left = set(os.listdir("/tmp")) - {"corvane.json.lock"} - self.kept
        self.assertEqual(left, {"corvane.json"})

    def test_full_file_system(self):
        fd = os.open("/tmp/filler", os.O_WRONLY | os.O_CREAT, 0o600)
        try:
            while os.write(fd, b"x" * 1024):
                pass
        except OSError:
            pass
        finally:
            os.close(fd)
        with httpstub.serve(body=DOCUMENT) as stub:
            run = harness.corvane("counter", "-c", "Requestv4")
        self.assertEqual(len(stub.requests), 1)
        os.remove("/tmp/filler")
        self.assertOldFileAlone(run, "No space left on device")

    def test_read_only_file_system(self):
        mount("-o", "remount,ro", "/tmp")
        with httpstub.serve(body=DOCUMENT) as stub:
            run = harness.corvane("counter", "-c", "Requestv4")
        self.assertEqual(len(stub.requests), 1)
        self.assertOldFileAlone(run, "Read-only file system")


if __name__ == "__main__":
    unittest.main()
