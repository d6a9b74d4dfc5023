"""The index beside the cache file: whatever stands at its path, every answer is the one the
cache file gives without it, in bounded time, and nothing planted there is written through."""

import os
import unittest

import harness
import httpstub

INDEX = harness.JSONFILE + ".index"

ZONES = "".join(
    f'<zone name="{name}" rdataclass="IN"><counters type="rcode">'
    f'<counter name="NOERROR">{n}</counter><counter name="NXDOMAIN">{n * 2}</counter>'
    f'</counters></zone>'
    for n, name in enumerate(["example.org", "example.net", "say \"hi\".test", "caf\u00e9.test"]))
DOCUMENT = ('<?xml version="1.0" encoding="UTF-8"?>\n<statistics version="3.11">'
            '<server><counters type="nsstat"><counter name="Requestv4">7</counter></counters>'
            '</server><views><view name="_default"><zones>' + ZONES.replace('"hi"', "&quot;hi&quot;") +
            '</zones></view></views><memory><summary><InUse>99</InUse></summary></memory>'
            '</statistics>\n').encode()

QUESTIONS = [
    ("discoverzones",),
    ("json",),
    ("zonecounter", "-z", "example.org", "-c", "NXDOMAIN"),
    ("zonecounter", "-z", "example.com", "-c", "NXDOMAIN"),
    ("jsonzone", "-z", "caf\u00e9.test"),
    ("counter", "-c", "Requestv4"),
    ("memory", "-c", "InUse"),
    ("nosuch", "-c", "x"),
]


def answers():
    return [harness.corvane(*q, timeout=10) for q in QUESTIONS]


def fetch():
    """A cache file and its index as a fetch leaves them; returns the index's bytes."""
    harness.removecache()
    with httpstub.serve(body=DOCUMENT):
        run = harness.corvane("counter", "-c", "Requestv4")
    assert run.status == 0, run
    with open(INDEX, "rb") as f:
        return f.read()


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        os.rmdir(path)
    elif os.path.lexists(path):
        os.remove(path)


def rewrite_in_place():
    """A hand edit of the cache file that keeps its size and modification time."""
    st = os.stat(harness.JSONFILE)
    with open(harness.JSONFILE, "r+b") as f:
        text = f.read().replace(b"example.org", b"example.com")
        f.seek(0)
        f.write(text)
    os.utime(harness.JSONFILE, ns=(st.st_atime_ns, st.st_mtime_ns))


class PlantedIndex(unittest.TestCase):
    def tearDown(self):
        remove(INDEX)
        remove("/tmp/elsewhere")
        harness.removecache()

    def test_planted_index_changes_no_answer(self):
        def foreign(real):
            with open(INDEX, "wb") as f:
                f.write(real)
            os.chown(INDEX, 12345, 12345)

        def link(real):
            with open("/tmp/elsewhere", "wb") as f:
                f.write(real)
            os.symlink("/tmp/elsewhere", INDEX)

        def write(data):
            with open(INDEX, "wb") as f:
                f.write(data)

        def huge(real):
            write(real)
            os.truncate(INDEX, 100 << 20)

        def flipped(real):
            write(bytes(b ^ 0x40 if i > 150 and i % 8 == 0 else b for i, b in enumerate(real)))

        def another(real):
            fetch()  # a new cache file: the old index is for a file that is gone
            write(real)

        def edited(real):
            write(real)
            rewrite_in_place()

        cases = [
            ("another user's", foreign),
            ("a symbolic link to a real index", link),
            ("a FIFO", lambda real: os.mkfifo(INDEX)),
            ("a directory", lambda real: os.mkdir(INDEX)),
            ("a huge file", huge),
            ("random bytes", lambda real: write(os.urandom(len(real)))),
            ("cut short", lambda real: write(real[: len(real) // 2])),
            ("damaged past its header", flipped),
            ("the index of another file", another),
            ("a cache file rewritten in place by hand", edited),
        ]
        for name, plant in cases:
            with self.subTest(name):
                real = fetch()
                remove(INDEX)
                plant(real)
                # What the cache file answers with nothing at the index's path.
                os.rename(INDEX, "/tmp/held")
                expected = answers()
                remove(INDEX)  # the index that the first of them wrote for the file
                os.rename("/tmp/held", INDEX)
                got = answers()
                self.assertEqual([(r.status, r.out, r.err) for r in got],
                                 [(r.status, r.out, r.err) for r in expected])
                remove(INDEX)
                remove("/tmp/elsewhere")

    def test_fetch_replaces_a_link_at_the_index_path(self):
        with open("/tmp/elsewhere", "wb") as f:
            f.write(b"precious")
        os.symlink("/tmp/elsewhere", INDEX)
        fetch()
        self.assertFalse(os.path.islink(INDEX))
        with open("/tmp/elsewhere", "rb") as f:
            self.assertEqual(f.read(), b"precious")

    def test_answers_with_the_index_are_those_without_it(self):
        fetch()
        indexed = answers()
        os.remove(INDEX)
        self.assertEqual([(r.status, r.out, r.err) for r in answers()],
                         [(r.status, r.out, r.err) for r in indexed])
        self.assertEqual(indexed[0].out, '{"data": [{"{#ZONE}": "example.org"}, '
                         '{"{#ZONE}": "example.net"}, {"{#ZONE}": "say \\"hi\\".test"}, '
                         '{"{#ZONE}": "caf\\u00e9.test"}]}\n')


if __name__ == "__main__":
    unittest.main()
