#!/usr/bin/env python3
"""Writes a schema 3 statistics document of a large authoritative server, for the benchmark.

    python3 bench/gendoc.py ZONES OUT.xml

The layout, element order and counter names are those that a BIND 9.18 named with
`zone-statistics full;` publishes: server counters, traffic histograms, the _default view with
its zones and resolver counters, the built-in _bind view, the task manager and the memory
contexts. Each zone has its 68 "rcode" counters (the ones the document keeps per zone), the
4 "gluecache" counters, and every tenth zone a few "qtype" counters, as zones that are queried
by type. Values are mostly zero with some counts of up to nine digits, the same on every run
(a fixed seed), so that documents of the same size are byte for byte the same.

As a module: zonename(i) and probe(zones) give names that the benchmark asks for.
"""

import random
import sys

OPCODES = ("QUERY IQUERY STATUS RESERVED3 NOTIFY UPDATE RESERVED6 RESERVED7 RESERVED8 RESERVED9 "
           "RESERVED10 RESERVED11 RESERVED12 RESERVED13 RESERVED14 RESERVED15").split()
RCODES = ("NOERROR FORMERR SERVFAIL NXDOMAIN NOTIMP REFUSED YXDOMAIN YXRRSET NXRRSET NOTAUTH "
          "NOTZONE RESERVED11 RESERVED12 RESERVED13 RESERVED14 RESERVED15 BADVERS 17 18 19 20 21 "
          "22 BADCOOKIE").split()
QTYPES = "A NS CNAME SOA PTR MX TXT AAAA SRV DS DNSKEY HTTPS ANY".split()
NSSTAT = ("Requestv4 Requestv6 ReqEdns0 ReqBadEDNSVer ReqTSIG ReqSIG0 ReqBadSIG ReqTCP "
          "TCPConnHighWater AuthQryRej RecQryRej XfrRej UpdateRej Response TruncatedResp RespEDNS0 "
          "RespTSIG RespSIG0 QrySuccess QryAuthAns QryNoauthAns QryReferral QryNxrrset QrySERVFAIL "
          "QryFORMERR QryNXDOMAIN QryRecursion QryDuplicate QryDropped QryFailure XfrReqDone "
          "UpdateReqFwd UpdateRespFwd UpdateFwdFail UpdateDone UpdateFail UpdateBadPrereq "
          "RecursClients DNS64 RateDropped RateSlipped RPZRewrites QryUDP QryTCP NSIDOpt ExpireOpt "
          "KeepAliveOpt PadOpt OtherOpt CookieIn CookieNew CookieBadSize CookieBadTime "
          "CookieNoMatch CookieMatch ECSOpt QryNXRedir QryNXRedirRLookup QryBADCOOKIE "
          "SynthNXDOMAIN SynthNODATA SynthWILDCARD QryTryStale QryUsedStale Prefetch KeyTagOpt "
          "RecLimitDropped UpdateQuota").split()
ZONESTAT = ("NotifyOutv4 NotifyOutv6 NotifyInv4 NotifyInv6 NotifyRej SOAOutv4 SOAOutv6 AXFRReqv4 "
            "AXFRReqv6 IXFRReqv4 IXFRReqv6 XfrSuccess XfrFail").split()
SOCKSTAT = ("UDP4Open UDP6Open TCP4Open TCP6Open UnixOpen RawOpen UDP4OpenFail UDP6OpenFail "
            "TCP4OpenFail TCP6OpenFail UnixOpenFail RawOpenFail UDP4Close UDP6Close TCP4Close "
            "TCP6Close UnixClose FDWatchClose RawClose UDP4BindFail UDP6BindFail TCP4BindFail "
            "TCP6BindFail UnixBindFail FdwatchBindFail UDP4ConnFail UDP6ConnFail TCP4ConnFail "
            "TCP6ConnFail UnixConnFail FDwatchConnFail UDP4Conn UDP6Conn TCP4Conn TCP6Conn "
            "UnixConn FDwatchConn TCP4AcceptFail TCP6AcceptFail UnixAcceptFail TCP4Accept "
            "TCP6Accept UnixAccept UDP4SendErr UDP6SendErr TCP4SendErr TCP6SendErr UnixSendErr "
            "FDwatchSendErr UDP4RecvErr UDP6RecvErr TCP4RecvErr TCP6RecvErr UnixRecvErr "
            "FDwatchRecvErr RawRecvErr UDP4Active UDP6Active TCP4Active TCP6Active UnixActive "
            "RawActive TCP4Clients TCP6Clients").split()
RESSTATS = ("Queryv4 Queryv6 Responsev4 Responsev6 NXDOMAIN SERVFAIL FORMERR OtherError "
            "EDNS0Fail Mismatch Truncated Lame Retry QueryAbort QuerySockFail QueryCurUDP "
            "QueryCurTCP QueryTimeout GlueFetchv4 GlueFetchv6 GlueFetchv4Fail GlueFetchv6Fail "
            "ValAttempt ValOk ValNegOk ValFail QryRTT10 QryRTT100 QryRTT500 QryRTT800 QryRTT1600 "
            "QryRTT1600+ NumFetch BucketSize REFUSED ClientCookieOut ServerCookieOut CookieIn "
            "CookieClientOk BadEDNSVersion BadCookieRcode ZoneQuota ServerQuota ClientQuota "
            "NextItem Priming").split()
ADBSTAT = "nentries entriescnt nnames namescnt".split()
CACHESTATS = ("CacheHits CacheMisses QueryHits QueryMisses DeleteLRU DeleteTTL CoveringNSEC "
              "CacheNodes CacheNSECNodes CacheBuckets TreeMemTotal TreeMemInUse TreeMemMax "
              "HeapMemTotal HeapMemInUse HeapMemMax").split()
# A zone's "rcode" counters are the server's nsstat counters, kept per zone.
ZONERCODE = NSSTAT
GLUECACHE = ("GLUECACHEhitspresent GLUECACHEhitsabsent GLUECACHEinsertspresent "
             "GLUECACHEinsertsabsent").split()
ZONEQTYPES = "A AAAA MX TXT NS SOA".split()
BUILTIN = ["authors.bind", "hostname.bind", "version.bind", "id.server"]
CONTEXTS = ("main zonemgr-pool zonemgr-pool clientmgr clientmgr cache cache_heap ADB ADB_dynamic "
            "cache cache_heap ADB ADB_dynamic").split()
TASKS = ("server zmgr zone taskpool loadzone clientmgr cache_dbtask cache_prunetask view res0 "
         "res1 res2 res3 res4 resolver_task ADB ntatable").split()

WORDS = ("shop mail cloud media news travel health sport bank home data tech food games music "
         "photo radio school city garden energy motor design studio market").split()
TLDS = "com net org de nl eu io be".split()


def zonename(i):
    """The name of zone number i (0-based): distinct, of the lengths real zone names have."""
    return f"{WORDS[i % len(WORDS)]}-{i:05d}.{WORDS[(i * 7) % len(WORDS)]}.{TLDS[i % len(TLDS)]}"


def probe(zones):
    """A zone three quarters into the document and a counter near the end of its map."""
    return zonename(zones * 3 // 4), "QryAuthAns"


class Values:
    def __init__(self, seed):
        self.rng = random.Random(seed)

    def __call__(self):
        r = self.rng.random()
        if r < 0.6:
            return "0"
        return str(self.rng.randrange(1, 10 ** self.rng.randrange(1, 10)))


def counters(out, kind, names, value):
    if not names:
        out.append(f'<counters type="{kind}"/>')
        return
    out.append(f'<counters type="{kind}">')
    out.extend(f'<counter name="{n}">{value()}</counter>' for n in names)
    out.append("</counters>")


def zone(out, name, rdataclass, qtypes, value):
    out.append(f'<zone name="{name}" rdataclass="{rdataclass}"><type>primary</type>'
               f"<serial>2024010{len(name) % 10}</serial><loaded>2024-05-01T10:00:00Z</loaded>")
    counters(out, "rcode", ZONERCODE, value)
    counters(out, "gluecache", GLUECACHE, value)
    counters(out, "qtype", qtypes, value)
    counters(out, "dnssec-sign", [], value)
    counters(out, "dnssec-refresh", [], value)
    out.append("</zone>")


def view(out, name, zonelist, value):
    out.append(f'<view name="{name}"><zones>')
    for zname, rdataclass, qtypes in zonelist:
        zone(out, zname, rdataclass, qtypes, value)
    out.append("</zones>")
    counters(out, "resqtype", QTYPES[:6] if name == "_default" else [], value)
    counters(out, "resstats", RESSTATS, value)
    out.append(f'<cache name="{name}"/>')
    counters(out, "adbstat", ADBSTAT, value)
    counters(out, "cachestats", CACHESTATS, value)
    out.append("</view>")


def document(zones):
    value = Values(zones)
    out = ['<?xml version="1.0" encoding="UTF-8"?>\n'
           '<?xml-stylesheet type="text/xsl" href="/bind9.xsl"?>\n'
           '<statistics version="3.13"><server><boot-time>2024-05-01T10:00:00.000Z</boot-time>'
           "<config-time>2024-05-01T10:00:01.000Z</config-time>"
           "<current-time>2024-05-02T10:00:00.000Z</current-time>"
           "<version>9.18.24-1-Debian</version>"]
    counters(out, "opcode", OPCODES, value)
    counters(out, "rcode", RCODES, value)
    counters(out, "qtype", QTYPES, value)
    counters(out, "nsstat", NSSTAT, value)
    counters(out, "zonestat", ZONESTAT, value)
    counters(out, "resstat", [], value)
    counters(out, "sockstat", SOCKSTAT, value)
    out.append("</server><traffic>")
    for family in ("ipv4", "ipv6"):
        out.append(f"<{family}>")
        for proto in ("udp", "tcp"):
            out.append(f"<{proto}>")
            for kind in ("request-size", "response-size"):
                buckets = [f"{16 * k}-{16 * k + 15}" for k in range(2, 12)]
                counters(out, kind, buckets, value)
            out.append(f"</{proto}>")
        out.append(f"</{family}>")
    out.append("</traffic><views>")
    view(out, "_default",
         ((zonename(i), "IN", ZONEQTYPES if i % 10 == 0 else []) for i in range(zones)), value)
    view(out, "_bind", ((z, "CH", []) for z in BUILTIN), value)
    out.append("</views><taskmgr><thread-model><type>threaded</type>"
               "<default-quantum>25</default-quantum></thread-model><tasks>")
    for k, name in enumerate(TASKS * 3):
        out.append(f"<task><name>{name}</name><references>{1 + k % 9}</references>"
                   f"<id>0x7f472b28{k:04x}</id><state>idle</state><quantum>25</quantum>"
                   "<events>0</events></task>")
    out.append("</tasks></taskmgr><memory><contexts>")
    for k, name in enumerate(CONTEXTS):
        out.append(f"<context><id>0x7f472b2c{k:04x}</id><name>{name}</name>"
                   f"<references>{value()}</references><total>{value()}</total>"
                   f"<inuse>{value()}</inuse><maxinuse>0</maxinuse><malloced>{value()}</malloced>"
                   f"<maxmalloced>{value()}</maxmalloced><pools>0</pools><hiwater>0</hiwater>"
                   "<lowater>0</lowater></context>")
    out.append("</contexts><summary><TotalUse>26312665</TotalUse><InUse>25076104</InUse>"
               "<Malloced>25185512</Malloced><ContextSize>109824</ContextSize><Lost>0</Lost>"
               "</summary></memory></statistics>\n")
    return "".join(out)


def main():
    if len(sys.argv) != 3 or not sys.argv[1].isdigit():
        sys.exit("usage: gendoc.py ZONES OUT.xml")
    with open(sys.argv[2], "w", encoding="ascii") as f:
        f.write(document(int(sys.argv[1])))


if __name__ == "__main__":
    main()
