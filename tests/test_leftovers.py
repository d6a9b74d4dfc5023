"""What stands beside the cache file: no link planted there is followed, no temporary file
outlives its run however the run ends, and an index that no longer serves the file is written
again by the first poll that reads the file whole."""

import json
import os
import signal
import struct
import subprocess
import sys
import time
import unittest

import harness
import httpstub

sys.path.insert(0, os.path.join(os.path.dirname(harness.HERE), "bench"))
import gendoc  # noqa: E402

OTHER = 4242  # another user of the host
INDEX = harness.JSONFILE + ".index"
LOCK = harness.JSONFILE + ".lock"
OUTCOME = harness.JSONFILE + ".outcome"
TEMPORARY = harness.JSONFILE + ".new.1.abcdef"
MINE = {"corvane.json", "corvane.json.index", "corvane.json.lock"}

with open(os.path.join(harness.HERE, "fixtures", "v3-bind-9.11-server.xml"), "rb") as f:
    DOCUMENT = f.read()  # Requestv4 156
FORGED = '{"zones": {}, "counter": {"Requestv4": "666"}}'


def leftovers():
    return {n for n in os.listdir("/tmp") if n.startswith("corvane")} - MINE


def fetched():
    run = harness.corvane("counter", "-c", "Requestv4")
    assert run.status == 0 and run.out == "156\n", run
    return run


class Links(unittest.TestCase):
    def tearDown(self):
        for path in (harness.JSONFILE, INDEX, LOCK, OUTCOME, TEMPORARY, "/tmp/victim"):
            if os.path.lexists(path):
                os.remove(path)

    @unittest.skipUnless(os.geteuid() == 0, "needs root to give a link to another user")
    def test_another_users_link_at_any_path_is_never_followed(self):
        # What a root-owned file at the end of each link would make a run answer, had it been
        # followed: a fresh cache file that says 666, the index of such a file, a failure.
        harness.removecache()
        with httpstub.serve(body=DOCUMENT):
            fetched()
        with open(INDEX, "rb") as f:
            index = f.read()
        with httpstub.serve(status=500):
            harness.forgetfailure()
            harness.removecache()
            harness.corvane("counter", "-c", "Requestv4")
        with open(OUTCOME, "rb") as f:
            failure = f.read()
        cases = [("cache file", harness.JSONFILE, FORGED.encode()), ("index", INDEX, index),
                 ("lock", LOCK, b""), ("record of a failure", OUTCOME, failure),
                 ("temporary name", TEMPORARY, FORGED.encode())]
        for what, path, victim in cases:
            for age in (0, 3600):
                with self.subTest(what, age=age):
                    self.tearDown()
                    if path not in (harness.JSONFILE, INDEX):
                        harness.placecache(FORGED, age=120)
                    with open("/tmp/victim", "wb") as f:
                        f.write(victim)
                    os.utime("/tmp/victim", (time.time() - age,) * 2)
                    os.symlink("/tmp/victim", path)
                    os.lchown(path, OTHER, OTHER)
                    os.utime(path, (time.time() - age,) * 2, follow_symlinks=False)
                    with httpstub.serve(body=DOCUMENT) as stub:
                        first, second = fetched(), fetched()
                    self.assertEqual((first.err, second.err), ("", ""))
                    self.assertEqual(len(stub.requests), 1)
                    with open("/tmp/victim", "rb") as f:
                        self.assertEqual(f.read(), victim)
                    self.assertAlmostEqual(os.stat("/tmp/victim").st_mtime, time.time() - age, delta=5)


class Ends(unittest.TestCase):
    """A run ended by a signal or by a limit while it writes leaves nothing of its own after
    the next fetch, and the cache whole."""

    @classmethod
    def setUpClass(cls):
        # Large enough that the cache file takes a while to write.
        cls.body = gendoc.document(3000).encode()
        cls.zone, cls.counter = gendoc.probe(3000)

    def setUp(self):
        harness.removecache()

    def answers(self):
        questions = [("zonecounter", "-z", self.zone, "-c", self.counter), ("counter", "-c", "QryAuthAns"),
                     ("json",), ("discoverzones",)]
        return [(r.status, r.out, r.err) for r in (harness.corvane(*q) for q in questions)]

    def writing(self, pid):
        """Whether the run `pid` has a new cache file open, with or without a name."""
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            return False
        for fd in fds:
            try:
                target = os.readlink(f"/proc/{pid}/fd/{fd}")
            except OSError:
                continue
            if target.startswith("/tmp/#") or target.startswith("/tmp/corvane.json.new."):
                return True
        return False

    def test_a_signal_while_it_writes_leaves_nothing(self):
        for sig in (signal.SIGKILL, signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=sig.name), httpstub.serve(body=self.body):
                caught = False
                for _ in range(20):
                    harness.removecache()
                    p = subprocess.Popen([harness.CORVANE, "counter", "-c", "QryAuthAns"],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    while p.poll() is None and not caught:
                        if self.writing(p.pid):
                            p.send_signal(sig)
                            caught = True
                    p.wait()
                    if caught:
                        break
                self.assertTrue(caught, "never caught a run as it wrote")
                self.assertEqual(p.returncode, -sig)
                harness.forgetfailure()
                run = harness.corvane("counter", "-c", "QryAuthAns")
                self.assertEqual((run.status, run.err), (0, ""))
            self.assertEqual(leftovers(), set())
            json.loads(harness.readcache())
            indexed = self.answers()
            os.remove(INDEX)
            self.assertEqual(self.answers(), indexed)

    def test_a_file_size_limit_fails_the_write_with_its_reason(self):
        old = '{"zones": {}, "counter": {"Requestv4": "1"}}'
        harness.placecache(old, age=120)
        with httpstub.serve(body=DOCUMENT):
            p = subprocess.run(["sh", "-c", 'ulimit -f 4; exec "$@"', "sh", harness.CORVANE,
                                "counter", "-c", "Requestv4"], capture_output=True, text=True)
        self.assertEqual((p.returncode, p.stdout), (1, ""), p)
        self.assertEqual(p.stderr, f"corvane: cache file {harness.JSONFILE}: cannot write it: "
                                   "File too large\n")
        self.assertEqual(harness.readcache(), old)
        self.assertEqual(leftovers() - {"corvane.json.outcome"}, set())


class Healing(unittest.TestCase):
    def test_after_a_touch_the_next_poll_reads_through_a_new_index(self):
        harness.removecache()
        with httpstub.serve(body=DOCUMENT):
            fetched()
        os.utime(harness.JSONFILE)
        first = fetched()
        st = os.stat(harness.JSONFILE)
        with open(INDEX, "rb") as f:
            header = struct.unpack("=9Q", f.read(72))
        self.assertEqual(header[2:9], (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns // 10**9,
                                       st.st_mtime_ns % 10**9, st.st_ctime_ns // 10**9,
                                       st.st_ctime_ns % 10**9))
        written = os.stat(INDEX).st_mtime_ns
        self.assertEqual(fetched().out, first.out)
        self.assertEqual(os.stat(INDEX).st_mtime_ns, written)


if __name__ == "__main__":
    unittest.main()
