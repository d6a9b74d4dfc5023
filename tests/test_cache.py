"""The cache file between runs: when it is answered from, what a run leaves in it, and what
nobody else can make a run answer from."""

import concurrent.futures
import os
import stat
import time
import unittest

import harness
import httpstub

CACHED = '{"zones": {"example.org": {"NOERROR": "1"}}, "counter": {"Requestv4": "5"}}'

DOCUMENT = (b'<?xml version="1.0" encoding="UTF-8"?>\n'
            b'<statistics version="3.8"><server>'
            b'<counters type="nsstat"><counter name="Requestv4">7</counter></counters></server>'
            b'<views><view name="_default"><zones><zone name="example.org" rdataclass="IN">'
            b'<counters type="rcode"><counter name="NOERROR">3</counter></counters>'
            b'</zone></zones></view></views></statistics>\n')

# What a fetch of DOCUMENT writes: the whole document, zones included, one line, no line end.
WRITTEN = ('{"zones": {"example.org": {"NOERROR": "3"}}, "counter": {"Requestv4": "7"}, '
           '"zonemaintenancecounter": {}, "resolvercounter": {}, "socketcounter": {}, '
           '"incounter": {}, "outcounter": {}, "cache": {}, "memory": {}}')


class CacheFile(unittest.TestCase):
    def tearDown(self):
        harness.removecache()

    def assertNoAnswer(self, run, *phrases):
        """One diagnostic line, nothing for the agent, status 1."""
        self.assertEqual((run.status, run.out), (1, ""), run)
        self.assertTrue(run.err.startswith("corvane: "), run)
        self.assertEqual(run.err.count("\n"), 1, run)
        for phrase in phrases:
            self.assertIn(phrase, run.err)

    def test_fresh_for_sixty_seconds(self):
        # Nothing listens on the statistics port: only a fresh file gives an answer.
        cases = [(0, True), (59, True), (-3600, True), (61, False), (3600, False)]
        for age, fresh in cases:
            with self.subTest(age=age):
                harness.placecache(CACHED, age=age)
                before = harness.cachestate()
                run = harness.corvane("counter", "-c", "Requestv4", "-p", "8653")
                if fresh:
                    self.assertEqual((run.status, run.out, run.err), (0, "5\n", ""))
                else:
                    self.assertNoAnswer(run)
                # Neither answering nor a failed fetch touches the file.
                self.assertEqual(harness.cachestate(), before)

    def test_fresh_file_that_is_no_document_fails(self):
        cases = ["", " ", "{", CACHED[:-1], CACHED + " x", "<isc/>", "[]", "null",
                 '{"zones": {"a": "\x01"}}']
        for text in cases:
            with self.subTest(text=text):
                harness.placecache(text, age=1)
                before = harness.cachestate()
                run = harness.corvane("counter", "-c", "Requestv4")
                self.assertNoAnswer(run, harness.JSONFILE)
                self.assertEqual(harness.cachestate(), before)

    def test_fetch_writes_the_file_and_later_runs_answer_from_it(self):
        with httpstub.serve(body=DOCUMENT) as stub:
            old = os.umask(0o027)
            try:
                run = harness.corvane("json")
            finally:
                os.umask(old)
            self.assertEqual(run.status, 0, run)
            self.assertNotIn("zones", run.out)
            self.assertEqual(harness.readcache(), WRITTEN)
            self.assertEqual(stat.S_IMODE(os.stat(harness.JSONFILE).st_mode), 0o640)
            self.assertEqual(len(stub.requests), 1)
            before = harness.cachestate()
            run = harness.corvane("zonecounter", "-z", "example.org", "-c", "NOERROR")
            self.assertEqual((run.status, run.out), (0, "3\n"))
            self.assertEqual(len(stub.requests), 1)
            self.assertEqual(harness.cachestate(), before)

    def test_link_at_the_path_is_replaced_not_written_through(self):
        victim = "/tmp/victim"
        with open(victim, "w") as f:
            f.write("precious")
        os.utime(victim, (0, 0))
        os.symlink(victim, harness.JSONFILE)
        with httpstub.serve(body=DOCUMENT):
            run = harness.corvane("counter", "-c", "Requestv4")
        self.assertEqual((run.status, run.out), (0, "7\n"), run)
        self.assertFalse(os.path.islink(harness.JSONFILE))
        self.assertEqual(harness.readcache(), WRITTEN)
        with open(victim) as f:
            self.assertEqual(f.read(), "precious")
        os.remove(victim)

    def test_file_nobody_could_have_written_is_not_answered_from(self):
        def fifo():
            harness.removecache()
            os.mkfifo(harness.JSONFILE)

        def foreign():
            harness.placecache(CACHED, age=1)
            os.chown(harness.JSONFILE, 12345, 12345)

        plants = [("fifo", fifo)]
        if os.geteuid() == 0:
            plants.append(("foreign", foreign))
        for name, plant in plants:
            with self.subTest(plant=name):
                # Nothing listens: the run must neither answer from it nor block on it.
                plant()
                run = harness.corvane("counter", "-c", "Requestv4", timeout=20)
                self.assertNoAnswer(run)
                # A server that answers: the fetched document replaces what was planted.
                harness.forgetfailure()
                with httpstub.serve(body=DOCUMENT):
                    run = harness.corvane("counter", "-c", "Requestv4", timeout=20)
                self.assertEqual((run.status, run.out, run.err), (0, "7\n", ""))
                self.assertTrue(stat.S_ISREG(os.lstat(harness.JSONFILE).st_mode))
                self.assertEqual(harness.readcache(), WRITTEN)

    def test_directory_at_the_path_is_a_failure_naming_it(self):
        os.mkdir(harness.JSONFILE)
        try:
            with httpstub.serve(body=DOCUMENT):
                run = harness.corvane("counter", "-c", "Requestv4")
            self.assertNoAnswer(run, harness.JSONFILE, "Is a directory")
            # No temporary file is left beside it.
            left = [n for n in os.listdir("/tmp") if n.startswith("corvane.json.")
                    and n not in ("corvane.json.lock", "corvane.json.outcome")]
            self.assertEqual(left, [])
        finally:
            os.rmdir(harness.JSONFILE)

    def test_polls_started_together_fetch_once(self):
        harness.placecache(CACHED, age=120)
        polls = 20

        def slow(conn, request):
            # Long enough that every poll finds the cache stale before the first one writes.
            time.sleep(0.5)
            conn.sendall(httpstub.response(body=DOCUMENT))
            httpstub.waitclose(conn, limit=10)

        with httpstub.serve(handler=slow) as stub:
            with concurrent.futures.ThreadPoolExecutor(polls) as pool:
                runs = list(pool.map(lambda _: harness.corvane("counter", "-c", "Requestv4"),
                                     range(polls)))
        for run in runs:
            self.assertEqual((run.status, run.out, run.err), (0, "7\n", ""))
        self.assertEqual(len(stub.requests), 1)
        self.assertEqual(harness.readcache(), WRITTEN)


if __name__ == "__main__":
    unittest.main()
