"""Answers of every action from a fresh cache file, as the agent reads them."""

import subprocess
import unittest

import harness

CACHE = (
    '{"zones": {"example.org": {"QUERY": "417", "NXDOMAIN": "0012"}, "empty.example": {}, '
    '"null": {"A": "1"}, "b.example": {"A": null, "AAAA": ""}, "caf\\u00e9.example": {"MX": "2"}}, '
    '"counter": {"Requestv4": "42", "Unset": null, "Spaced": " 7 "}, '
    '"zonemaintenancecounter": {"NotifyOutv4": "3"}, "resolvercounter": {"Queryv4": "9"}, '
    '"socketcounter": {"UDP4Open": "5"}, "incounter": {"A": "100"}, "outcounter": {"AAAA": "8"}, '
    '"cache": {"A": "7", "!A": "3", "_A": "3"}, "memory": {"InUse": "123456", "Name": "caf\\u00e9"}}'
)

REST = (
    '{"counter": {"Requestv4": "42", "Unset": null, "Spaced": " 7 "}, '
    '"zonemaintenancecounter": {"NotifyOutv4": "3"}, "resolvercounter": {"Queryv4": "9"}, '
    '"socketcounter": {"UDP4Open": "5"}, "incounter": {"A": "100"}, "outcounter": {"AAAA": "8"}, '
    '"cache": {"A": "7", "!A": "3", "_A": "3"}, "memory": {"InUse": "123456", "Name": "caf\\u00e9"}}\n'
)

DISCOVERY = (
    '{"data": [{"{#ZONE}": "example.org"}, {"{#ZONE}": "null"}, {"{#ZONE}": "b.example"}, '
    '{"{#ZONE}": "caf\\u00e9.example"}]}\n'
)

MARK = "ZBX_NOTSUPPORTED\n"


class Answers(unittest.TestCase):
    def setUp(self):
        harness.placecache(CACHE, age=5)
        self.before = harness.cachestate()

    def tearDown(self):
        # Answering from a fresh cache never writes it, whatever the action.
        self.assertEqual(harness.cachestate(), self.before)

    def test_every_action(self):
        cases = [
            (["discoverzones"], 0, DISCOVERY),
            (["discoverzones", "-z", "", "-c", ""], 0, DISCOVERY),
            (["zonecounter", "-z", "example.org", "-c", "QUERY"], 0, "417\n"),
            (["zonecounter", "-c", "NXDOMAIN", "-zexample.org"], 0, "0012\n"),
            (["zonecounter", "-z", "b.example", "-c", "A"], 0, "None\n"),
            (["zonecounter", "-z", "b.example", "-c", "AAAA"], 0, "\n"),
            (["zonecounter", "-z", "café.example", "-c", "MX"], 0, "2\n"),
            (["zonecounter", "-z", "example.org", "-c", "query"], 1, MARK),
            (["zonecounter", "-z", "Example.org", "-c", "QUERY"], 1, MARK),
            (["zonecounter", "-z", "empty.example", "-c", "QUERY"], 1, MARK),
            (["jsonzone", "-z", "example.org", "-c", "x"], 0, '{"QUERY": "417", "NXDOMAIN": "0012"}\n'),
            (["jsonzone", "-z", "b.example"], 0, '{"A": null, "AAAA": ""}\n'),
            (["jsonzone", "-z", "empty.example"], 0, "{}\n"),
            (["jsonzone", "-z", "nowhere.example"], 1, MARK),
            (["json"], 0, REST),
            (["json", "-z", "example.org", "-c", ""], 0, REST),
            (["counter", "-c", "Requestv4"], 0, "42\n"),
            (["counter", "-c", "Unset"], 0, "None\n"),
            (["counter", "-c", "Spaced"], 0, " 7 \n"),
            (["counter", "-c", "requestv4"], 1, MARK),
            (["zonemaintenancecounter", "-c", "NotifyOutv4"], 0, "3\n"),
            (["resolvercounter", "-c", "Queryv4"], 0, "9\n"),
            (["socketcounter", "-c", "UDP4Open"], 0, "5\n"),
            (["incounter", "-c", "A"], 0, "100\n"),
            (["outcounter", "-c", "AAAA"], 0, "8\n"),
            (["outcounter", "-c", "A"], 1, MARK),
            (["cache", "-c", "!A"], 0, "3\n"),
            (["memory", "-c", "InUse", "-z", "ignored"], 0, "123456\n"),
            (["memory", "-c", "Name"], 0, "café\n"),
            (["zones", "-c", "example.org"], 0, '{"QUERY": "417", "NXDOMAIN": "0012"}\n'),
            (["zones", "-c", "empty.example"], 0, "{}\n"),
        ]
        for words, status, out in cases:
            with self.subTest(words=words):
                run = harness.corvane(*words)
                self.assertEqual((run.status, run.out, run.err), (status, out, ""))

    def test_missing_argument_comes_before_the_marker(self):
        cases = [
            ["zonecounter", "-c", "QUERY"],
            ["zonecounter", "-z", "example.org"],
            ["zonecounter", "-z", "", "-c", "QUERY"],
            ["jsonzone"],
            ["jsonzone", "-z="],
            ["counter"],
            ["counter", "-c", ""],
            ["nosuchsection"],
            ["JSON"],
        ]
        for words in cases:
            with self.subTest(words=words):
                run = harness.corvane(*words)
                self.assertEqual((run.status, run.out, run.err), (1, MARK, "Missing argument\n"))
                # On one stream the message must come first.
                p = subprocess.run([harness.CORVANE, *words], stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, timeout=60)
                self.assertEqual(p.stdout, b"Missing argument\nZBX_NOTSUPPORTED\n")

    def test_an_action_that_names_no_section_fails(self):
        for words in (["nosuchsection", "-c", "Requestv4"], ["JSON", "-c", "x"],
                      ["Counter", "-c", "Requestv4"], ["", "-c", "Requestv4"]):
            with self.subTest(words=words):
                run = harness.corvane(*words)
                self.assertEqual(run.status, 1)
                self.assertEqual(run.out, "")
                self.assertTrue(run.err.endswith("\n") and run.err.count("\n") == 1, run.err)
                self.assertIn(f'"{words[0]}"', run.err)


if __name__ == "__main__":
    unittest.main()
