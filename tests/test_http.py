"""The fetch from the statistics channel: the request sent, the statuses, the body codings, and
every fault a server can commit, each ending with one diagnostic and the old cache intact."""

import contextlib
import itertools
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

import harness
import httpstub

sys.path.insert(0, os.path.join(harness.ROOT, "bench"))
import gendoc  # noqa: E402

GIB = 1 << 30
MIB = 1 << 20

STALE = '{"zones": {}, "counter": {"Requestv4": "1"}}'

DOCUMENT = (b'<?xml version="1.0" encoding="UTF-8"?>\n'
            b'<statistics version="3.8"><server>'
            b'<counters type="nsstat"><counter name="Requestv4">417</counter></counters>'
            b'</server></statistics>\n')


def request(port):
    return (b"GET / HTTP/1.1\r\nHost: %s\r\nAccept-Encoding: identity\r\n\r\n" % port)


def ok(head, body):
    return b"HTTP/1.1 200 OK\r\n" + head + b"\r\n" + body


def measured(*words):
    """Runs the binary like harness.corvane; returns the Run and its peak resident set in bytes,
    as /usr/bin/time tells it: a child forked from this process would count its pages too."""
    with tempfile.NamedTemporaryFile() as peak:
        p = subprocess.run(["/usr/bin/time", "-q", "-f", "%M", "-o", peak.name, harness.CORVANE,
                            *words], capture_output=True, timeout=60)
        run = harness.Run(p.returncode, p.stdout.decode("utf-8", "surrogateescape"),
                          p.stderr.decode("utf-8", "surrogateescape"))
        return run, int(open(peak.name).read().split()[-1]) * 1024


class Fetch(unittest.TestCase):
    def setUp(self):
        harness.placecache(STALE, age=120)
        self.before = harness.cachestate()

    def assertUntouched(self):
        self.assertEqual(harness.cachestate(), self.before)

    def assertFailure(self, run, *phrases):
        """One diagnostic line naming what failed, nothing for the agent, status 1."""
        self.assertEqual(run.status, 1, run)
        self.assertEqual(run.out, "", run)
        self.assertTrue(run.err.startswith("corvane: ") and run.err.endswith("\n"), run)
        self.assertEqual(run.err.count("\n"), 1, run)
        for phrase in phrases:
            self.assertIn(phrase, run.err)
        self.assertUntouched()

    def test_request_names_the_port_in_decimal(self):
        cases = [
            ([], 8653, b"localhost:8653"),
            (["-p", "888"], 888, b"localhost:888"),
            (["-p", "0888"], 888, b"localhost:888"),
            (["-p", "80"], 80, b"localhost"),
            (["-p", "00080"], 80, b"localhost"),
            (["-p", "65535"], 65535, b"localhost:65535"),
        ]
        for words, port, host in cases:
            harness.forgetfailure()
            with self.subTest(words=words), httpstub.serve(status=404, port=port) as stub:
                run = harness.corvane("json", *words, timeout=30)
                self.assertEqual((run.status, run.out, run.err), (1, "HTTP GET Failed\n", ""))
                self.assertEqual(stub.requests, [request(host)])
                self.assertUntouched()

    def test_other_statuses_end_with_http_get_failed(self):
        cases = [
            (204, "length", b""),
            (301, "length", b"moved"),
            (302, "close", b""),
            (404, "length", b"<html>not found</html>"),
            (500, "chunked", b"oops"),
            (503, "close", b"busy"),
            (201, "length", DOCUMENT),
        ]
        for status, mode, body in cases:
            harness.forgetfailure()
            with self.subTest(status=status), \
                    httpstub.serve(status=status, mode=mode, body=body,
                                   headers=["Location: http://localhost:8653/x"]) as stub:
                run = harness.corvane("counter", "-c", "Requestv4", timeout=30)
                self.assertEqual((run.status, run.out, run.err), (1, "HTTP GET Failed\n", ""))
                self.assertEqual(len(stub.requests), 1)  # no redirection followed
                self.assertUntouched()

    def test_every_body_coding_gives_the_same_answer(self):
        interim = (b"HTTP/1.1 100 Continue\r\n\r\n"
                   + httpstub.response(200, DOCUMENT, "length"))
        cases = [
            ("length, kept open", dict(mode="length")),
            ("chunked, kept open", dict(mode="chunked")),
            ("until close", dict(mode="close")),
            ("after an interim 100", dict(handler=lambda conn, req: (
                conn.sendall(interim), httpstub.waitclose(conn)))),
        ]
        for name, how in cases:
            harness.forgetfailure()
            with self.subTest(name):
                harness.placecache(STALE, age=120)
                with httpstub.serve(body=DOCUMENT, **how) as stub:
                    started = time.monotonic()
                    run = harness.corvane("counter", "-c", "Requestv4", timeout=30)
                    took = time.monotonic() - started
                self.assertEqual((run.status, run.out, run.err), (0, "417\n", ""))
                self.assertLess(took, 5)  # the length ends the body, not the server's close
                self.assertEqual(len(stub.requests), 1)
                self.assertIn('"Requestv4": "417"', harness.readcache())

    def test_a_port_that_is_no_number_never_connects(self):
        for text in ["abc", "-8653", "+8653", " 8653", "8653 ", "8653x", "0x21CD", "86.53"]:
            harness.forgetfailure()
            with self.subTest(text=text), httpstub.serve(port=8653) as stub:
                run = harness.corvane("json", "-p", text)
                self.assertFailure(run, "not a decimal number")
                self.assertEqual(stub.requests, [])

    def test_a_number_that_is_no_port_never_falls_back(self):
        for text, shown in [("0", "localhost:0"), ("000", "localhost:0"),
                            ("65536", "localhost:65536"), ("74189", "localhost:74189"),
                            ("99999999999999999999999", "localhost:99999999999999999999999")]:
            harness.forgetfailure()
            with self.subTest(text=text), httpstub.serve(port=8653) as stub:
                run = harness.corvane("json", "-p", text)
                self.assertFailure(run, shown, "not a TCP port")
                self.assertEqual(stub.requests, [])

    def test_nothing_listening(self):
        for words, where in [([], "localhost:8653"), (["-p", "0999"], "localhost:999")]:
            harness.forgetfailure()
            with self.subTest(words=words):
                run = harness.corvane("json", *words)
                self.assertFailure(run, "cannot connect to " + where, "refused")

    def test_faults_end_cleanly(self):
        big = b"x" * 100000

        def reset_in_body(conn, req):
            conn.sendall(ok(b"Content-Length: 5000\r\n", DOCUMENT))
            time.sleep(0.2)
            httpstub.reset(conn)

        def announce_huge(conn, req):
            conn.sendall(ok(b"Content-Length: %d\r\n" % (GIB + 1), DOCUMENT))
            httpstub.waitclose(conn)

        cases = [
            ("closes at once", lambda conn, req: None, "closed the connection without an answer"),
            ("resets at once", lambda conn, req: httpstub.reset(conn), "localhost:8653"),
            ("status line of absurd length",
             lambda conn, req: conn.sendall(b"HTTP/1.1 200 " + big + b"\r\n\r\n"),
             "exceeds 8 KiB"),
            ("header field of absurd length",
             lambda conn, req: conn.sendall(ok(b"X-Junk: " + big + b"\r\n", b"")),
             "exceeds 8 KiB"),
            ("endless header fields",
             lambda conn, req: conn.sendall(b"HTTP/1.1 200 OK\r\n" + b"X: y\r\n" * 20000),
             "exceeds 8 KiB"),
            ("not HTTP", lambda conn, req: conn.sendall(b"220 mail.example ESMTP\r\n\r\n"),
             "malformed answer from localhost:8653"),
            ("length body cut off",
             lambda conn, req: conn.sendall(ok(b"Content-Length: 5000\r\n", DOCUMENT)),
             "was cut off"),
            ("chunked body cut off",
             lambda conn, req: conn.sendall(ok(b"Transfer-Encoding: chunked\r\n",
                                               b"2000\r\n" + DOCUMENT)),
             "was cut off"),
            ("chunked body without its last chunk",
             lambda conn, req: conn.sendall(httpstub.response(200, DOCUMENT, "chunked")[:-5]),
             "was cut off"),
            ("reset in the body", reset_in_body, "reset"),
            ("announces more than the bound", announce_huge, "exceed 1 GiB"),
        ]
        for name, handler, phrase in cases:
            harness.forgetfailure()
            with self.subTest(name), httpstub.serve(handler=handler):
                run = harness.corvane("counter", "-c", "Requestv4", timeout=30)
                self.assertFailure(run, phrase)

    def test_huge_bodies_end_in_bounded_memory(self):
        """The body streams into the parser and is never held: what a run holds is what the
        extractors keep, whatever comes, and a body past the bound ends the run at once."""
        head = b'<?xml version="1.0"?>\n<statistics version="3.11">'
        filler = b"y" * MIB

        def endless():
            yield head + b"<traffic>"
            yield from itertools.repeat(filler)

        def attribute():
            yield b'<statistics version="3.11" junk="'
            yield from itertools.repeat(filler, 300)
            yield b'"/>'

        def empties():
            yield head
            yield from itertools.repeat(b"<a/>" * 250000, 40)
            yield b"</statistics>\n"

        cases = [
            ("endless chunked body", httpstub.streamed(endless), "exceed 1 GiB"),
            ("longer than its announced length allows",
             httpstub.streamed(endless, length=GIB + 1), "exceed 1 GiB"),
            ("an attribute of 300 MB", httpstub.streamed(attribute),
             "token longer than 4 MiB at line 1"),
            ("ten million empty elements", httpstub.streamed(empties), None),
        ]
        for name, handler, phrase in cases:
            with self.subTest(name), httpstub.serve(handler=handler):
                harness.placecache(STALE, age=120)
                self.before = harness.cachestate()
                started = time.monotonic()
                run, peak = measured("counter", "-c", "Requestv4")
                took = time.monotonic() - started
                if phrase:
                    self.assertFailure(run, phrase)
                else:
                    self.assertEqual((run.status, run.out, run.err), (1, "ZBX_NOTSUPPORTED\n", ""))
                    self.assertNotIn("Requestv4", harness.readcache())
                self.assertLess(peak, 200 * MIB, name)
                self.assertLess(took, 30, name)

    def test_a_large_document_cut_off_leaves_the_cache(self):
        body = gendoc.document(100000).encode()
        half = body[:len(body) // 2]
        del body

        def cut(conn, req):
            conn.sendall(ok(b"Content-Length: %d\r\n" % (2 * len(half)), half))

        with httpstub.serve(handler=cut):
            run = harness.corvane("zonecounter", "-z", gendoc.zonename(10), "-c", "QryAuthAns",
                                  timeout=60)
        self.assertFailure(run, "was cut off")

    def test_a_document_that_ends_late_is_still_answered_in_time(self):
        """The last byte at 23 s of the exchange's 25: what follows it fits the run's 30 s."""
        body = gendoc.document(10000).encode()
        step = len(body) // 46

        def late(conn, req):
            conn.sendall(ok(b"Content-Length: %d\r\n" % len(body), b""))
            with contextlib.suppress(OSError):
                for at in range(0, len(body), step):
                    time.sleep(0.5)
                    conn.sendall(body[at:at + step])
                httpstub.waitclose(conn)

        with httpstub.serve(handler=late):
            started = time.monotonic()
            run = harness.corvane("counter", "-c", "QryAuthAns", timeout=60)
            took = time.monotonic() - started
        self.assertEqual(run.status, 0, run)
        self.assertGreater(took, 22)
        self.assertLess(took, 30)

    def test_slow_servers_meet_the_time_bound(self):
        """All at once, each on its own port: every case waits out the same 25 s bound."""
        def never(conn, req):
            httpstub.waitclose(conn)

        def drip_header(conn, req):
            httpstub.drip(conn, ok(b"Content-Length: 10\r\n", b"0123456789"), pause=1)

        def drip_body(conn, req):
            conn.sendall(ok(b"Content-Length: 1000\r\n", b""))
            httpstub.drip(conn, b"z" * 1000, pause=1)

        def interim_forever(conn, req):
            while True:
                conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
                time.sleep(0.5)

        cases = [
            (18001, never, "no answer from localhost:18001 within 25 s"),
            (18002, drip_header, "the answer from localhost:18002 was not complete within 25 s"),
            (18003, drip_body, "the answer from localhost:18003 was not complete within 25 s"),
            (18004, interim_forever, "no answer from localhost:18004 within 25 s"),
        ]
        with contextlib.ExitStack() as stack:
            runs = []
            for port, handler, _ in cases:
                stack.enter_context(httpstub.serve(handler=handler, port=port))
                runs.append(subprocess.Popen(
                    [harness.CORVANE, "json", "-p", str(port)],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE))
            started = time.monotonic()
            results = [p.communicate(timeout=60) for p in runs]
            took = time.monotonic() - started
        # Each port has a cache of its own: every run fetches, side by side.
        self.assertLess(took, 35)
        for (port, _, message), p, (out, err) in zip(cases, runs, results):
            with self.subTest(port=port):
                self.assertEqual((p.returncode, out), (1, b""))
                self.assertEqual(err.decode(), "corvane: " + message + "\n")
        self.assertUntouched()


if __name__ == "__main__":
    unittest.main()
