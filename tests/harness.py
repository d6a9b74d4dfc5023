"""What the black-box tests share: running the binary and placing a cache file.

Every test script runs inside tests/sandbox, so /tmp and the loopback are its own."""

import os
import subprocess
import time

CORVANE = os.environ.get("CORVANE", os.path.join(os.path.dirname(__file__), "..", "build", "corvane"))
JSONFILE = "/tmp/corvane.json"
HERE = os.path.dirname(os.path.abspath(__file__))


class Run:
    def __init__(self, status, out, err):
        self.status, self.out, self.err = status, out, err

    def __repr__(self):
        return f"Run(status={self.status}, out={self.out!r}, err={self.err!r})"


def corvane(*words, argv0=None, timeout=60, env=None):
    """Runs the binary with the given words; returns its exit status and both streams as text."""
    p = subprocess.run([argv0 or CORVANE, *words], executable=CORVANE, capture_output=True,
                       timeout=timeout, env=env)
    return Run(p.returncode, p.stdout.decode("utf-8", "surrogateescape"),
               p.stderr.decode("utf-8", "surrogateescape"))


def placecache(text, age=0.0, path=JSONFILE):
    """Writes `text` as the cache file, with a modification time `age` seconds in the past
    (negative: in the future)."""
    if os.path.lexists(path):
        os.remove(path)
    with open(path, "wb") as f:
        f.write(text.encode() if isinstance(text, str) else text)
    t = time.time() - age
    os.utime(path, (t, t))


def removecache(path=JSONFILE):
    if os.path.lexists(path):
        os.remove(path)


def readcache(path=JSONFILE):
    with open(path, "rb") as f:
        return f.read().decode()


def cachestate(path=JSONFILE):
    """Contents and modification time, to tell whether a run touched the file."""
    st = os.stat(path)
    with open(path, "rb") as f:
        return f.read(), st.st_mtime_ns
