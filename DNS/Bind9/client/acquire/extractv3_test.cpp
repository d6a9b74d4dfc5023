#include <gtest/gtest.h>

#include <array>
#include <string>

#include "base/ending.h"
#include "testsupport/extracting.h"

using namespace corvane;
using namespace corvane::testsupport;

namespace {

TEST(ExtractV3, EmptyStatisticsLeaveNineEmptySections) {
  Document doc = version3("");
  EXPECT_EQ(writejson(Value(doc)), NINEEMPTY);
}

TEST(ExtractV3, Pass1ServerCountersBySectionOfTheirType) {
  const Case cases[] = {
      {"nsstat", "<server><counters type='nsstat'><counter name='Requestv4'>156</counter></counters></server>",
       "counter", "{\"Requestv4\": \"156\"}"},
      {"sockstat", "<server><counters type='sockstat'><counter name='UDP4Open'>7</counter></counters></server>",
       "socketcounter", "{\"UDP4Open\": \"7\"}"},
      {"zonestat", "<server><counters type='zonestat'><counter name='NotifyOutv4'>2</counter></counters></server>",
       "zonemaintenancecounter", "{\"NotifyOutv4\": \"2\"}"},
      {"qtype", "<server><counters type='qtype'><counter name='A'>9</counter></counters></server>",
       "incounter", "{\"A\": \"9\"}"},
      {"text kept as it is",
       "<server><counters type='nsstat'><counter name='a'>0012</counter><counter name='b'> 1 </counter>"
       "<counter name='c'/><counter name='d'></counter><counter name='e'><!--x--></counter></counters></server>",
       "counter", "{\"a\": \"0012\", \"b\": \" 1 \", \"c\": null, \"d\": null, \"e\": null}"},
      {"only the counter's own text", "<server><counters type='nsstat'><counter name='a'>1<x>2</x>3</counter></counters></server>",
       "counter", "{\"a\": \"1\"}"},
      {"other types contribute nothing",
       "<server><counters type='opcode'><counter name='QUERY'>1</counter></counters>"
       "<counters type='NSSTAT'><counter name='x'>1</counter></counters>"
       "<counters type='rcode'><counter>no name, never read</counter></counters></server>",
       "counter", "{}"},
      {"counters elsewhere contribute nothing",
       "<counters type='nsstat'><counter name='a'>1</counter></counters>"
       "<server><x><counters type='nsstat'><counter name='b'>1</counter></counters></x></server>",
       "counter", "{}"},
      {"several counters elements of a type, later value at the first position",
       "<server><counters type='nsstat'><counter name='a'>1</counter><counter name='b'>2</counter></counters>"
       "<counters type='nsstat'><counter name='c'>3</counter><counter name='a'>4</counter></counters></server>",
       "counter", "{\"a\": \"4\", \"b\": \"2\", \"c\": \"3\"}"},
      {"several servers", "<server><counters type='qtype'><counter name='A'>1</counter></counters></server>"
       "<server><counters type='qtype'><counter name='NS'>2</counter></counters></server>",
       "incounter", "{\"A\": \"1\", \"NS\": \"2\"}"},
  };
  check(cases, version3);
}

TEST(ExtractV3, Pass2ViewCountersOfEveryViewButTheBuiltIn) {
  const Case cases[] = {
      {"resqtype", "<views><view name='_default'><counters type='resqtype'><counter name='A'>5</counter></counters></view></views>",
       "outcounter", "{\"A\": \"5\"}"},
      {"resstats", "<views><view name='x'><counters type='resstats'><counter name='Queryv4'>5</counter></counters></view></views>",
       "resolvercounter", "{\"Queryv4\": \"5\"}"},
      {"cachestats", "<views><view name='x'><counters type='cachestats'><counter name='CacheHits'>5</counter></counters></view></views>",
       "cache", "{\"CacheHits\": \"5\"}"},
      {"other view types", "<views><view name='x'><counters type='adbstat'><counter name='n'>1</counter></counters>"
       "<counters type='nsstat'><counter name='m'>1</counter></counters></view></views>",
       "resolvercounter", "{}"},
      {"the later view wins at the first position",
       "<views><view name='a'><counters type='resstats'><counter name='Q'>1</counter><counter name='R'>2</counter></counters></view>"
       "<view name='b'><counters type='resstats'><counter name='S'>3</counter><counter name='Q'>4</counter></counters></view></views>",
       "resolvercounter", "{\"Q\": \"4\", \"R\": \"2\", \"S\": \"3\"}"},
      {"_bind after _default: the resolver's figures stand",
       "<views><view name='_default'><counters type='resstats'><counter name='Queryv4'>946</counter></counters>"
       "<counters type='cachestats'><counter name='CacheHits'>12</counter></counters></view>"
       "<view name='_bind'><counters type='resstats'><counter name='Queryv4'>0</counter><counter name='Only'>1</counter></counters>"
       "<counters type='cachestats'><counter name='CacheHits'>0</counter></counters></view></views>",
       "resolvercounter", "{\"Queryv4\": \"946\"}"},
      {"_bind's cache statistics stay out too",
       "<views><view name='_default'><counters type='cachestats'><counter name='CacheHits'>12</counter></counters></view>"
       "<view name='_bind'><counters type='cachestats'><counter name='CacheHits'>0</counter></counters>"
       "<counters><counter>no type, never read</counter></counters></view></views>",
       "cache", "{\"CacheHits\": \"12\"}"},
      {"only the name _bind exactly is the built-in view",
       "<views><view name='_default'><counters type='resstats'><counter name='Q'>1</counter></counters></view>"
       "<view name='_BIND'><counters type='resstats'><counter name='Q'>2</counter></counters></view></views>",
       "resolvercounter", "{\"Q\": \"2\"}"},
      {"cachestats then an rrset of the same name: the rrset wins",
       "<views><view name='_default'><counters type='cachestats'><counter name='A'>1</counter><counter name='B'>2</counter></counters>"
       "<cache name='_default'><rrset><name>A</name><counter>7</counter></rrset></cache></view></views>",
       "cache", "{\"A\": \"7\", \"B\": \"2\"}"},
  };
  check(cases, version3);
}

TEST(ExtractV3, Pass3RrsetsOfTheDefaultCache) {
  auto rrsets = [](const std::string& inner) {
    return "<views><view name='_default'><cache name='_default'>" + inner + "</cache></view></views>";
  };
  struct {
    const char* what;
    std::string xml;
    const char* json;
  } cases[] = {
      {"plain names", rrsets("<rrset><name>A</name><counter>34324</counter></rrset>"
                             "<rrset><name>NXDOMAIN</name><counter>1</counter></rrset>"),
       "{\"A\": \"34324\", \"NXDOMAIN\": \"1\"}"},
      {"a leading ! gives a second name", rrsets("<rrset><name>!AAAA</name><counter>13</counter></rrset>"),
       "{\"!AAAA\": \"13\", \"_AAAA\": \"13\"}"},
      {"every ! is replaced", rrsets("<rrset><name>!!N!S</name><counter>2</counter></rrset>"),
       "{\"!!N!S\": \"2\", \"__N_S\": \"2\"}"},
      {"a ! further on gives none", rrsets("<rrset><name>A!B</name><counter>2</counter></rrset>"
                                           "<rrset><name>#A</name><counter>3</counter></rrset>"),
       "{\"A!B\": \"2\", \"#A\": \"3\"}"},
      {"an empty name", rrsets("<rrset><name/><counter>2</counter></rrset>"), "{\"\": \"2\"}"},
      {"empty counter, missing counter",
       rrsets("<rrset><name>A</name><counter/></rrset><rrset><name>B</name></rrset>"
              "<rrset><name>!C</name></rrset>"),
       "{\"A\": \"\", \"B\": null, \"!C\": null, \"_C\": null}"},
      {"the first name and counter", rrsets("<rrset><name>A</name><name>B</name><counter>1</counter><counter>2</counter></rrset>"),
       "{\"A\": \"1\"}"},
      {"a later rrset of the same name wins", rrsets("<rrset><name>!A</name><counter>1</counter></rrset>"
                                                     "<rrset><name>_A</name><counter>2</counter></rrset>"),
       "{\"!A\": \"1\", \"_A\": \"2\"}"},
      {"a cache of another name, even in _default",
       "<views><view name='_default'><cache name='_bind'><rrset><name>A</name><counter>1</counter></rrset></cache>"
       "<cache name='Default'><rrset><name>B</name><counter>1</counter></rrset></cache></view></views>",
       "{}"},
      {"a _default cache in any view",
       "<views><view name='other'><cache name='_default'><rrset><name>A</name><counter>1</counter></rrset></cache></view>"
       "<view name='y'><cache name='_default'><rrset><name>B</name><counter>2</counter></rrset></cache></view></views>",
       "{\"A\": \"1\", \"B\": \"2\"}"},
      {"rrsets elsewhere", "<views><view name='_default'><rrset><name>A</name><counter>1</counter></rrset></view></views>"
                           "<cache name='_default'><rrset><name>B</name><counter>1</counter></rrset></cache>",
       "{}"},
  };
  for (const auto& c : cases) {
    Document doc = version3(c.xml);
    EXPECT_EQ(json(doc, "cache"), c.json) << c.what;
  }
}

TEST(ExtractV3, Pass4ZonesOfTheDefaultView) {
  const Case cases[] = {
      {"rcode and qtype in one map, other types ignored",
       "<views><view name='_default'><zones><zone name='example.org' rdataclass='IN'>"
       "<counters type='rcode'><counter name='NOERROR'>4</counter><counter name='SERVFAIL'/></counters>"
       "<counters type='nsstat'><counter name='Requestv4'>9</counter></counters>"
       "<counters type='qtype'><counter name='A'>417</counter><counter name='NOERROR'>0012</counter></counters>"
       "<counters type='gluecache'><counter>never read</counter></counters>"
       "</zone></zones></view></views>",
       "zones", "{\"example.org\": {\"NOERROR\": \"0012\", \"SERVFAIL\": null, \"A\": \"417\"}}"},
      {"zones without counters are present with an empty map",
       "<views><view name='_default'><zones><zone name='a'/><zone name='b'><counters type='nsstat'/></zone>"
       "</zones></view></views>",
       "zones", "{\"a\": {}, \"b\": {}}"},
      {"zones of other views never appear",
       "<views><view name='internal'><zones><zone name='a'><counters type='qtype'><counter name='A'>1</counter>"
       "</counters></zone><zone>no name, never read</zone></zones></view>"
       "<view name='_default'><zones><zone name='b'/></zones></view></views>",
       "zones", "{\"b\": {}}"},
      {"a zone named again replaces the map whole, at its first position",
       "<views><view name='_default'><zones><zone name='a'><counters type='qtype'><counter name='A'>1</counter>"
       "<counter name='NS'>2</counter></counters></zone><zone name='b'/>"
       "<zone name='a'><counters type='qtype'><counter name='MX'>3</counter></counters></zone></zones></view></views>",
       "zones", "{\"a\": {\"MX\": \"3\"}, \"b\": {}}"},
      {"two _default views both count",
       "<views><view name='_default'><zones><zone name='a'/></zones></view>"
       "<view name='_default'><zones><zone name='b'/></zones></view></views>",
       "zones", "{\"a\": {}, \"b\": {}}"},
  };
  check(cases, version3);
}

TEST(ExtractV3, Pass5MemorySummary) {
  const Case cases[] = {
      {"every child in order",
       "<memory><contexts><context><name>main</name></context></contexts><summary><TotalUse>11494216710</TotalUse>"
       "<InUse>66</InUse><Lost/><BlockSize> 7 </BlockSize></summary></memory>",
       "memory", "{\"TotalUse\": \"11494216710\", \"InUse\": \"66\", \"Lost\": null, \"BlockSize\": \" 7 \"}"},
      {"a name twice: later text, first position",
       "<memory><summary><a>1</a><b>2</b><a>3</a></summary></memory>", "memory", "{\"a\": \"3\", \"b\": \"2\"}"},
      {"two summaries", "<memory><summary><a>1</a></summary><summary><b>2</b></summary></memory>", "memory",
       "{\"a\": \"1\", \"b\": \"2\"}"},
  };
  check(cases, version3);
}

TEST(ExtractV3, MissingAttributesEndTheRun) {
  struct {
    const char* what;
    const char* xml;
    const char* message;
  } cases[] = {
      {"server counters without type", "<server><counters><counter name='a'>1</counter></counters></server>",
       "XML element <counters> has no attribute \"type\""},
      {"view counters without type", "<views><view name='x'><counters/></view></views>",
       "XML element <counters> has no attribute \"type\""},
      {"nsstat counter without name", "<server><counters type='nsstat'><counter>1</counter></counters></server>",
       "XML element <counter> has no attribute \"name\""},
      {"resstats counter without name", "<views><view><counters type='resstats'><counter>1</counter></counters></view></views>",
       "XML element <counter> has no attribute \"name\""},
      {"cache without name", "<views><view name='_default'><cache/></view></views>",
       "XML element <cache> has no attribute \"name\""},
      {"rrset without name element", "<views><view><cache name='_default'><rrset><counter>1</counter></rrset></cache></view></views>",
       "XML element <rrset> of the _default cache has no <name> element"},
      {"view without name in the zone pass", "<views><view/></views>", "XML element <view> has no attribute \"name\""},
      {"zone of _default without name", "<views><view name='_default'><zones><zone/></zones></view></views>",
       "XML element <zone> has no attribute \"name\""},
      {"zone counters without type", "<views><view name='_default'><zones><zone name='a'><counters/></zone></zones></view></views>",
       "XML element <counters> has no attribute \"type\""},
      {"zone counter without name",
       "<views><view name='_default'><zones><zone name='a'><counters type='qtype'><counter/></counters></zone></zones></view></views>",
       "XML element <counter> has no attribute \"name\""},
  };
  for (const auto& c : cases) {
    try {
      version3(c.xml);
      ADD_FAILURE() << c.what << ": no failure";
    } catch (const Failure& f) {
      EXPECT_STREQ(f.what(), c.message) << c.what;
    }
  }
}

TEST(ExtractV3, RecordedServer) {
  Document doc = extracted(fixture("v3-bind-9.11-server.xml"), extractversion3);
  auto value = [&](std::string_view name, const char* key) {
    const Value* v = section(doc, name).find(Key(key));
    return v && v->text() ? *v->text() : std::string("(absent)");
  };
  EXPECT_EQ(json(doc, "zones"), "{}");
  EXPECT_EQ(value("counter", "Requestv4"), "156");
  EXPECT_EQ(value("incounter", "A"), "128417");
  EXPECT_EQ(json(doc, "incounter"), "{\"A\": \"128417\", \"NS\": \"1\"}");
  EXPECT_EQ(json(doc, "outcounter"), "{\"A\": \"1514\", \"NS\": \"53\", \"AAAA\": \"376\", \"CNAME\": \"28\"}");
  // The _default view's resolver, not the idle _bind view that follows it.
  EXPECT_EQ(value("resolvercounter", "Queryv4"), "1574");
  EXPECT_EQ(value("resolvercounter", "REFUSED"), "5798");
  EXPECT_EQ(section(doc, "resolvercounter").size(), 44u);
  EXPECT_EQ(json(doc, "cache"),
            "{\"CacheHits\": \"2315\", \"CacheMisses\": \"37\", \"QueryHits\": \"22\", \"QueryMisses\": \"157\", "
            "\"DeleteLRU\": \"0\", \"DeleteTTL\": \"0\", \"CacheNodes\": \"60\", \"CacheBuckets\": \"64\", "
            "\"TreeMemTotal\": \"287392\", \"TreeMemInUse\": \"49144\", \"TreeMemMax\": \"49552\", "
            "\"HeapMemTotal\": \"393216\", \"HeapMemInUse\": \"132096\", \"HeapMemMax\": \"132096\", "
            "\"A\": \"34324\", \"NS\": \"11\", \"CNAME\": \"1\", \"AAAA\": \"4\", \"DS\": \"3\", \"RRSIG\": \"4\", "
            "\"!AAAA\": \"13\", \"_AAAA\": \"13\", \"NXDOMAIN\": \"1\", \"#A\": \"18446744073709551603\"}");
  EXPECT_EQ(json(doc, "memory"),
            "{\"TotalUse\": \"11494216710\", \"InUse\": \"6631824786\", \"BlockSize\": \"7398227968\", "
            "\"ContextSize\": \"6933680\", \"Lost\": \"0\"}");
}

// Recorded from Debian's bind9 of each release by the end-to-end test: ten zones of the _default
// view (quiet.test with terse statistics, so no counters), after the same queries. The schema
// variants: 9.16 writes the version "3.11.1" and a large task manager section, 9.20 a memory
// summary of two entries, fewer cache and socket statistics, and RecursHighwater in every zone;
// 9.21 (experimental) fewer cache and resolver statistics, more server ones, and no gauges such
// as RecursHighwater in the zones.
TEST(ExtractV3, RecordedDebianReleases) {
  struct Recording {
    const char* file;
    std::array<size_t, 9> sizes;  // of the sections, in the order of SECTIONS
    const char* memory;
    bool unixsockets;             // UnixOpen, RawOpen, FDwatchConn and the like
    bool recurshighwater;         // in the server's counters
    bool zonerecurshighwater;     // and in every zone's
  } recordings[] = {
      {"v3-bind-9.16.50-debian11.xml", {10, 68, 13, 45, 62, 5, 2, 17, 6},
       "{\"TotalUse\": \"79120226\", \"InUse\": \"76370020\", \"Malloced\": \"82953089\", "
       "\"BlockSize\": \"0\", \"ContextSize\": \"8206632\", \"Lost\": \"0\"}",
       true, false, false},
      {"v3-bind-9.18.49-debian12.xml", {10, 68, 13, 46, 64, 5, 2, 19, 5},
       "{\"TotalUse\": \"28069729\", \"InUse\": \"25210475\", \"Malloced\": \"25319883\", "
       "\"ContextSize\": \"109824\", \"Lost\": \"0\"}",
       true, false, false},
      {"v3-bind-9.20.30-debian13.xml", {10, 69, 13, 47, 42, 5, 2, 15, 2},
       "{\"Malloced\": \"8401470\", \"InUse\": \"8401470\"}", false, true, true},
      {"v3-bind-9.21.26-debian-experimental.xml", {10, 80, 13, 42, 42, 5, 2, 11, 2},
       "{\"Malloced\": \"7195578\", \"InUse\": \"7195578\"}", false, true, false},
  };
  // (section or zone, name, value), the same in every recording: the figures of the queries.
  struct Figure {
    const char* where;
    const char* name;
    const char* value;
  } figures[] = {
      {"counter", "Requestv4", "33"},
      {"resolvercounter", "Queryv4", "4"},  // _default's: the forwarded queries
      {"incounter", "PTR", "2"},
      {"cache", "!AAAA", "1"},
      {"cache", "_AAAA", "1"},
      {"cache", "NXDOMAIN", "3"},
      {"example.org", "A", "9"},
      {"example.org", "QryAuthAns", "15"},
      {"a\\.b.test", "A", "2"},
      {"caf\\195\\169.test", "TXT", "1"},
      {"Mixed-Case.test", "AAAA", "1"},
      {"2.0.192.in-addr.arpa", "QryNXDOMAIN", "2"},
  };
  const std::string zones =
      "2.0.192.in-addr.arpa example.net example.org a\\.b.test caf\\195\\169.test corvane.test "
      "Mixed-Case.test quiet.test under_score.test xn--caf-dma.test ";
  for (const Recording& r : recordings) {
    Document doc = extracted(fixture(r.file), extractversion3);
    for (size_t i = 0; i < SECTIONS.size(); ++i)
      EXPECT_EQ(section(doc, SECTIONS[i]).size(), r.sizes[i]) << r.file << " " << SECTIONS[i];
    std::string names;
    for (const Member& zone : section(doc, "zones").members()) names += std::string(zone.key.text.view()) + " ";
    EXPECT_EQ(names, zones) << r.file;
    EXPECT_TRUE(section(doc, "zones").find(Key("quiet.test"))->map()->empty()) << r.file;
    for (const Figure& f : figures) {
      const Map* where = section(doc, "zones").contains(Key(f.where))
                             ? section(doc, "zones").find(Key(f.where))->map()
                             : &section(doc, f.where);
      const Value* v = where->find(Key(f.name));
      EXPECT_EQ(v && v->text() ? *v->text() : "(absent)", f.value) << r.file << " " << f.where << " " << f.name;
    }
    EXPECT_EQ(json(doc, "memory"), r.memory) << r.file;
    for (const char* name : {"UnixOpen", "RawOpen", "FDwatchConn"})
      EXPECT_EQ(section(doc, "socketcounter").contains(Key(name)), r.unixsockets) << r.file << " " << name;
    EXPECT_EQ(section(doc, "counter").contains(Key("RecursHighwater")), r.recurshighwater) << r.file;
    for (const Member& zone : section(doc, "zones").members()) {
      if (!zone.value.map()->empty()) {
        EXPECT_EQ(zone.value.map()->contains(Key("RecursHighwater")), r.zonerecurshighwater)
            << r.file << " " << zone.key.text.view();
      }
    }
  }
}

}  // namespace

namespace {

// A fetch parses the body as it arrives, keeps only what the extractors read and takes the
// zones out of the tree as they come: every outcome must be that of the whole body.
TEST(StreamedExtraction, GivesTheOutcomeOfTheWholeBody) {
  const std::string zone = "<zone name='z'><counters type='rcode'><counter name='A'>1</counter>"
                           "</counters></zone>";
  const std::string bodies[] = {
      fixture("v3-bind-9.18.49-debian12.xml"),
      fixture("v3-bind-9.16.50-debian11.xml"),
      fixture("v3-bind-9.20.30-debian13.xml"),
      fixture("v3-bind-9.11-server.xml"),
      fixture("v2-bind-9.9-telegraf.xml"),
      fixture("v2-exporter.xml"),
      // Zones again, of two _default views, and of another view; the later map wins.
      "<statistics version='3.11'><views><view name='_default'><zones>" + zone +
          "<zone name='y'/><zone name='z'><counters type='qtype'><counter name='B'>2</counter>"
          "</counters></zone></zones></view><view name='other'><zones><zone name='o'/></zones>"
          "</view><view name='_default'><zones><zone name='y'><counters type='rcode'/></zone>"
          "</zones></view></views></statistics>",
      // Failures in the order the passes meet them, wherever the zones stand.
      "<statistics version='3.11'><views><view name='_default'><zones><zone/></zones></view>"
          "<view/></views></statistics>",
      "<statistics version='3.11'><views><view/><view name='_default'><zones><zone/></zones>"
          "</view></views></statistics>",
      "<statistics version='3.11'><views><view name='_default'><zones>" + zone +
          "<zone name='x'><counters/></zone></zones></view></views><server><counters/></server>"
          "</statistics>",
      "<statistics version='3.11'><views><view name='_default'><zones><zone name='x'>"
          "<counters type='rcode'><counter>1</counter></counters></zone></zones></view></views>"
          "</statistics>",
      // A zone without a name whose counter has none either: the counter fails first.
      "<statistics version='3.11'><views><view name='_default'><zones><zone>"
          "<counters type='rcode'><counter>1</counter></counters></zone></zones></view></views>"
          "</statistics>",
      // Not version 3, or not the statistics root: the zones stay in the tree.
      "<statistics version='2.2'><views><view name='_default'><zones>" + zone +
          "</zones></view></views></statistics>",
      "<isc><bind><statistics version='3.0'/></bind><views><view name='_default'><zones>" +
          zone + "</zones></view></views></isc>",
      "<statistics version='4.0' z='1'><views><view name='_default'><zones>" + zone +
          "</zones></view></views></statistics>",
      "<statistics version='3.11'><views><view name='_default'><zones>" + zone + "</zones>",
      // Own texts end at the first child, kept or not.
      "<statistics version='3.11'><server><counters type='nsstat'><counter name='A'>1<x/>2"
          "</counter></counters></server><memory><summary><InUse>5<x/></InUse></summary>"
          "</memory></statistics>",
  };
  for (const std::string& body : bodies) {
    std::string whole = outcome(body, 0);
    for (size_t piece : {1, 5, 65536}) {
      SCOPED_TRACE(body.substr(0, 120) + ", pieces of " + std::to_string(piece));
      EXPECT_EQ(outcome(body, piece), whole);
    }
  }
}

}  // namespace
