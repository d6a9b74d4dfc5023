"""A monitoring cycle's worth of polls at once against a real named, with no cache file: every
poll answers right, and the statistics channel serves one document for all of them."""

import json
import os
import subprocess
import time
import unittest

import harness
import named

POLLS = 200
# A slow server is the worst case: the polls all start while the first fetch is still waiting.
DELAY = 0.3
PLAN = [("www.example.org", "A", 6), ("example.org", "MX", 2), ("www.example.net", "A", 3)]


class Load(unittest.TestCase):
    def test_polls_at_once_cost_one_fetch(self):
        with named.Named() as server, \
                named.CountingProxy(server.statsport, port=8653, delay=DELAY) as proxy:
            sent = server.ask(PLAN)
            harness.removecache()
            kinds = [
                (["zonecounter", "-z", "example.org", "-c", "A"], lambda d: d["zones"]["example.org"]["A"] + "\n"),
                (["zonecounter", "-z", "example.net", "-c", "A"], lambda d: d["zones"]["example.net"]["A"] + "\n"),
                (["counter", "-c", "Requestv4"], lambda d: d["counter"]["Requestv4"] + "\n"),
                (["jsonzone", "-z", "example.org"], lambda d: json.dumps(d["zones"]["example.org"]) + "\n"),
                (["discoverzones"], lambda d: json.dumps(
                    {"data": [{"{#ZONE}": z} for z, c in d["zones"].items() if c]}) + "\n"),
            ]
            polls = [kinds[i % len(kinds)] for i in range(POLLS)]

            # Every poll waits on a pipe until all are started, then they go together.
            gate, release = os.pipe()
            procs = []
            try:
                for words, _ in polls:
                    procs.append(subprocess.Popen(
                        ["sh", "-c", 'read _; exec "$@"', "sh", harness.CORVANE, *words],
                        stdin=gate, stdout=subprocess.PIPE, stderr=subprocess.PIPE))
            finally:
                os.close(gate)
                os.close(release)
            began = time.monotonic()
            results = []
            deadline = began + 120
            try:
                for p in procs:
                    out, err = p.communicate(timeout=max(1, deadline - time.monotonic()))
                    results.append((p.returncode, out.decode(), err.decode()))
            finally:
                for p in procs:
                    if p.poll() is None:
                        p.kill()
                        p.wait()
            elapsed = time.monotonic() - began
            time.sleep(0.2)  # the proxy keeps a response once its connection has ended
            bodies = proxy.bodies()
            print(f"\n{POLLS} polls at once: {proxy.requests} fetch(es) reached named, "
                  f"all answered in {elapsed:.2f} s", flush=True)

        self.assertTrue(bodies, "no document was served")
        doc = named.expected(bodies[0])
        self.assertEqual(doc["zones"]["example.org"]["A"], "6")
        self.assertGreaterEqual(int(doc["counter"]["Requestv4"]), sent)
        failed = [(words, r) for (words, _), r in zip(polls, results) if r[0] != 0]
        self.assertEqual(failed, [])
        for i, ((words, answer), (status, out, err)) in enumerate(zip(polls, results)):
            with self.subTest(poll=i, words=words):
                self.assertEqual((status, out, err), (0, answer(doc), ""))
        self.assertEqual(proxy.requests, 1, "polls that found the cache stale together "
                                            "should make one fetch between them")


if __name__ == "__main__":
    unittest.main()
