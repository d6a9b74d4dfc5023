"""A throwaway BIND 9 `named` on loopback for the end-to-end tests and the demo.

Named starts a real named in a temporary directory with a few authoritative zones and its
statistics channel on 127.0.0.1, sends it queries with dig, reads its XML statistics with urllib
and stops it by PID. CountingProxy stands in front of the statistics channel to count the
requests that reach it and keep the documents it served; Upstream is a tiny DNS server that
answers every query with NXDOMAIN, so that a forward zone gives the resolver real work. expected()
reads a served XML document with ElementTree: the tests' own reading of it, to compare with what
corvane answers.

As a program (stdlib only):
  python3 tests/named.py listening PORT        exit 0 when 127.0.0.1:PORT or [::1]:PORT accepts
  python3 tests/named.py serve [--statsport N]  run a named until interrupted, print its PID/ports
  python3 tests/named.py demo --corvane BIN [--pidfile F] [--existing] [WORD...]
"""

import argparse
import ctypes
import json
import os
import select
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
import xml.etree.ElementTree as ET

NAMED = shutil.which("named") or "/usr/sbin/named"
DIG = shutil.which("dig") or "/usr/bin/dig"

# Zone name to extra statements of its zone block. Every zone gets the same records; quiet.test
# keeps terse statistics, so the statistics channel lists it without any counters.
ZONES = {
    "example.org": "",
    "example.net": "",
    "corvane.test": "",
    "quiet.test": "zone-statistics terse;",
}

# The zone that Upstream answers for, through a forward zone of the _default view.
FORWARDED = "fwd.test"

RECORDS = """$TTL 300
@       IN SOA  ns1 hostmaster 1 3600 600 86400 300
@       IN NS   ns1
ns1     IN A    127.0.0.1
@       IN A    192.0.2.1
www     IN A    192.0.2.1
www     IN AAAA 2001:db8::1
@       IN MX   10 mail
mail    IN A    192.0.2.2
@       IN TXT  "corvane test zone"
"""


def freeport():
    """A TCP port on 127.0.0.1 that nothing listened on a moment ago."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port, timeout=1.0):
    """Whether something accepts TCP connections on 127.0.0.1:port or [::1]:port."""
    for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
        try:
            with socket.socket(family) as s:
                s.settimeout(timeout)
                s.connect((host, port))
                return True
        except OSError:
            pass
    return False


def _workbase():
    """Where named's temporary directory goes: the system's temporary directory, unless AppArmor
    confines named, whose Debian profile lets it read and write below /var/cache/bind only."""
    try:
        with open("/sys/kernel/security/apparmor/profiles") as f:
            confined = any(line.split(" (")[0] in ("named", "/usr/sbin/named")
                           and "(enforce)" in line for line in f)
    except OSError:
        confined = False
    if confined and os.access("/var/cache/bind", os.W_OK):
        return "/var/cache/bind"
    return None


_libc = None


def _diewithparent():
    # Runs in the child between fork and exec: a harness killed by a signal takes named along.
    if _libc is not None:
        _libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def inroot(root, argv, shared=()):
    """argv run inside the Debian root file system `root` (None: on this machine). It runs in a
    mount namespace of its own, where each directory of `shared` and the devices named opens are
    the host's, at the same paths; the mounts end with the process, and the PID stays argv's."""
    if root is None:
        return list(argv)
    script = ('set -eu; r=$1; n=$2; shift 2; while [ "$n" -gt 0 ]; do '
              'mount --bind "$1" "$r$1"; shift; n=$((n - 1)); done; '
              'for d in null zero random urandom; do mount --bind /dev/$d "$r/dev/$d"; done; '
              'exec chroot "$r" "$@"')
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh", root,
            str(len(shared)), *shared, *argv]


def version(root=None):
    """named's version, as `named -v` gives it: "9.18.49-1~deb12u3-Debian"."""
    p = subprocess.run(inroot(root, [NAMED if root is None else "/usr/sbin/named", "-v"]),
                       capture_output=True, text=True, timeout=30, check=True)
    return p.stdout.split()[1]


class Named:
    """One named process and its temporary directory. Use as a context manager, or call start()
    and stop(). start() from the thread that will outlive named: named is told to end when that
    thread ends. With `root`, the named of that Debian root file system runs chrooted in it."""

    def __init__(self, zones=None, statsport=None, dnsport=None, forward=None, root=None):
        self.zones = dict(ZONES if zones is None else zones)
        self.statsport = statsport or freeport()
        self.dnsport = dnsport or freeport()
        self.forward = forward  # an Upstream whose port the forward zone sends to, or None
        self.root = root
        self.proc = None
        self.dir = None
        self.log = ""

    @property
    def pid(self):
        return self.proc.pid if self.proc else None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def config(self):
        lines = [
            "options {",
            f'  directory "{self.dir}";',
            f'  pid-file "{self.dir}/named.pid";',
            f'  session-keyfile "{self.dir}/session.key";',
            f"  listen-on port {self.dnsport} {{ 127.0.0.1; }};",
            "  listen-on-v6 { none; };",
            "  dnssec-validation no;",
            "  zone-statistics full;",
        ]
        if self.forward:
            # Recursion only for the forward zone's sake; without empty zones the _default view
            # holds the test's zones alone.
            lines += ["  recursion yes;", "  allow-recursion { 127.0.0.1; };",
                      "  empty-zones-enable no;"]
        else:
            lines.append("  recursion no;")
        lines += [
            "};",
            "controls { };",
            f"statistics-channels {{ inet 127.0.0.1 port {self.statsport} allow {{ 127.0.0.1; }}; }};",
        ]
        # A zone's name goes in as it is: named reads its escapes ("a\.b" is one label).
        for i, (zone, extra) in enumerate(self.zones.items()):
            lines.append(f'zone "{zone}" {{ type primary; file "zone{i}.db"; {extra} }};')
        if self.forward:
            lines.append(f'zone "{FORWARDED}" {{ type forward; forward only; '
                         f"forwarders {{ 127.0.0.1 port {self.forward.port}; }}; }};")
        return "\n".join(lines) + "\n"

    def start(self, timeout=20.0):
        global _libc
        program = NAMED if self.root is None else "/usr/sbin/named"
        if not os.access(NAMED if self.root is None else self.root + program, os.X_OK):
            raise RuntimeError(f"{program} not found in {self.root or '/'}: install Debian's "
                               "bind9 (./scripts/setup)")
        # In a root file system named sees this directory's parent at the same path.
        self.dir = tempfile.mkdtemp(prefix="corvane-named-",
                                    dir=_workbase() if self.root is None else "/tmp")
        for i, zone in enumerate(self.zones):
            with open(os.path.join(self.dir, f"zone{i}.db"), "w") as f:
                f.write(RECORDS)
        conf = os.path.join(self.dir, "named.conf")
        with open(conf, "w") as f:
            f.write(self.config())
        if _libc is None:
            try:
                _libc = ctypes.CDLL(None, use_errno=True)
            except OSError:
                pass
        logpath = os.path.join(self.dir, "named.log")
        with open(logpath, "wb") as log:
            # -g: foreground, log to stderr, no setuid; named stays the user that started it.
            argv = inroot(self.root, [program, "-g", "-c", conf], shared=[os.path.dirname(self.dir)])
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=log, cwd=self.dir,
                                         preexec_fn=_diewithparent)
        deadline = time.monotonic() + timeout
        while True:
            with open(logpath, "rb") as f:
                self.log = f.read().decode("utf-8", "replace")
            if self.proc.poll() is not None:
                self.stop()
                raise RuntimeError(f"named ended with status {self.proc.returncode}:\n{self.log}")
            # "running" comes after every zone has loaded; the channel then answers at once.
            if " running\n" in self.log and listening(self.statsport, 0.5):
                return self
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"named did not come up within {timeout} s:\n{self.log}")
            time.sleep(0.02)

    def stop(self, timeout=10.0):
        """Ends named (SIGTERM, then SIGKILL) and removes its directory. Idempotent."""
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout)
        if self.dir:
            try:
                with open(os.path.join(self.dir, "named.log"), "rb") as f:
                    self.log = f.read().decode("utf-8", "replace")
            except OSError:
                pass
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def query(self, name, rtype="A", count=1):
        """Sends `count` queries for `name` and `rtype`; see ask()."""
        return self.ask([(name, rtype, count)])

    def ask(self, plan):
        """Sends the queries of `plan` ((name, rtype, count), ...) with one dig, one at a time,
        each tried once. Returns the number sent; fails unless every one was answered, since
        then the counters named kept would not be known."""
        batch = "".join(f"{name} {rtype}\n" * count for name, rtype, count in plan)
        sent = batch.count("\n")
        p = subprocess.run([DIG, "@127.0.0.1", "-p", str(self.dnsport), "+tries=1", "+time=2",
                            "+noall", "+comments", "-f", "-"],
                           input=batch.encode(), capture_output=True, timeout=30 + sent)
        answered = p.stdout.count(b"->>HEADER<<-")
        if answered != sent:
            raise RuntimeError(f"dig: {answered} of {sent} queries answered:\n"
                               f"{p.stderr.decode(errors='replace')}")
        return sent

    def statistics(self, timeout=10.0):
        """The XML statistics document, as bytes, straight from the channel."""
        url = f"http://127.0.0.1:{self.statsport}/"
        with urllib.request.urlopen(url, timeout=timeout) as r:
            return r.read()


def wirename(text):
    """A domain name of plain labels in DNS wire form."""
    return b"".join(bytes([len(l)]) + l.encode() for l in text.split(".") if l) + b"\0"


class Upstream:
    """A UDP DNS server on 127.0.0.1 for the forward zone: a name whose first label is "nodata"
    exists without records of any type (NOERROR, no answer), every other name does not exist
    (NXDOMAIN). Both answers carry the zone's SOA, so that the resolver caches them."""

    _RDATA = (wirename("ns1." + FORWARDED) + wirename("hostmaster." + FORWARDED)
              + struct.pack("!IIIII", 1, 3600, 600, 86400, 300))
    SOA = wirename(FORWARDED) + struct.pack("!HHIH", 6, 1, 300, len(_RDATA)) + _RDATA

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.queries = 0
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                msg, peer = self.sock.recvfrom(4096)
            except OSError:
                return
            if len(msg) < 12:
                continue
            end = 12
            while end < len(msg) and msg[end]:
                end += 1 + msg[end]
            question = msg[12:end + 5]
            ident, flags = struct.unpack("!HH", msg[:4])
            nodata = question[1:1 + question[0]].lower() == b"nodata"
            # QR, the query's opcode and RD, RA, and the rcode: NOERROR or NXDOMAIN.
            flags = 0x8000 | (flags & 0x7900) | 0x0080 | (0 if nodata else 3)
            self.queries += 1
            try:
                self.sock.sendto(struct.pack("!HHHHHH", ident, flags, 1, 0, 1, 0) + question
                                 + self.SOA, peer)
            except OSError:
                pass

    def close(self):
        self.sock.close()


class CountingProxy:
    """Relays TCP connections from 127.0.0.1:port to 127.0.0.1:upstream, counting connections
    and request heads, and keeping every response byte for byte. `delay` holds each response
    that long before its first byte goes out, as a large server does while it builds the
    document."""

    def __init__(self, upstream, port=0, delay=0.0):
        self.upstream, self.delay = upstream, delay
        self.lock = threading.Lock()
        self.connections = 0
        self.requests = 0
        self.responses = []
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(1024)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()
        self.thread.join(5)

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.connections += 1
            threading.Thread(target=self._relay, args=(client,), daemon=True).start()

    def _relay(self, client):
        response = bytearray()
        try:
            server = socket.create_connection(("127.0.0.1", self.upstream), timeout=10)
        except OSError:
            client.close()
            return
        request = b""
        held = False
        try:
            while True:
                ready, _, _ = select.select([client, server], [], [], 30)
                if not ready:
                    break
                if client in ready:
                    data = client.recv(65536)
                    if not data:
                        break
                    request += data
                    heads = request.count(b"\r\n\r\n")
                    if heads:
                        with self.lock:
                            self.requests += heads
                        request = request[request.rfind(b"\r\n\r\n") + 4:]
                    server.sendall(data)
                if server in ready:
                    data = server.recv(65536)
                    if not data:
                        break
                    if not held and self.delay:
                        time.sleep(self.delay)
                    held = True
                    response += data
                    client.sendall(data)
        except OSError:
            pass
        finally:
            client.close()
            server.close()
            with self.lock:
                self.responses.append(bytes(response))

    def bodies(self):
        """The bodies of the responses relayed so far, in the order their connections ended."""
        with self.lock:
            return [httpbody(r) for r in self.responses]


def httpbody(response):
    """The body of one raw HTTP/1.1 response (length-delimited, chunked or close-delimited)."""
    head, _, rest = response.partition(b"\r\n\r\n")
    fields = {}
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        fields[name.strip().lower()] = value.strip()
    if fields.get(b"transfer-encoding", b"").lower() == b"chunked":
        body = b""
        while rest:
            size, _, rest = rest.partition(b"\r\n")
            n = int(size.split(b";")[0], 16)
            if n == 0:
                break
            body += rest[:n]
            rest = rest[n + 2:]
        return body
    if b"content-length" in fields:
        return rest[:int(fields[b"content-length"])]
    return rest


def expected(xmlbytes):
    """What corvane should make of a version 3 document from a real named: the nine sections as
    dicts in order, values as text. The built-in view _bind contributes no resolver or cache
    statistics: they would hide the real resolver's figures."""
    root = ET.fromstring(xmlbytes)
    doc = {s: {} for s in ("zones", "counter", "zonemaintenancecounter", "resolvercounter",
                           "socketcounter", "incounter", "outcounter", "cache", "memory")}
    server = {"nsstat": "counter", "sockstat": "socketcounter", "zonestat":
              "zonemaintenancecounter", "qtype": "incounter"}
    for counters in root.findall("./server/counters"):
        section = server.get(counters.get("type"))
        for c in counters.findall("./counter") if section else ():
            doc[section][c.get("name")] = c.text
    view = {"resqtype": "outcounter", "resstats": "resolvercounter", "cachestats": "cache"}
    for v in root.findall("./views/view"):
        if v.get("name") == "_bind":
            continue
        for counters in v.findall("./counters"):
            section = view.get(counters.get("type"))
            for c in counters.findall("./counter") if section else ():
                doc[section][c.get("name")] = c.text
    for cache in root.findall("./views/view/cache"):
        if cache.get("name") != "_default":
            continue
        for rrset in cache.findall("./rrset"):
            name = rrset.findtext("./name")
            value = rrset.findtext("./counter")
            doc["cache"][name] = value
            if name.startswith("!"):
                doc["cache"][name.replace("!", "_")] = value
    for v in root.findall("./views/view"):
        if v.get("name") != "_default":
            continue
        for zone in v.findall("./zones/zone"):
            counts = {}
            for counters in zone.findall("./counters"):
                if counters.get("type") in ("rcode", "qtype"):
                    for c in counters.findall("./counter"):
                        counts[c.get("name")] = c.text
            doc["zones"][zone.get("name")] = counts
    for m in root.findall("./memory/summary/*"):
        doc["memory"][m.tag] = m.text
    return doc


# A few queries of each kind, for the demo.
DEMOQUERIES = [("www.example.org", "A", 5), ("example.org", "MX", 2), ("www.example.org", "AAAA", 1),
               ("example.net", "TXT", 3), ("example.net", "A", 1), ("nowhere.example.org", "A", 1)]


def _show(corvane, words):
    print("$ corvane " + shlex.join(words), flush=True)
    p = subprocess.run([corvane, *words], capture_output=True, timeout=120)
    sys.stdout.buffer.write(p.stdout)
    sys.stdout.flush()
    sys.stderr.buffer.write(p.stderr)
    sys.stderr.flush()
    if p.returncode:
        print(f"(exit status {p.returncode})", flush=True)
    return p


def _demo(corvane, words):
    if words:
        return _show(corvane, words).returncode
    found = _show(corvane, ["discoverzones"])
    try:
        zones = [z["{#ZONE}"] for z in json.loads(found.stdout)["data"]]
    except (ValueError, TypeError, KeyError):
        zones = []
    status = found.returncode
    if zones:
        zone = "example.org" if "example.org" in zones else zones[0]
        status |= _show(corvane, ["zonecounter", "-z", zone, "-c", "A"]).returncode
    status |= _show(corvane, ["counter", "-c", "Requestv4"]).returncode
    status |= _show(corvane, ["json"]).returncode
    return 1 if status else 0


def _terminate(signum, frame):
    sys.exit(128 + signum)


def main(argv):
    parser = argparse.ArgumentParser(prog="named.py", description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("listening")
    p.add_argument("port", type=int)
    p = sub.add_parser("serve")
    p.add_argument("--statsport", type=int, default=8653)
    p.add_argument("--dnsport", type=int)
    p = sub.add_parser("demo")
    p.add_argument("--corvane", required=True)
    p.add_argument("--pidfile", help="where to write this PID and named's while they run")
    p.add_argument("--existing", action="store_true",
                   help="ask the server that already listens instead of starting one")
    p.add_argument("words", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)

    if args.command == "listening":
        return 0 if listening(args.port) else 1
    signal.signal(signal.SIGTERM, _terminate)
    words = getattr(args, "words", [])
    words = words[1:] if words[:1] == ["--"] else words
    if args.command == "demo" and args.existing:
        return _demo(args.corvane, words)
    if args.command == "demo":
        named = Named(statsport=8653)
    else:
        named = Named(statsport=args.statsport, dnsport=args.dnsport)
    pidfile = getattr(args, "pidfile", None)
    try:
        named.start()
        if pidfile:
            with open(pidfile, "w") as f:
                f.write(f"{os.getpid()} {named.pid}\n")
        version = named.log.split("starting BIND ", 1)[-1].split(" ", 1)[0]
        print(f"started named {version} (pid {named.pid}) on loopback: zones "
              f"{', '.join(named.zones)}; DNS on port {named.dnsport}, statistics on port "
              f"{named.statsport}", flush=True)
        sent = named.ask(DEMOQUERIES)
        print(f"sent it {sent} queries", flush=True)
        if args.command == "serve":
            print(f"{named.pid} {named.statsport} {named.dnsport} {named.dir}", flush=True)
            signal.pause()
            return 0
        return _demo(args.corvane, words)
    except KeyboardInterrupt:
        return 130
    finally:
        named.stop()
        if pidfile and os.path.exists(pidfile):
            os.remove(pidfile)
        print(f"stopped named (pid {named.pid})", flush=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
