"""Several servers on one host: each statistics channel has its own cache file, and no poll is
ever answered from another server's; a port text that names no port touches no file."""

import concurrent.futures
import os
import time
import unittest

import harness
import httpstub

AUTH, RESOLVER = 8653, 8654


def document(requests, zones):
    counters = "".join(f'<zone name="{z}" rdataclass="IN"><counters type="rcode">'
                       f'<counter name="QrySuccess">{n}</counter></counters></zone>'
                       for z, n in zones.items())
    return (f'<statistics version="3.11"><server><counters type="nsstat"><counter name="Requestv4">'
            f'{requests}</counter></counters></server><views><view name="_default"><zones>'
            f'{counters}</zones></view></views></statistics>').encode()


SERVERS = {AUTH: document(111, {"example.org": 5, "example.net": 6}),
           RESOLVER: document(222, {"resolver.test": 7})}


def slow(body):
    def handler(conn, request):
        time.sleep(0.5)
        conn.sendall(httpstub.response(body=body))
        httpstub.waitclose(conn, limit=10)
    return handler


def files():
    """Every corvane file in /tmp, with its contents and modification time."""
    found = {}
    for name in os.listdir("/tmp"):
        if name.startswith("corvane"):
            path = os.path.join("/tmp", name)
            with open(path, "rb") as f:
                found[name] = (f.read(), os.stat(path).st_mtime_ns)
    return found


class Ports(unittest.TestCase):
    def setUp(self):
        for name in os.listdir("/tmp"):
            if name.startswith("corvane"):
                os.remove(os.path.join("/tmp", name))

    def serve(self):
        stubs = [httpstub.serve(port=port, handler=slow(body)) for port, body in SERVERS.items()]
        return [s.__enter__() for s in stubs], stubs

    def test_each_server_answers_for_itself(self):
        (auth, resolver), stubs = self.serve()
        try:
            cases = [
                (["counter", "-c", "Requestv4"], "111\n"),
                (["counter", "-c", "Requestv4", "-p", "8654"], "222\n"),
                (["counter", "-c", "Requestv4", "-p", "08653"], "111\n"),
                (["counter", "-c", "Requestv4", "-p", ""], "111\n"),
                (["counter", "-c", "Requestv4", "-p", "08654"], "222\n"),
                (["discoverzones", "-p", "8654"], '{"data": [{"{#ZONE}": "resolver.test"}]}\n'),
                (["discoverzones"], '{"data": [{"{#ZONE}": "example.org"}, {"{#ZONE}": "example.net"}]}\n'),
                (["zonecounter", "-z", "resolver.test", "-c", "QrySuccess", "-p", "8654"], "7\n"),
                (["zonecounter", "-z", "resolver.test", "-c", "QrySuccess"], "ZBX_NOTSUPPORTED\n"),
                (["zonecounter", "-z", "example.net", "-c", "QrySuccess", "-p", "8654"], "ZBX_NOTSUPPORTED\n"),
                (["zonecounter", "-z", "example.net", "-c", "QrySuccess"], "6\n"),
            ]
            for words, out in cases:
                with self.subTest(words=words):
                    self.assertEqual(harness.corvane(*words).out, out)
            self.assertEqual((len(auth.requests), len(resolver.requests)), (1, 1))
            self.assertTrue(os.path.exists("/tmp/corvane.json"))
            self.assertTrue(os.path.exists("/tmp/corvane-8654.json"))
            self.assertFalse(os.path.exists("/tmp/corvane-8653.json"))

            # Stale caches, and eighty polls split between the two: one request each.
            for path in ("/tmp/corvane.json", "/tmp/corvane-8654.json"):
                os.utime(path, (time.time() - 120,) * 2)
            words = [["counter", "-c", "Requestv4", "-p", str(AUTH if i % 2 else RESOLVER)]
                     for i in range(80)]
            with concurrent.futures.ThreadPoolExecutor(80) as pool:
                runs = list(pool.map(lambda w: harness.corvane(*w), words))
            for w, run in zip(words, runs):
                self.assertEqual(run.out, "111\n" if w[-1] == str(AUTH) else "222\n")
            self.assertEqual((len(auth.requests), len(resolver.requests)), (2, 2))
        finally:
            for s in stubs:
                s.__exit__(None, None, None)

    def test_a_port_text_uses_its_own_file_or_none(self):
        # Fresh caches of two servers that must never answer for another port.
        harness.placecache('{"zones": {}, "counter": {"Requestv4": "111"}}')
        harness.placecache('{"zones": {}, "counter": {"Requestv4": "222"}}', path="/tmp/corvane-8654.json")
        before = files()
        # (port text, its own cache file, what the one diagnostic line says; None: it answers)
        cases = [
            ("", "corvane.json", None),
            ("1", "corvane-1.json", "cannot connect to localhost:1 "),
            ("65535", "corvane-65535.json", "cannot connect to localhost:65535 "),
            ("0", None, "not a TCP port"),
            ("65536", None, "not a TCP port"),
            ("9" * 10000, None, "not a TCP port"),
            ("-1", None, "not a decimal number"),
            ("+8654", None, "not a decimal number"),
            (" 8654", None, "not a decimal number"),
            ("8654 ", None, "not a decimal number"),
            ("0x21", None, "not a decimal number"),
            ("8654abc", None, "not a decimal number"),
            ("1e3", None, "not a decimal number"),
            ("../x", None, "not a decimal number"),
            ("8654/../1", None, "not a decimal number"),
        ]
        for text, own, says in cases:
            with self.subTest(text=text[:12]):
                run = harness.corvane("counter", "-c", "Requestv4", "-p", text)
                if says is None:
                    self.assertEqual((run.status, run.out, run.err), (0, "111\n", ""))
                else:
                    self.assertEqual((run.status, run.out), (1, ""), run)
                    self.assertIn(says, run.err)
                    self.assertEqual(run.err.count("\n"), 1)
                now = files()
                touched = {n for n in set(now) | set(before) if now.get(n) != before.get(n)}
                self.assertTrue(all(own and n.startswith(own) for n in touched), touched)
                for n in touched:
                    os.remove(os.path.join("/tmp", n))


if __name__ == "__main__":
    unittest.main()
