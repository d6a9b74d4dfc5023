"""corvane against a real named: its answers are what named published.

A named with a few zones answers a known set of queries; a counting proxy on the statistics port
keeps every document it relays, and the tests compare corvane's answers with their own reading
of the very document corvane was served (named.expected)."""

import json
import os
import time
import unittest

import harness
import named

# What the tests send: (name, type, count). NXDOMAIN answers count under their type all the same;
# quiet.test keeps terse statistics (no per-zone counters); fwd.test goes to the upstream through
# the _default view's resolver. corvane.test gets nothing.
PLAN = [
    ("www.example.org", "A", 5),
    ("example.org", "A", 2),
    ("nowhere.example.org", "A", 2),
    ("www.example.org", "AAAA", 3),
    ("example.org", "MX", 2),
    ("example.org", "TXT", 1),
    ("www.example.net", "A", 4),
    ("example.net", "MX", 1),
    ("www.quiet.test", "A", 3),
    ("a.fwd.test", "A", 1),
    ("b.fwd.test", "A", 1),
    ("c.fwd.test", "AAAA", 1),
]

MARK = "ZBX_NOTSUPPORTED\n"
SECTIONS = ["counter", "zonemaintenancecounter", "resolvercounter", "socketcounter", "incounter",
            "outcounter", "cache", "memory"]


def pairs(value):
    """A JSON value with every object as a list of (name, value): order counts in comparisons."""
    if isinstance(value, dict):
        return [(k, pairs(v)) for k, v in value.items()]
    return value


def readpairs(text):
    return json.loads(text, object_pairs_hook=lambda items: [(k, v) for k, v in items])


class EndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.upstream = named.Upstream()
        cls.server = named.Named(forward=cls.upstream).start()
        try:
            cls.sent = cls.server.ask(PLAN)
            cls.proxy = named.CountingProxy(cls.server.statsport, port=8653)
        except BaseException:
            cls.server.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.proxy.close()
        cls.server.stop()
        cls.upstream.close()

    def fetch(self, *words):
        """Runs corvane without a cache file, so that it fetches through the proxy. Returns the
        run and the test's reading of the document that was served to it."""
        harness.removecache()
        requests, served = self.proxy.requests, len(self.proxy.bodies())
        run = harness.corvane(*words)
        self.assertEqual(self.proxy.requests, requests + 1, run)
        deadline = time.monotonic() + 5
        while len(self.proxy.bodies()) == served and time.monotonic() < deadline:
            time.sleep(0.01)
        return run, named.expected(self.proxy.bodies()[-1])

    def test_discoverzones_lists_the_default_views_zones_with_counters(self):
        run, doc = self.fetch("discoverzones")
        zones = [z for z, counts in doc["zones"].items() if counts]
        # Not quiet.test (no counters), not the zones of the built-in view _bind.
        self.assertCountEqual(zones, ["example.org", "example.net", "corvane.test"])
        self.assertEqual((run.status, run.err), (0, ""))
        self.assertEqual(run.out, json.dumps({"data": [{"{#ZONE}": z} for z in zones]}) + "\n")

    def test_zonecounter_counts_the_queries_sent(self):
        run, doc = self.fetch("zonecounter", "-z", "example.org", "-c", "A")
        cases = [
            ("example.org", "A", "9"),
            ("example.org", "AAAA", "3"),
            ("example.org", "MX", "2"),
            ("example.org", "TXT", "1"),
            ("example.org", "QryNXDOMAIN", "2"),
            ("example.net", "A", "4"),
            ("example.net", "MX", "1"),
            # named lists only the query types a zone has seen.
            ("example.net", "AAAA", None),
            ("corvane.test", "A", None),
            ("corvane.test", "QryNXDOMAIN", "0"),
            ("quiet.test", "A", None),
            ("fwd.test", "A", None),
            ("version.bind", "QrySuccess", None),
        ]
        for zone, name, value in cases:
            with self.subTest(zone=zone, counter=name):
                run = harness.corvane("zonecounter", "-z", zone, "-c", name)
                self.assertEqual(doc["zones"].get(zone, {}).get(name), value)
                if value is None:
                    self.assertEqual((run.status, run.out, run.err), (1, MARK, ""))
                else:
                    self.assertEqual((run.status, run.out, run.err), (0, value + "\n", ""))

    def test_jsonzone_holds_the_zones_rcode_and_qtype_counters(self):
        run, doc = self.fetch("jsonzone", "-z", "example.org")
        self.assertEqual(run.status, 0, run)
        self.assertEqual(readpairs(run.out), pairs(doc["zones"]["example.org"]))
        self.assertIn(("QryAuthAns", "15"), readpairs(run.out))  # 9 A, 3 AAAA, 2 MX, 1 TXT

    def test_section_lookups_match_the_document(self):
        run, doc = self.fetch("counter", "-c", "Requestv4")
        self.assertGreaterEqual(int(run.out), self.sent)
        cases = [("counter", "Requestv4"), ("counter", "QryNXDOMAIN"), ("counter", "QryRecursion"),
                 ("incounter", "A"), ("incounter", "AAAA"), ("outcounter", "A"),
                 ("resolvercounter", "Queryv4"), ("resolvercounter", "NXDOMAIN"),
                 ("socketcounter", "UDP4Open"), ("cache", "CacheMisses")]
        cases += [("memory", name) for name in doc["memory"]]
        for section, name in cases:
            with self.subTest(section=section, name=name):
                run = harness.corvane(section, "-c", name)
                self.assertEqual((run.status, run.out, run.err), (0, doc[section][name] + "\n", ""))
        self.assertGreaterEqual(int(doc["counter"]["QryNXDOMAIN"]), 2)
        self.assertEqual(len(doc["memory"]), 5)

    def test_resolver_figures_are_the_default_views_not_bind(self):
        run, doc = self.fetch("resolvercounter", "-c", "Queryv4")
        # The forwarded queries went out through _default's resolver; _bind's stayed idle, so
        # taking the later view's figures would answer 0.
        self.assertEqual(doc["resolvercounter"]["Queryv4"], str(self.upstream.queries))
        self.assertGreater(self.upstream.queries, 0)
        self.assertEqual((run.status, run.out), (0, f"{self.upstream.queries}\n"))
        run = harness.corvane("resolvercounter", "-c", "Responsev4")
        self.assertEqual(run.out, doc["resolvercounter"]["Responsev4"] + "\n")

    def test_json_has_eight_sections_and_the_cache_file_all_nine(self):
        run, doc = self.fetch("json")
        self.assertEqual((run.status, run.err), (0, ""))
        self.assertTrue(run.out.endswith("}\n") and run.out.count("\n") == 1)
        answer = readpairs(run.out)
        self.assertEqual([name for name, _ in answer], SECTIONS)
        for name, section in answer:
            with self.subTest(section=name):
                self.assertEqual(section, pairs(doc[name]))
        cached = readpairs(harness.readcache())
        self.assertEqual(cached, pairs(doc))
        self.assertEqual(cached[0][0], "zones")

    def test_second_run_answers_from_the_cache_without_a_connection(self):
        first, _ = self.fetch("counter", "-c", "Requestv4")
        requests, written = self.proxy.requests, harness.cachestate()
        self.server.query("www.example.net", "TXT", 2)  # named's figures move on
        for words in (["counter", "-c", "Requestv4"],
                      ["counter", "-c", "Requestv4", "-p", str(named.freeport())]):
            with self.subTest(words=words):
                run = harness.corvane(*words)
                self.assertEqual((run.status, run.out), (0, first.out))
        self.assertEqual(self.proxy.requests, requests)
        self.assertEqual(harness.cachestate(), written)

    def test_direct_from_named_which_keeps_the_connection_open(self):
        harness.removecache()
        requests = self.proxy.requests
        began = time.monotonic()
        run = harness.corvane("zonecounter", "-z", "example.org", "-c", "A", "-p",
                              str(self.server.statsport))
        self.assertEqual((run.status, run.out, run.err), (0, "9\n", ""))
        self.assertLess(time.monotonic() - began, 5)
        self.assertEqual(self.proxy.requests, requests)
        self.assertTrue(os.path.exists(harness.JSONFILE))


if __name__ == "__main__":
    unittest.main()
