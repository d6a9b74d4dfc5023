"""Polls that start together share what one fetch leaves: the document, or how the fetch failed.
A server in trouble gets one request per herd, no poll waits longer than the run limit, and the
first herd after the failure has stood for its 10 s asks the server again."""

import concurrent.futures
import os
import re
import stat
import subprocess
import threading
import time
import unittest

import harness
import httpstub

RUNLIMIT = 30     # s: every wait of one run, as the README gives it
FAILURELIFE = 10  # s: how long a failure answers for the server
SLACK = 2         # s: starting fifty processes at once on a busy machine
HERD = 50
AGENT = 4242      # a user of the agent's own, with no name

DOCUMENT = (b'<?xml version="1.0" encoding="UTF-8"?>\n<statistics version="3.11"><server>'
            b'<counters type="nsstat"><counter name="Requestv4">7</counter></counters>'
            b'</server></statistics>\n')


def herd(n, port, user=None, umask=None):
    """Starts `n` polls of `counter -c Requestv4 -p port` together; returns (status, out, err,
    seconds) of each, in the order they were started."""
    gate, release = os.pipe()
    procs = []

    def prepare():
        if umask is not None:
            os.umask(umask)

    try:
        for _ in range(n):
            procs.append(subprocess.Popen(
                ["sh", "-c", 'read _; exec "$@"', "sh", harness.CORVANE, "counter", "-c",
                 "Requestv4", "-p", str(port)],
                stdin=gate, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                user=user, group=user, extra_groups=[] if user else None, preexec_fn=prepare))
    finally:
        os.close(gate)
        began = time.monotonic()
        os.close(release)
    results = [None] * n

    def wait(i):
        out, err = procs[i].communicate(timeout=RUNLIMIT + 30)
        results[i] = (procs[i].returncode, out.decode(), err.decode(), time.monotonic() - began)

    with concurrent.futures.ThreadPoolExecutor(n) as pool:
        list(pool.map(wait, range(n)))
    return results


def never(conn, request):
    httpstub.waitclose(conn)


def slow(body):
    def handler(conn, request):
        time.sleep(0.5)  # every poll finds the cache stale before the first one writes
        conn.sendall(httpstub.response(body=body))
        httpstub.waitclose(conn, limit=10)
    return handler


def huge(conn, request):
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % (4 << 30))
    httpstub.waitclose(conn)


class Herds(unittest.TestCase):
    def test_a_herd_shares_one_request_and_its_outcome(self):
        # (what, port, stub handler or None for nothing listening, the outcome as a pattern,
        # whether it is a failure that stands for FAILURELIFE)
        cases = [
            ("answers 500", 18101, None, (1, r"HTTP GET Failed\n", r""), True),
            ("never answers", 18102, never,
             (1, r"", r"corvane: no answer from localhost:18102 within 25 s\n"), True),
            ("over the size bound", 18103, huge,
             (1, r"", r"corvane: the statistics from localhost:18103 exceed \d+ [MG]iB\n"), True),
            ("nothing listening", 18104, False,
             (1, r"", r"corvane: cannot connect to localhost:18104 \(.*\): Connection refused\n"), True),
            ("healthy", 18105, slow(DOCUMENT), (0, r"7\n", r""), False),
        ]

        def check(case):
            what, port, handler, (status, out, err), fails = case
            with self.subTest(what):
                if handler is False:
                    self.herds(port, None, status, out, err, fails)
                    return
                how = dict(status=500) if handler is None else dict(handler=handler)
                with httpstub.serve(port=port, **how) as stub:
                    self.herds(port, stub, status, out, err, fails)

        with concurrent.futures.ThreadPoolExecutor(len(cases)) as pool:
            list(pool.map(check, cases))

    def herds(self, port, stub, status, out, err, fails):
        requests = (lambda: len(stub.requests)) if stub else (lambda: 0)
        expected = 1 if stub else 0

        first = herd(HERD, port)
        self.assertEqual(requests(), expected)
        self.assertEqual(len({r[:3] for r in first}), 1, first[:3])
        self.assertEqual(first[0][0], status, first[0])
        self.assertRegex(first[0][1], "^" + out + "$")
        self.assertRegex(first[0][2], "^" + err + "$")
        self.assertLessEqual(max(r[3] for r in first), RUNLIMIT + SLACK)
        ended = time.monotonic()

        # Right after: no request, and no waiting.
        second = herd(HERD, port)
        self.assertEqual(requests(), expected)
        self.assertEqual({r[:3] for r in second}, {first[0][:3]})
        self.assertLess(max(r[3] for r in second), 5)
        if not fails:
            return

        # Once the failure has stood for its time, the next herd asks again, once.
        time.sleep(max(0, ended + FAILURELIFE + 0.5 - time.monotonic()))
        third = herd(HERD, port)
        self.assertEqual(requests(), 2 * expected)
        self.assertEqual({r[:3] for r in third}, {first[0][:3]})


@unittest.skipUnless(os.geteuid() == 0, "needs root to run polls as another user")
class Users(unittest.TestCase):
    """Root runs a poll by hand with a tight umask before the agent's first; the agent's runs
    must still take turns with root's and share their outcome."""

    def tearDown(self):
        for name in os.listdir("/tmp"):
            if name.startswith("corvane-1811"):
                os.remove(os.path.join("/tmp", name))

    def test_root_first_with_umask_077_then_the_agent(self):
        failing, healthy = 18111, 18112
        with httpstub.serve(port=failing, status=500) as stub:
            root = herd(1, failing, umask=0o077)
            self.assertEqual(root[0][:3], (1, "HTTP GET Failed\n", ""))
            for name in (".lock", ".outcome"):
                path = harness.cachepath(failing) + name
                self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o644, path)
            agent = herd(20, failing, user=AGENT)
            self.assertEqual({r[:3] for r in agent}, {root[0][:3]})
            self.assertEqual(len(stub.requests), 1)
            # After the 10 s the agent's herd asks once, and shares its own failure.
            time.sleep(FAILURELIFE + 0.5)
            agent = herd(20, failing, user=AGENT)
            self.assertEqual({r[:3] for r in agent}, {root[0][:3]})
            self.assertEqual(len(stub.requests), 2)

        with httpstub.serve(port=healthy, handler=slow(DOCUMENT)) as stub:
            root = herd(1, healthy, umask=0o077)
            self.assertEqual(root[0][:3], (0, "7\n", ""))
            cache = harness.cachepath(healthy)
            self.assertEqual(stat.S_IMODE(os.stat(cache).st_mode), 0o600)
            # The agent may not read root's file: one diagnostic each, no request.
            agent = herd(20, healthy, user=AGENT)
            self.assertEqual(len({r[:3] for r in agent}), 1)
            self.assertRegex(agent[0][2], "^corvane: cache file " + re.escape(cache) +
                             ": cannot open it: Permission denied\n$")
            self.assertEqual(len(stub.requests), 1)
            # The manual's recovery: the agent answers, and its herd fetches once.
            os.remove(cache)
            agent = herd(20, healthy, user=AGENT)
            self.assertEqual({r[:3] for r in agent}, {(0, "7\n", "")})
            self.assertEqual(len(stub.requests), 2)


if __name__ == "__main__":
    unittest.main()
