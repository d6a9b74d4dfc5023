"""corvane against a real named of each BIND in use: its answers are what named published.

Debian 11 ships BIND 9.16, Debian 12 (this machine) 9.18, Debian 13 9.20, and its experimental
suite 9.21, the development line of the next stable BIND; each writes other statistics. Every
named but this machine's runs chrooted in a root file system of its release (tests/rootfs makes
them, under $CORVANE_ROOTFS; experimental's is sid with bind9 from experimental). Each server
gets ten zones, some with odd names, and a known set of queries; a counting proxy on the
statistics port keeps every document it relays, and the one table of checks below compares
corvane's answers with the test's own reading of the very document corvane was served
(named.expected).

Run as a program, it ends with one line per server: "e2e: BIND 9.20.30-1~deb13u1-Debian: 44
checks passed". With CORVANE_RECORD=DIR it also writes each server's document, as served right
after the queries, to DIR/v3-bind-VERSION-debianN.xml (debian-experimental for 9.21)."""

import collections
import json
import os
import sys
import time
import unittest
import xml.etree.ElementTree as ET

import harness
import named

ROOTFS = os.environ.get("CORVANE_ROOTFS", os.path.join(os.path.dirname(harness.HERE), "build", "rootfs"))

# (Debian release, the suite of its root file system or None for this machine's, BIND series).
# experimental carries BIND's development line, over sid.
RELEASES = [(11, "bullseye", "9.16"), (12, None, "9.18"), (13, "trixie", "9.20"),
            ("experimental", "sid-experimental", "9.21")]
ALL = {"9.16", "9.18", "9.20", "9.21"}

# Zone names as named writes them: an escaped dot and escaped bytes stay escaped. Their host
# names (ns1, www) are not valid ones, which named refuses to load unless told.
ODDZONES = ["2.0.192.in-addr.arpa", "under_score.test", "Mixed-Case.test", "a\\.b.test",
            "caf\\195\\169.test", "xn--caf-dma.test"]
ZONES = {**named.ZONES, **{zone: "check-names ignore;" for zone in ODDZONES}}

# What the tests send: (name, type, count). NXDOMAIN answers count under their type all the same;
# quiet.test keeps terse statistics (no per-zone counters); fwd.test goes to the upstream through
# the _default view's resolver, whose "nodata" name leaves a negative "!AAAA" entry in the cache.
# corvane.test, under_score.test and xn--caf-dma.test get nothing.
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
    ("www.a\\.b.test", "A", 2),
    ("caf\\195\\169.test", "TXT", 1),
    ("www.mixed-case.test", "AAAA", 1),
    ("1.2.0.192.in-addr.arpa", "PTR", 2),
    ("a.fwd.test", "A", 1),
    ("b.fwd.test", "A", 1),
    ("c.fwd.test", "AAAA", 1),
    ("nodata.fwd.test", "AAAA", 1),
]

# (zone, counter, value after PLAN; None: not supported), the same on every version.
ZONECOUNTERS = [
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
    ("a\\.b.test", "A", "2"),
    ("caf\\195\\169.test", "TXT", "1"),
    ("Mixed-Case.test", "AAAA", "1"),
    ("mixed-case.test", "AAAA", None),  # zone names compare exactly
    ("2.0.192.in-addr.arpa", "PTR", "2"),
    ("2.0.192.in-addr.arpa", "QryNXDOMAIN", "2"),
    ("under_score.test", "QrySuccess", "0"),
    ("quiet.test", "A", None),
    ("fwd.test", "A", None),
    ("version.bind", "QrySuccess", None),
]

# Keys that not every version writes: (words, where the value stands in the document, the
# versions that write it). The others answer with the not-supported marker.
KEYS = [
    (["memory", "-c", "InUse"], ("memory", "InUse"), ALL),
    (["memory", "-c", "Malloced"], ("memory", "Malloced"), ALL),
    (["memory", "-c", "TotalUse"], ("memory", "TotalUse"), {"9.16", "9.18"}),
    (["memory", "-c", "ContextSize"], ("memory", "ContextSize"), {"9.16", "9.18"}),
    (["memory", "-c", "Lost"], ("memory", "Lost"), {"9.16", "9.18"}),
    (["memory", "-c", "BlockSize"], ("memory", "BlockSize"), {"9.16"}),
    (["socketcounter", "-c", "UDP4Open"], ("socketcounter", "UDP4Open"), ALL),
    (["socketcounter", "-c", "TCP4Clients"], ("socketcounter", "TCP4Clients"), ALL - {"9.16"}),
    (["socketcounter", "-c", "UnixOpen"], ("socketcounter", "UnixOpen"), {"9.16", "9.18"}),
    (["socketcounter", "-c", "RawActive"], ("socketcounter", "RawActive"), {"9.16", "9.18"}),
    (["socketcounter", "-c", "FDwatchConn"], ("socketcounter", "FDwatchConn"), {"9.16", "9.18"}),
    (["cache", "-c", "CacheMisses"], ("cache", "CacheMisses"), ALL),
    (["cache", "-c", "TreeMemTotal"], ("cache", "TreeMemTotal"), {"9.16", "9.18"}),
    (["cache", "-c", "HeapMemMax"], ("cache", "HeapMemMax"), {"9.16", "9.18"}),
    (["cache", "-c", "TreeMemInUse"], ("cache", "TreeMemInUse"), ALL),
    (["cache", "-c", "HeapMemInUse"], ("cache", "HeapMemInUse"), ALL - {"9.21"}),
    (["cache", "-c", "CacheBuckets"], ("cache", "CacheBuckets"), ALL - {"9.21"}),
    (["cache", "-c", "DeleteTTL"], ("cache", "DeleteTTL"), ALL - {"9.21"}),
    (["cache", "-c", "CoveringNSEC"], ("cache", "CoveringNSEC"), ALL - {"9.16"}),
    (["cache", "-c", "CacheNSECNodes"], ("cache", "CacheNSECNodes"), {"9.18", "9.20"}),
    # 9.21 keeps round-trip times in a histogram of each view's instead.
    (["resolvercounter", "-c", "QryRTT10"], ("resolvercounter", "QryRTT10"), ALL - {"9.21"}),
    (["resolvercounter", "-c", "QryRTT1600+"], ("resolvercounter", "QryRTT1600+"), ALL - {"9.21"}),
    (["resolvercounter", "-c", "ForwardOnlyFail"], ("resolvercounter", "ForwardOnlyFail"),
     {"9.21"}),
    (["counter", "-c", "QryDoT"], ("counter", "QryDoT"), {"9.21"}),
    (["counter", "-c", "QryDoH"], ("counter", "QryDoH"), {"9.21"}),
    (["zonecounter", "-z", "example.org", "-c", "QryDoT"], ("zones", "example.org", "QryDoT"),
     {"9.21"}),
    (["counter", "-c", "RecursHighwater"], ("counter", "RecursHighwater"), {"9.20", "9.21"}),
    # A zone's counters hold the server's gauges too, until 9.21.
    (["zonecounter", "-z", "example.org", "-c", "RecursHighwater"],
     ("zones", "example.org", "RecursHighwater"), {"9.20"}),
    (["zonecounter", "-z", "example.org", "-c", "RecursClients"],
     ("zones", "example.org", "RecursClients"), ALL - {"9.21"}),
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


def lookup(doc, path):
    for step in path:
        if not isinstance(doc, dict) or step not in doc:
            return None
        doc = doc[step]
    return doc


class Checks:
    """The checks, made against the named of one release (the class attributes)."""

    release = suite = series = None

    @classmethod
    def setUpClass(cls):
        root = None
        if cls.suite:
            root = os.path.join(ROOTFS, cls.suite)
            if not os.path.isdir(root):
                raise RuntimeError(f"no root file system {root}: `tests/rootfs {cls.suite} {root}` "
                                   "makes it (ctest does, before this test)")
        cls.version = named.version(root)
        if not cls.version.startswith(cls.series + "."):
            raise RuntimeError(f"Debian {cls.release}'s named is {cls.version}, not {cls.series}")
        cls.upstream = named.Upstream()
        cls.addClassCleanup(cls.upstream.close)
        cls.server = named.Named(zones=ZONES, forward=cls.upstream, root=root).start()
        cls.addClassCleanup(cls.server.stop)
        cls.sent = cls.server.ask(PLAN)
        record = os.environ.get("CORVANE_RECORD")
        if record:
            number = cls.version.split("-")[0]
            release = str(cls.release)
            debian = "debian" + (release if release.isdigit() else "-" + release)
            with open(os.path.join(record, f"v3-bind-{number}-{debian}.xml"), "wb") as f:
                f.write(cls.server.statistics())
        cls.proxy = named.CountingProxy(cls.server.statsport, port=8653)
        cls.addClassCleanup(cls.proxy.close)

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
        self.assertCountEqual(zones, ["example.org", "example.net", "corvane.test", *ODDZONES])
        self.assertEqual((run.status, run.err), (0, ""))
        self.assertEqual(run.out, json.dumps({"data": [{"{#ZONE}": z} for z in zones]}) + "\n")

    def test_zonecounter_counts_the_queries_sent(self):
        run, doc = self.fetch("zonecounter", "-z", "example.org", "-c", "A")
        for zone, name, value in ZONECOUNTERS:
            with self.subTest(zone=zone, counter=name):
                run = harness.corvane("zonecounter", "-z", zone, "-c", name)
                self.assertEqual(doc["zones"].get(zone, {}).get(name), value)
                if value is None:
                    self.assertEqual((run.status, run.out, run.err), (1, MARK, ""))
                else:
                    self.assertEqual((run.status, run.out, run.err), (0, value + "\n", ""))

    def test_keys_that_only_some_versions_write(self):
        run, doc = self.fetch("json")
        self.assertEqual(run.status, 0, run)
        for words, path, versions in KEYS:
            with self.subTest(words=words):
                value = lookup(doc, path)
                self.assertEqual(value is not None, self.series in versions, path)
                run = harness.corvane(*words)
                if value is None:
                    self.assertEqual((run.status, run.out, run.err), (1, MARK, ""))
                else:
                    self.assertEqual((run.status, run.out, run.err), (0, value + "\n", ""))
        memory = {key[1] for _, key, versions in KEYS if key[0] == "memory" and self.series in versions}
        self.assertEqual(set(doc["memory"]), memory)

    def test_jsonzone_holds_the_zones_rcode_and_qtype_counters(self):
        run, doc = self.fetch("jsonzone", "-z", "example.org")
        self.assertEqual(run.status, 0, run)
        self.assertEqual(readpairs(run.out), pairs(doc["zones"]["example.org"]))
        self.assertIn(("QryAuthAns", "15"), readpairs(run.out))  # 9 A, 3 AAAA, 2 MX, 1 TXT

    def test_section_lookups_match_the_document(self):
        run, doc = self.fetch("counter", "-c", "Requestv4")
        self.assertGreaterEqual(int(run.out), self.sent)
        cases = [("counter", "Requestv4"), ("counter", "QryNXDOMAIN"), ("counter", "QryRecursion"),
                 ("incounter", "A"), ("incounter", "AAAA"), ("incounter", "PTR"),
                 ("outcounter", "A"), ("resolvercounter", "NXDOMAIN"),
                 ("cache", "NXDOMAIN"), ("cache", "!AAAA"), ("cache", "_AAAA")]
        for section, name in cases:
            with self.subTest(section=section, name=name):
                run = harness.corvane(section, "-c", name)
                self.assertEqual((run.status, run.out, run.err), (0, doc[section][name] + "\n", ""))
        self.assertGreaterEqual(int(doc["counter"]["QryNXDOMAIN"]), 2)
        self.assertEqual(doc["cache"]["_AAAA"], doc["cache"]["!AAAA"])
        self.assertGreaterEqual(int(doc["cache"]["NXDOMAIN"]), 1)

    def test_resolver_figures_are_the_default_views_not_bind(self):
        run, doc = self.fetch("resolvercounter", "-c", "Queryv4")
        default = doc["resolvercounter"]["Queryv4"]
        # The forwarded queries went out through _default's resolver; _bind's stayed idle, so
        # taking the later view's figures would give another answer. (9.16 also counts its
        # root priming, which cannot leave the private network namespace.)
        bind = ET.fromstring(self.proxy.bodies()[-1]).findtext(
            "./views/view[@name='_bind']/counters[@type='resstats']/counter[@name='Queryv4']")
        self.assertNotEqual(default, bind)
        self.assertGreaterEqual(int(default), self.upstream.queries)
        self.assertGreaterEqual(self.upstream.queries, 4)
        self.assertEqual((run.status, run.out), (0, default + "\n"))
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
        for words in (["counter", "-c", "Requestv4"], ["counter", "-c", "Requestv4", "-p", "08653"]):
            with self.subTest(words=words):
                run = harness.corvane(*words)
                self.assertEqual((run.status, run.out), (0, first.out))
        # Another port is another server: never answered from this one's file.
        other = named.freeport()
        run = harness.corvane("counter", "-c", "Requestv4", "-p", str(other))
        self.assertEqual((run.status, run.out), (1, ""), run)
        self.assertIn(f"cannot connect to localhost:{other}", run.err)
        self.assertEqual(self.proxy.requests, requests)
        self.assertEqual(harness.cachestate(), written)

    def test_direct_from_named_which_keeps_the_connection_open(self):
        own = harness.cachepath(self.server.statsport)
        harness.removecache(own)
        requests = self.proxy.requests
        began = time.monotonic()
        run = harness.corvane("zonecounter", "-z", "example.org", "-c", "A", "-p",
                              str(self.server.statsport))
        self.assertEqual((run.status, run.out, run.err), (0, "9\n", ""))
        self.assertLess(time.monotonic() - began, 5)
        self.assertEqual(self.proxy.requests, requests)
        self.assertTrue(os.path.exists(own))


# One test class per release, in the order of RELEASES: BIND916, BIND918, BIND920, BIND921.
SERVERS = []
for release, suite, series in RELEASES:
    name = "BIND" + series.replace(".", "")
    SERVERS.append(type(name, (Checks, unittest.TestCase),
                        {"release": release, "suite": suite, "series": series}))
    globals()[name] = SERVERS[-1]


class TwoServers(unittest.TestCase):
    """An authoritative named and a resolver on one host, each with its statistics channel:
    the default port's and another. Every item is answered from its own server's counters."""

    @classmethod
    def setUpClass(cls):
        cls.version = named.version()
        cls.upstream = named.Upstream()
        cls.addClassCleanup(cls.upstream.close)
        cls.auth = named.Named(statsport=8653).start()
        cls.addClassCleanup(cls.auth.stop)
        cls.resolver = named.Named(zones={"resolver.test": ""}, forward=cls.upstream).start()
        cls.addClassCleanup(cls.resolver.stop)
        cls.auth.ask([("www.example.org", "A", 3), ("example.net", "MX", 2)])
        # Each forwarded name once: a second query would be answered from the resolver's cache.
        cls.resolver.ask([("a.fwd.test", "A", 1), ("b.fwd.test", "A", 1),
                          ("www.resolver.test", "A", 1)])
        for port in (8653, cls.resolver.statsport):
            harness.removecache(harness.cachepath(port))

    def test_every_item_is_answered_from_its_own_server(self):
        port = str(self.resolver.statsport)
        auth = named.expected(self.auth.statistics())
        resolver = named.expected(self.resolver.statistics())
        counted = lambda doc: {"data": [{"{#ZONE}": z} for z, c in doc["zones"].items() if c]}
        cases = [
            (["discoverzones"], json.dumps(counted(auth)) + "\n"),
            (["discoverzones", "-p", port], json.dumps(counted(resolver)) + "\n"),
            (["zonecounter", "-z", "example.org", "-c", "A"], auth["zones"]["example.org"]["A"] + "\n"),
            (["zonecounter", "-z", "example.org", "-c", "A", "-p", port], MARK),
            (["zonecounter", "-z", "resolver.test", "-c", "A", "-p", port],
             resolver["zones"]["resolver.test"]["A"] + "\n"),
            (["counter", "-c", "Requestv4"], auth["counter"]["Requestv4"] + "\n"),
            (["counter", "-c", "Requestv4", "-p", port], resolver["counter"]["Requestv4"] + "\n"),
            (["resolvercounter", "-c", "Queryv4"], auth["resolvercounter"]["Queryv4"] + "\n"),
            (["resolvercounter", "-c", "Queryv4", "-p", port],
             resolver["resolvercounter"]["Queryv4"] + "\n"),
        ]
        for words, out in cases:
            with self.subTest(words=words):
                self.assertEqual(harness.corvane(*words).out, out)
        self.assertNotEqual(auth["counter"]["Requestv4"], resolver["counter"]["Requestv4"])
        self.assertGreaterEqual(int(resolver["resolvercounter"]["Queryv4"]), 2)
        self.assertTrue(os.path.exists(harness.cachepath(8653)))
        self.assertTrue(os.path.exists(harness.cachepath(port)))


class Tally(unittest.TextTestResult):
    """Counts the checks (tests and their subtests) that passed and failed, by server."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.passed, self.failed = collections.Counter(), collections.Counter()

    def addSubTest(self, test, subtest, err):
        super().addSubTest(test, subtest, err)
        (self.failed if err else self.passed)[type(test)] += 1

    def addSuccess(self, test):
        super().addSuccess(test)
        self.passed[type(test)] += 1

    def addFailure(self, test, err):
        super().addFailure(test, err)
        self.failed[type(test)] += 1

    def addError(self, test, err):
        super().addError(test, err)
        self.failed[type(test)] += 1


if __name__ == "__main__":
    result = unittest.main(testRunner=unittest.TextTestRunner(resultclass=Tally), exit=False).result
    for server in SERVERS:
        if getattr(server, "version", None):
            failed = result.failed[server]
            print(f"e2e: BIND {server.version}: {result.passed[server]} checks passed"
                  + (f", {failed} failed" if failed else ""), flush=True)
    if getattr(TwoServers, "version", None):
        failed = result.failed[TwoServers]
        print(f"e2e: two servers on one host, BIND {TwoServers.version}: "
              f"{result.passed[TwoServers]} checks passed" + (f", {failed} failed" if failed else ""),
              flush=True)
    sys.exit(0 if result.wasSuccessful() else 1)
