"""Both schemas through the binary: the cache file written from a served document, and the
answers given from it."""

import json
import os
import unittest

import harness
import httpstub

FIXTURES = os.path.join(harness.HERE, "fixtures")
MARK = "ZBX_NOTSUPPORTED\n"
OLD = '{"zones": {}, "counter": {"old": "1"}}'

V3 = """<?xml version="1.0" encoding="UTF-8"?>
<statistics version="3.11">
  <server>
    <counters type="opcode"><counter name="QUERY">40</counter><counter>no name</counter></counters>
    <counters type="nsstat"><counter name="Requestv4">42</counter><counter name="Unset"/>
      <counter name="Padded"> 7 </counter></counters>
    <counters type="qtype"><counter name="A">30</counter><counter name="AAAA">0012</counter></counters>
    <counters type="zonestat"><counter name="NotifyOutv4">3</counter></counters>
    <counters type="sockstat"><counter name="UDP4Open">5</counter></counters>
  </server>
  <views>
    <view name="_default">
      <counters type="resqtype"><counter name="A">11</counter></counters>
      <counters type="resstats"><counter name="Queryv4">946</counter></counters>
      <cache name="_default">
        <rrset><name>A</name><counter>7</counter></rrset>
        <rrset><name>!AAAA</name><counter>3</counter></rrset>
        <rrset><name>NS</name><counter/></rrset>
        <rrset><name>MX</name></rrset>
      </cache>
      <counters type="cachestats"><counter name="CacheHits">12</counter></counters>
      <zones>
        <zone name="example.org" rdataclass="IN">
          <counters type="rcode"><counter name="NOERROR">4</counter></counters>
          <counters type="nsstat"><counter name="Requestv4">9</counter></counters>
          <counters type="qtype"><counter name="A">417</counter><counter name="MX"/></counters>
        </zone>
        <zone name="empty.example" rdataclass="IN"/>
        <zone name="caf&#233;.example" rdataclass="IN">
          <counters type="qtype"><counter name="TXT">2</counter></counters>
        </zone>
      </zones>
    </view>
    <view name="_bind">
      <counters type="resqtype"/>
      <counters type="resstats"><counter name="Queryv4">0</counter></counters>
      <counters type="cachestats"><counter name="CacheHits">0</counter></counters>
      <zones><zone name="version.bind" rdataclass="CH">
        <counters type="qtype"><counter name="TXT">1</counter></counters></zone></zones>
    </view>
  </views>
  <memory><contexts/><summary><TotalUse>100</TotalUse><InUse>50</InUse></summary></memory>
</statistics>
"""

V3CACHE = (
    '{"zones": {"example.org": {"NOERROR": "4", "A": "417", "MX": null}, "empty.example": {}, '
    '"caf\\u00e9.example": {"TXT": "2"}}, '
    '"counter": {"Requestv4": "42", "Unset": null, "Padded": " 7 "}, '
    '"zonemaintenancecounter": {"NotifyOutv4": "3"}, "resolvercounter": {"Queryv4": "946"}, '
    '"socketcounter": {"UDP4Open": "5"}, "incounter": {"A": "30", "AAAA": "0012"}, '
    '"outcounter": {"A": "11"}, '
    '"cache": {"CacheHits": "12", "A": "7", "!AAAA": "3", "_AAAA": "3", "NS": "", "MX": null}, '
    '"memory": {"TotalUse": "100", "InUse": "50"}}'
)

V2 = """<?xml version="1.0" encoding="UTF-8"?>
<isc version="1.0">
  <bind>
    <statistics version="2.2">
      <views>
        <view>
          <name>_default</name>
          <rdtype><name>A</name><counter>11</counter></rdtype>
          <resstat><name>Queryv4</name><counter>946</counter></resstat>
          <zones>
            <zone><name>example.org/IN</name><counters><NOERROR>4</NOERROR><QryAuthAns>417</QryAuthAns>
              <QryNxrrset/></counters></zone>
            <zone><name>nocounters.example/IN</name><serial>1</serial></zone>
            <zone><name>empty.example/IN</name><counters/></zone>
          </zones>
          <cache name="_default"><rrset><name>A</name><counter>1</counter></rrset></cache>
        </view>
        <view>
          <name>localhost_resolver</name>
          <rdtype><name>A</name><counter>12</counter></rdtype>
          <rdtype><name>NS</name><counter>1</counter></rdtype>
          <resstat><name>Queryv4</name><counter>5</counter></resstat>
          <cache name="localhost_resolver"><rrset><name>A</name><counter>70</counter></rrset>
            <rrset><name>!AAAA</name><counter>3</counter></rrset></cache>
        </view>
      </views>
      <server>
        <nsstat><name>Requestv4</name><counter>42</counter></nsstat>
        <nsstat><counter>5</counter></nsstat>
        <nsstat><name>Empty</name><counter/></nsstat>
        <zonestat><name>NotifyOutv4</name><counter>3</counter></zonestat>
        <sockstat><name>UDP4Open</name><counter>5</counter></sockstat>
        <queries-in><rdtype><name>A</name><counter>30</counter></rdtype></queries-in>
      </server>
      <memory><summary><TotalUse>100</TotalUse><Lost>0</Lost></summary></memory>
    </statistics>
  </bind>
</isc>
"""

V2CACHE = (
    '{"zones": {"example.org/IN": {"NOERROR": "4", "QryAuthAns": "417", "QryNxrrset": null}, '
    '"empty.example/IN": {}}, '
    '"counter": {"Requestv4": "42", "null": "5", "Empty": ""}, '
    '"zonemaintenancecounter": {"NotifyOutv4": "3"}, "resolvercounter": {"Queryv4": "946"}, '
    '"socketcounter": {"UDP4Open": "5"}, "incounter": {"A": "30"}, '
    '"outcounter": {"A": "12", "NS": "1"}, "cache": {"A": "70", "!AAAA": "3"}, '
    '"memory": {"TotalUse": "100", "Lost": "0"}}'
)

SECTIONS = ["zones", "counter", "zonemaintenancecounter", "resolvercounter", "socketcounter",
            "incounter", "outcounter", "cache", "memory"]


# The zones of the recordings of Debian's bind9 that have counters: all but quiet.test.
DISCOVERED = json.dumps({"data": [{"{#ZONE}": zone} for zone in [
    "2.0.192.in-addr.arpa", "example.net", "example.org", "a\\.b.test", "caf\\195\\169.test",
    "corvane.test", "Mixed-Case.test", "under_score.test", "xn--caf-dma.test"]]}) + "\n"


def fixture(name):
    with open(os.path.join(FIXTURES, name), "rb") as f:
        return f.read()


class Extraction(unittest.TestCase):
    def fetch(self, body, *words):
        """One run with a stale cache, against a server that serves `body`."""
        harness.placecache(OLD, age=61)
        with httpstub.serve(body=body) as stub:
            run = harness.corvane(*words)
        self.assertEqual(len(stub.requests), 1)
        return run

    def test_written_cache_and_answers(self):
        # (body, cache file, answers from the fetching run and then from the cache file)
        cases = [
            ("version 3", V3.encode(), V3CACHE, [
                (["discoverzones"], 0,
                 '{"data": [{"{#ZONE}": "example.org"}, {"{#ZONE}": "caf\\u00e9.example"}]}\n'),
                (["zonecounter", "-z", "example.org", "-c", "A"], 0, "417\n"),
                (["zonecounter", "-z", "example.org", "-c", "MX"], 0, "None\n"),
                (["zonecounter", "-z", "example.org", "-c", "Requestv4"], 1, MARK),
                (["zonecounter", "-z", "version.bind", "-c", "TXT"], 1, MARK),
                (["jsonzone", "-z", "empty.example"], 0, "{}\n"),
                (["resolvercounter", "-c", "Queryv4"], 0, "946\n"),
                (["cache", "-c", "CacheHits"], 0, "12\n"),
                (["cache", "-c", "_AAAA"], 0, "3\n"),
                (["cache", "-c", "NS"], 0, "\n"),
                (["counter", "-c", "Padded"], 0, " 7 \n"),
                (["counter", "-c", "QUERY"], 1, MARK),
                (["incounter", "-c", "AAAA"], 0, "0012\n"),
            ]),
            ("version 2", V2.encode(), V2CACHE, [
                (["discoverzones"], 0, '{"data": [{"{#ZONE}": "example.org/IN"}]}\n'),
                (["zonecounter", "-z", "example.org/IN", "-c", "QryAuthAns"], 0, "417\n"),
                (["zonecounter", "-z", "nocounters.example/IN", "-c", "A"], 1, MARK),
                (["jsonzone", "-z", "empty.example/IN"], 0, "{}\n"),
                (["resolvercounter", "-c", "Queryv4"], 0, "946\n"),
                (["outcounter", "-c", "A"], 0, "12\n"),
                (["cache", "-c", "A"], 0, "70\n"),
                (["counter", "-c", "Empty"], 0, "\n"),
                (["memory", "-c", "Lost"], 0, "0\n"),
            ]),
        ]
        for what, body, cache, answers in cases:
            for words, status, out in answers:
                with self.subTest(what, words=words):
                    run = self.fetch(body, *words)
                    self.assertEqual((run.status, run.out, run.err), (status, out, ""))
                    self.assertEqual(harness.readcache(), cache)
                    again = harness.corvane(*words)  # fresh cache, nothing listening
                    self.assertEqual((again.status, again.out, again.err), (status, out, ""))

    def test_null_key_is_the_text_null_only_once_cached(self):
        run = self.fetch(V2.encode(), "counter", "-c", "null")
        self.assertEqual((run.status, run.out), (1, MARK))
        self.assertEqual(harness.corvane("counter", "-c", "null").out, "5\n")

    def test_recorded_documents(self):
        # The recordings of Debian's bind9 by the end-to-end test: the same zones and queries.
        debian = [
            (["discoverzones"], DISCOVERED),
            (["zonecounter", "-z", "a\\.b.test", "-c", "A"], "2\n"),
            (["zonecounter", "-z", "caf\\195\\169.test", "-c", "TXT"], "1\n"),
            (["zonecounter", "-z", "quiet.test", "-c", "A"], MARK),
            (["jsonzone", "-z", "quiet.test"], "{}\n"),
            (["counter", "-c", "Requestv4"], "33\n"),
            (["resolvercounter", "-c", "Queryv4"], "4\n"),  # _default's, not _bind's 0
            (["cache", "-c", "_AAAA"], "1\n"),
            (["socketcounter", "-c", "UDP4Open"], "6\n"),
        ]
        cases = [
            ("v3-bind-9.11-server.xml", [
                (["counter", "-c", "Requestv4"], "156\n"),
                (["resolvercounter", "-c", "Queryv4"], "1574\n"),  # _default's, not _bind's 0
                (["resolvercounter", "-c", "REFUSED"], "5798\n"),
                (["cache", "-c", "CacheHits"], "2315\n"),
                (["cache", "-c", "!AAAA"], "13\n"),
                (["cache", "-c", "_AAAA"], "13\n"),
                (["cache", "-c", "#A"], "18446744073709551603\n"),
                (["incounter", "-c", "A"], "128417\n"),
                (["outcounter", "-c", "CNAME"], "28\n"),
                (["memory", "-c", "TotalUse"], "11494216710\n"),
                (["discoverzones"], '{"data": []}\n'),
            ], 0, '"memory": {"TotalUse": "11494216710", "InUse": "6631824786", "BlockSize": "7398227968", '
                  '"ContextSize": "6933680", "Lost": "0"}}'),
            ("v3-bind-9.16.50-debian11.xml", debian + [
                (["memory", "-c", "BlockSize"], "0\n"),
                (["socketcounter", "-c", "UnixOpen"], "0\n"),
                (["socketcounter", "-c", "TCP4Clients"], MARK),
                (["zonecounter", "-z", "example.org", "-c", "RecursHighwater"], MARK),
            ], 10, '"memory": {"TotalUse": "79120226", "InUse": "76370020", "Malloced": "82953089", '
                   '"BlockSize": "0", "ContextSize": "8206632", "Lost": "0"}}'),
            ("v3-bind-9.18.49-debian12.xml", debian + [
                (["memory", "-c", "BlockSize"], MARK),
                (["socketcounter", "-c", "UnixOpen"], "0\n"),
                (["zonecounter", "-z", "example.org", "-c", "RecursHighwater"], MARK),
            ], 10, '"memory": {"TotalUse": "28069729", "InUse": "25210475", "Malloced": "25319883", '
                   '"ContextSize": "109824", "Lost": "0"}}'),
            ("v3-bind-9.20.30-debian13.xml", debian + [
                (["memory", "-c", "TotalUse"], MARK),
                (["socketcounter", "-c", "UnixOpen"], MARK),
                (["cache", "-c", "TreeMemTotal"], MARK),
                (["counter", "-c", "RecursHighwater"], "1\n"),
                (["zonecounter", "-z", "example.org", "-c", "RecursHighwater"], "0\n"),
            ], 10, '"memory": {"Malloced": "8401470", "InUse": "8401470"}}'),
            ("v3-bind-9.21.26-debian-experimental.xml", debian + [
                (["memory", "-c", "TotalUse"], MARK),
                (["resolvercounter", "-c", "QryRTT10"], MARK),
                (["cache", "-c", "HeapMemInUse"], MARK),
                (["counter", "-c", "QryDoT"], "0\n"),
                (["counter", "-c", "RecursHighwater"], "1\n"),
                (["zonecounter", "-z", "example.org", "-c", "RecursHighwater"], MARK),
                (["zonecounter", "-z", "example.org", "-c", "QryUDP"], "15\n"),
            ], 10, '"memory": {"Malloced": "7195578", "InUse": "7195578"}}'),
            ("v2-bind-9.9-telegraf.xml", [
                (["counter", "-c", "Requestv4"], "102312611\n"),
                (["incounter", "-c", "AAAA"], "37786321\n"),
                (["outcounter", "-c", "A"], "2936881\n"),
                (["socketcounter", "-c", "FDwatchRecvErr"], "0\n"),
                (["discoverzones"], '{"data": []}\n'),
            ], 0, '"cache": {}, "memory": {"TotalUse": "81804609", "InUse": "20772579", '
                  '"BlockSize": "77070336", "ContextSize": "6663840", "Lost": "0"}}'),
            ("v2-exporter.xml", [
                (["counter", "-c", "Requestv4"], "37634916000\n"),
                (["discoverzones"], '{"data": []}\n'),
            ], 0, '"cache": {}, "memory": {"TotalUse": "260021923", "InUse": "96486675", '
                  '"BlockSize": "228589568", "ContextSize": "7756112", "Lost": "0"}}'),
        ]
        for name, answers, zones, tail in cases:
            body = fixture(name)
            for words, out in answers:
                with self.subTest(name, words=words):
                    run = self.fetch(body, *words)
                    self.assertEqual((run.status, run.out, run.err), (1 if out == MARK else 0, out, ""))
            with self.subTest(name, cache="file"):
                text = harness.readcache()
                self.assertTrue(text.isascii() and "\n" not in text)
                self.assertTrue(text.endswith(tail), text[-300:])
                sections = json.loads(text, object_pairs_hook=lambda pairs: pairs)
                self.assertEqual([name for name, _ in sections], SECTIONS)
                self.assertEqual(len(dict(sections)["zones"]), zones)

    def test_missing_attributes_end_the_run_and_leave_the_cache(self):
        cases = [
            ("nsstat counter without name",
             b'<statistics version="3.11"><server><counters type="nsstat"><counter>1</counter></counters>'
             b"</server></statistics>", "<counter>", '"name"'),
            ("server counters without type",
             b'<statistics version="3.11"><server><counters/></server></statistics>', "<counters>", '"type"'),
            ("view counters without type",
             b'<statistics version="3.11"><views><view name="x"><counters/></view></views></statistics>',
             "<counters>", '"type"'),
            ("cache without name",
             b'<statistics version="3.11"><views><view name="x"><cache/></view></views></statistics>',
             "<cache>", '"name"'),
            ("rrset without name element",
             b'<statistics version="3.11"><views><view name="x"><cache name="_default"><rrset><counter>1'
             b"</counter></rrset></cache></view></views></statistics>", "<rrset>", "<name>"),
            ("view without name",
             b'<statistics version="3.11"><views><view/></views></statistics>', "<view>", '"name"'),
            ("zone of _default without name",
             b'<statistics version="3.11"><views><view name="_default"><zones><zone/></zones></view></views>'
             b"</statistics>", "<zone>", '"name"'),
            ("version 2 cache without name, no rrset after it",
             b'<isc><bind><statistics version="2.2"><views><view><name>x</name><cache/></view></views>'
             b"</statistics></bind></isc>", "<cache>", '"name"'),
        ]
        for what, body, element, attribute in cases:
            with self.subTest(what):
                harness.placecache(OLD, age=120)
                before = harness.cachestate()
                with httpstub.serve(body=body):
                    run = harness.corvane("json")
                self.assertEqual((run.status, run.out), (1, ""), run)
                self.assertRegex(run.err, r"\Acorvane: [^\n]+\n\Z")
                self.assertIn(element, run.err)
                self.assertIn(attribute, run.err)
                self.assertEqual(harness.cachestate(), before)
            with self.subTest(what, cache="absent"):
                harness.removecache()
                with httpstub.serve(body=body):
                    self.assertEqual(harness.corvane("json").status, 1)
                self.assertFalse(os.path.lexists(harness.JSONFILE))

    def test_attributes_that_are_never_read_do_no_harm(self):
        body = (b'<statistics version="3.11"><server><counters type="opcode"><counter>1</counter></counters>'
                b'</server><views><view name="internal"><zones><zone><counters/></zone></zones></view>'
                b'<view name="_bind"><counters><counter/></counters></view></views></statistics>')
        run = self.fetch(body, "discoverzones")
        self.assertEqual((run.status, run.out, run.err), (0, '{"data": []}\n', ""))

    def test_encodings(self):
        doc = ('<?xml version="1.0" encoding="{}"?><statistics version="3.11"><server>'
               '<counters type="nsstat"><counter name="caf\u00e9">\u00e9t\u00e9</counter></counters>'
               '</server></statistics>')
        cases = [
            ("UTF-8", doc.format("UTF-8").encode("utf-8")),
            ("UTF-16 with BOM", doc.format("UTF-16").encode("utf-16")),
            ("UTF-16LE without BOM", doc.format("UTF-16").encode("utf-16-le")),
            ("UTF-16BE without BOM", doc.format("UTF-16").encode("utf-16-be")),
            ("ISO-8859-1", doc.format("ISO-8859-1").encode("latin-1")),
        ]
        for what, body in cases:
            with self.subTest(what):
                run = self.fetch(body, "counter", "-c", "caf\u00e9")
                self.assertEqual((run.status, run.out, run.err), (0, "\u00e9t\u00e9\n", ""))
                self.assertIn('"counter": {"caf\\u00e9": "\\u00e9t\\u00e9"}', harness.readcache())


if __name__ == "__main__":
    unittest.main()
