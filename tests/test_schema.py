"""Schema detection through the binary: which bodies are statistics, and what the others print."""

import os
import unittest

import harness
import httpstub

MARK = "ZBX_NOTSUPPORTED\n"
EMPTY = ('{"zones": {}, "counter": {}, "zonemaintenancecounter": {}, "resolvercounter": {}, '
         '"socketcounter": {}, "incounter": {}, "outcounter": {}, "cache": {}, "memory": {}}')
OLD = '{"zones": {}, "counter": {"old": "1"}}'


def isc(version, root_attributes=' version="1.0"'):
    return f'<isc{root_attributes}><bind><statistics version="{version}"/></bind></isc>'.encode()


class Detection(unittest.TestCase):
    def run_with(self, body, *words):
        with httpstub.serve(body=body):
            return harness.corvane(*(words or ("json",)))

    def test_endings_that_leave_the_cache_as_it_was(self):
        # (body, status, stdout, stderr; None: one "corvane: " diagnostic line)
        cases = [
            (b"<html><body/></html>", 1, MARK, "Unknown root tag: html\n"),
            (b'<ISC><bind><statistics version="2.2"/></bind></ISC>', 1, MARK, "Unknown root tag: ISC\n"),
            (b'<isc xmlns="urn:x"><bind><statistics version="2.2"/></bind></isc>', 1, MARK,
             "Unknown root tag: {urn:x}isc\n"),
            (b'<statistics version="4.0"/>', 1, MARK, "Unsupported bind statistics version: {'version': '4.0'}\n"),
            (b'<statistics version="9.1" boot="now"><server/></statistics>', 1, MARK,
             "Unsupported bind statistics version: {'version': '9.1', 'boot': 'now'}\n"),
            (isc("4.0"), 1, MARK, "Unsupported bind statistics version: {'version': '1.0'}\n"),
            (isc("5.2", ""), 1, MARK, "Unsupported bind statistics version: {}\n"),
            (b"<statistics version=\"4.0\" q=\"it's\"/>", 1, MARK,
             "Unsupported bind statistics version: {'version': '4.0', 'q': \"it's\"}\n"),
            (b"", 1, "", None),
            (b"<statistics version=\"3.11\"><server>", 1, "", None),
            (b"<statistics version=\"3.11\"/>trailing", 1, "", None),
            (b"<a>\xff</a>", 1, "", None),
            (b'<statistics version="10.0"/>', 1, "", None),
            (b'<statistics version="3"/>', 1, "", None),
            (b'<statistics version=" 3.0"/>', 1, "", None),
            (b'<statistics version="v3"/>', 1, "", None),
            (b"<statistics/>", 1, "", None),
            (b'<isc version="1.0"><statistics version="2.2"/></isc>', 1, "", None),
            (b"<isc><bind><statistics/></bind></isc>", 1, "", None),
        ]
        for body, status, out, err in cases:
            for cached in (None, OLD):
                with self.subTest(body=body, cached=cached):
                    if cached is None:
                        harness.removecache()
                    else:
                        harness.placecache(cached, age=120)
                        before = harness.cachestate()
                    run = self.run_with(body)
                    self.assertEqual((run.status, run.out), (status, out), run)
                    if err is None:
                        self.assertRegex(run.err, r"\Acorvane: [^\n]+\n\Z")
                    else:
                        self.assertEqual(run.err, err)
                    if cached is None:
                        self.assertFalse(os.path.lexists(harness.JSONFILE))
                    else:
                        self.assertEqual(harness.cachestate(), before)

    def test_diagnostics_name_what_failed(self):
        cases = [
            (b"", "XML not well formed: no element found at line 1, column 1"),
            (b"<statistics version=\"3.11\">\n<server></statistics>", "mismatched tag at line 2, column 11"),
            (b'<statistics version="10.0"/>', "'10.0'"),
            (b"<statistics/>", 'XML element <statistics> has no attribute "version"'),
            (b'<isc><statistics version="2.2"/></isc>', "bind/statistics"),
        ]
        for body, part in cases:
            with self.subTest(body=body):
                harness.removecache()
                self.assertIn(part, self.run_with(body).err)

    def test_hostile_bodies(self):
        secret = "/tmp/corvane-secret.txt"
        with open(secret, "w") as f:
            f.write("SECRET")
        deep = b"<statistics version='3.11'>" + b"<a>" * 1000000 + b"</a>" * 1000000 + b"</statistics>"
        lol = b'<!ENTITY l0 "lol">' + b"".join(
            b'<!ENTITY l%d "%s">' % (i, b"&l%d;" % (i - 1) * 10) for i in range(1, 10))
        cases = [
            ("a million levels", deep, 0, '{"data": []}\n'),
            ("a million levels, cut short", deep[:-20], 1, ""),
            ("entity bomb", b"<!DOCTYPE statistics [" + lol + b"]><statistics version='3.11'>&l9;</statistics>",
             1, ""),
            ("external DTD", f'<!DOCTYPE statistics SYSTEM "{secret}"><statistics version="3.11"/>'.encode(),
             0, '{"data": []}\n'),
            ("external entity",
             f'<!DOCTYPE statistics [<!ENTITY s SYSTEM "file://{secret}">]><statistics version="3.11">'
             f'<server><counters type="nsstat"><counter name="s">&s;</counter></counters></server>'
             f"</statistics>".encode(), 0, '{"data": []}\n'),
        ]
        for what, body, status, out in cases:
            with self.subTest(what):
                harness.removecache()
                run = self.run_with(body, "discoverzones")
                self.assertEqual((run.status, run.out), (status, out), run)
                if status:
                    self.assertRegex(run.err, r"\Acorvane: [^\n]+\n\Z")
                    self.assertFalse(os.path.lexists(harness.JSONFILE))
                else:
                    self.assertNotIn("SECRET", harness.readcache())
        self.assertIn('"counter": {"s": null}', harness.readcache())

    def test_versions_that_pass(self):
        # Versions 0 and 1 pass detection but no extractor reads them: the empty document.
        cases = [
            (b'<statistics version="1.0"><server><counters type="nsstat"><counter name="a">1</counter>'
             b"</counters></server></statistics>", EMPTY),
            (b'<statistics version="0.9"/>', EMPTY),
            (isc("1.0"), EMPTY),
            (b'<statistics version="3."/>', EMPTY),
            (isc("2.2"), EMPTY),
            (b'<isc><bind/><bind><statistics version="2.2"><server><nsstat><name>a</name><counter>1</counter>'
             b"</nsstat></server></statistics></bind></isc>", EMPTY.replace('"counter": {}', '"counter": {"a": "1"}')),
        ]
        for body, cache in cases:
            with self.subTest(body=body):
                harness.placecache(OLD, age=61)
                run = self.run_with(body, "discoverzones")
                self.assertEqual((run.status, run.out, run.err), (0, '{"data": []}\n', ""))
                self.assertEqual(harness.readcache(), cache)


if __name__ == "__main__":
    unittest.main()
