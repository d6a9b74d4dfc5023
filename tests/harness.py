"""What the black-box tests share: running the binary and placing a cache file.

Every test script runs inside tests/sandbox, so /tmp and the loopback are its own."""

import os
import subprocess
import tempfile
import time

CORVANE = os.environ.get("CORVANE", os.path.join(os.path.dirname(__file__), "..", "build", "corvane"))
JSONFILE = "/tmp/corvane.json"
OUTCOME = JSONFILE + ".outcome"
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.realpath(HERE))


def cachepath(port):
    """The cache file of the statistics channel on `port`."""
    return JSONFILE if int(port) == 8653 else f"/tmp/corvane-{int(port)}.json"


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
    (negative: in the future). A failure that an earlier run left beside it is forgotten."""
    forgetfailure(path)
    if os.path.lexists(path):
        os.remove(path)
    with open(path, "wb") as f:
        f.write(text.encode() if isinstance(text, str) else text)
    t = time.time() - age
    os.utime(path, (t, t))


def removecache(path=JSONFILE):
    """Removes the cache file, and the failure that an earlier run left beside it."""
    forgetfailure(path)
    if os.path.lexists(path):
        os.remove(path)


def forgetfailure(path=JSONFILE):
    """Removes the outcome of a failed fetch beside the cache file, and beside those of the
    other ports in its directory: the next run fetches."""
    directory = os.path.dirname(path)
    for name in os.listdir(directory):
        if name.startswith("corvane") and name.endswith(".json.outcome"):
            os.remove(os.path.join(directory, name))


def readcache(path=JSONFILE):
    with open(path, "rb") as f:
        return f.read().decode()


def cachestate(path=JSONFILE):
    """Contents and modification time, to tell whether a run touched the file."""
    st = os.stat(path)
    with open(path, "rb") as f:
        return f.read(), st.st_mtime_ns


def mounttmp(options):
    """Mounts a file system of its own over /tmp (a tmpfs with the mount options `options`),
    where the work tree and the binary stay reachable when they live under /tmp, as
    tests/sandbox keeps them. Returns the names in the new /tmp that lead to them. Undo with
    `umount -l /tmp`."""
    kept = sorted({path for path in (ROOT, os.path.dirname(os.path.realpath(CORVANE)))
                   if path.startswith("/tmp/")})
    kept = [path for path in kept if not any(path.startswith(other + "/") for other in kept)]
    old = tempfile.mkdtemp(prefix="corvane-tmp.", dir="/dev/shm")
    try:
        subprocess.run(["mount", "--rbind", "/tmp", old], check=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", "/tmp"], check=True)
        for path in kept:
            os.makedirs(path)
            subprocess.run(["mount", "--bind", old + path[len("/tmp"):], path], check=True)
    finally:
        subprocess.run(["umount", "-l", old], check=True)
        os.rmdir(old)
    return {path.split("/")[2] for path in kept}
