"""The command line as the agent and a person meet it: help, usage errors, streams, statuses.

None of these runs may read or write the cache file or connect to the statistics channel."""

import contextlib
import os
import socket
import unittest

import harness

USAGE = "usage: corvane [-h] [-z Z] [-c C] [-p P] action\n"

with open(os.path.join(harness.HERE, "fixtures", "help-78.txt")) as f:
    HELP = f.read()  # the unit tests expect the same text


def error(reason, name="corvane"):
    return f"usage: {name} [-h] [-z Z] [-c C] [-p P] action\n{name}: error: {reason}\n"


@contextlib.contextmanager
def listening(port=8653):
    """A listener on the statistics port that only records whether anyone connected."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", port))
    s.listen(8)
    try:
        yield s
    finally:
        s.close()


def connected(listener):
    listener.setblocking(False)
    try:
        conn, _ = listener.accept()
    except BlockingIOError:
        return False
    conn.close()
    return True


class CommandLine(unittest.TestCase):
    def setUp(self):
        harness.removecache()

    def check(self, words, status, out, err, argv0=None):
        with listening() as listener:
            run = harness.corvane(*words, argv0=argv0)
            self.assertFalse(connected(listener), "connected to the statistics channel")
        self.assertEqual((run.status, run.out, run.err), (status, out, err))
        self.assertFalse(os.path.lexists(harness.JSONFILE), "touched the cache file")

    def test_help_and_errors(self):
        cases = [
            ([], 2, "", error("the following arguments are required: action")),
            (["-h"], 0, HELP, ""),
            (["--help"], 0, HELP, ""),
            (["--he"], 0, HELP, ""),
            (["zonecounter", "-z", "example.org", "-c", "QUERY", "-h"], 0, HELP, ""),
            (["counter", "json", "-h"], 0, HELP, ""),
            (["-p", "1", "--hel", "-x"], 0, HELP, ""),
            (["counter", "json"], 2, "", error("unrecognized arguments: json")),
            (["-x", "counter"], 2, "", error("unrecognized arguments: -x")),
            (["counter", "-x", "y", "--verbose"], 2, "", error("unrecognized arguments: -x y --verbose")),
            (["counter", "-c"], 2, "", error("argument -c: expected one argument")),
            (["counter", "-c", "-h"], 2, "", error("argument -c: expected one argument")),
            (["-z", "--", "zonecounter"], 2, "", error("argument -z: expected one argument")),
            (["-x"], 2, "", error("the following arguments are required: action")),
        ]
        for words, status, out, err in cases:
            with self.subTest(words=words):
                self.check(words, status, out, err)

    def test_invocation_name_loses_its_directory(self):
        cases = [
            ("/usr/local/bin/corvane", "corvane"),
            ("./corvane", "corvane"),
            ("/opt/agent/scripts/bindstats", "bindstats"),
        ]
        for argv0, name in cases:
            with self.subTest(argv0=argv0):
                self.check([], 2, "", error("the following arguments are required: action", name),
                           argv0=argv0)
                self.check(["-h"], 0, HELP.replace("corvane", name, 1), "", argv0=argv0)

    def test_a_fresh_cache_is_left_alone(self):
        harness.placecache('{"zones": {}, "counter": {"Q": "1"}}')
        before = harness.cachestate()
        for words in (["-h"], ["counter"] * 2, []):
            with self.subTest(words=words):
                with listening() as listener:
                    run = harness.corvane(*words)
                    self.assertFalse(connected(listener))
                self.assertIn(run.status, (0, 2))
                self.assertEqual(harness.cachestate(), before)


if __name__ == "__main__":
    unittest.main()
