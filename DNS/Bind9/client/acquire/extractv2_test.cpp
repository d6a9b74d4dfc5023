#include <gtest/gtest.h>

#include <string>

#include "base/ending.h"
#include "testsupport/extracting.h"

using namespace corvane;
using namespace corvane::testsupport;

namespace {

std::string view(const std::string& name, const std::string& inner) {
  return "<view><name>" + name + "</name>" + inner + "</view>";
}

std::string zone(const std::string& name, const std::string& inner) {
  return "<zone><name>" + name + "</name><rdataclass>IN</rdataclass>" + inner + "</zone>";
}

std::string record(const char* tag, const std::string& name, const std::string& counter) {
  return std::string("<") + tag + "><name>" + name + "</name><counter>" + counter + "</counter></" + tag + ">";
}

TEST(ExtractV2, BareStatisticsLeaveNineEmptySections) {
  Document doc = version2("");
  EXPECT_EQ(writejson(Value(doc)), NINEEMPTY);
}

TEST(ExtractV2, Pass1ZonesOfTheDefaultViewThatCarryCounters) {
  const Case cases[] = {
      {"counters by element name",
       "<views>" + view("_default", "<zones>" + zone("example.org/IN", "<counters><NOERROR>4</NOERROR><A>417</A>"
                                                                      "<SERVFAIL/><NXDOMAIN> 0 </NXDOMAIN></counters>") +
                                        "</zones>") + "</views>",
       "zones", "{\"example.org/IN\": {\"NOERROR\": \"4\", \"A\": \"417\", \"SERVFAIL\": null, \"NXDOMAIN\": \" 0 \"}}"},
      {"without counters: absent; with empty counters: an empty map",
       "<views>" + view("_default", "<zones>" + zone("a", "") + zone("b", "<counters/>") + "</zones>") + "</views>",
       "zones", "{\"b\": {}}"},
      {"two counters children in one map, a name twice keeps the later text at the first position",
       "<views>" + view("_default", "<zones>" + zone("a", "<counters><A>1</A><NS>2</NS></counters><serial>3</serial>"
                                                          "<counters><MX>3</MX><A>4</A></counters>") + "</zones>") + "</views>",
       "zones", "{\"a\": {\"A\": \"4\", \"NS\": \"2\", \"MX\": \"3\"}}"},
      {"a zone named again replaces its map whole",
       "<views>" + view("_default", "<zones>" + zone("a", "<counters><A>1</A></counters>") + zone("b", "<counters/>") +
                                        zone("a", "<counters><NS>2</NS></counters>") + "</zones>") + "</views>",
       "zones", "{\"a\": {\"NS\": \"2\"}, \"b\": {}}"},
      {"a zone without a name element: the null key",
       "<views>" + view("_default", "<zones><zone><counters><A>1</A></counters></zone></zones>") + "</views>",
       "zones", "{\"null\": {\"A\": \"1\"}}"},
      {"views that are not exactly _default",
       "<views>" + view(" _default", "<zones>" + zone("a", "<counters/>") + "</zones>") +
           view("_Default", "<zones>" + zone("b", "<counters/>") + "</zones>") + view("", "<zones>" + zone("c", "<counters/>") + "</zones>") +
           "<view><zones>" + zone("d", "<counters/>") + "</zones></view>" +
           view("_bind", "<zones>" + zone("e", "<counters/>") + "</zones>") + "</views>",
       "zones", "{}"},
      {"only the view's first name counts",
       "<views><view><name>x</name><name>_default</name><zones>" + zone("a", "<counters/>") + "</zones></view></views>",
       "zones", "{}"},
  };
  check(cases, version2);
}

TEST(ExtractV2, ServerRecords) {
  const Case cases[] = {
      {"nsstat", "<server>" + record("nsstat", "Requestv4", "102312611") + record("nsstat", "Requestv6", "0012") + "</server>",
       "counter", "{\"Requestv4\": \"102312611\", \"Requestv6\": \"0012\"}"},
      {"empty counter, missing counter, missing name",
       "<server><nsstat><name>a</name><counter/></nsstat><nsstat><name>b</name></nsstat>"
       "<nsstat><counter>5</counter></nsstat><nsstat><name/><counter>6</counter></nsstat></server>",
       "counter", "{\"a\": \"\", \"b\": null, \"null\": \"5\", \"\": \"6\"}"},
      {"the later record of a name wins at the first position",
       "<server>" + record("nsstat", "a", "1") + record("nsstat", "b", "2") + record("nsstat", "a", "3") + "</server>",
       "counter", "{\"a\": \"3\", \"b\": \"2\"}"},
      {"zonestat", "<server>" + record("zonestat", "NotifyOutv4", "7") + "</server>", "zonemaintenancecounter",
       "{\"NotifyOutv4\": \"7\"}"},
      {"sockstat", "<server>" + record("sockstat", "UDP4Open", "8") + "</server>", "socketcounter", "{\"UDP4Open\": \"8\"}"},
      {"queries-in", "<server><queries-in>" + record("rdtype", "A", "9") + "</queries-in>" + record("rdtype", "NS", "1") +
                         "</server>",
       "incounter", "{\"A\": \"9\"}"},
      {"records in other places", record("nsstat", "a", "1") + "<server><requests>" + record("nsstat", "b", "1") +
                                      "</requests></server>",
       "counter", "{}"},
  };
  check(cases, version2);

  // A record without a name element has the null key, not the text "null".
  Document doc = version2("<server><nsstat><counter>5</counter></nsstat>" + record("nsstat", "null", "6") + "</server>");
  const Map& counter = section(doc, "counter");
  ASSERT_EQ(counter.size(), 2u);
  EXPECT_TRUE(counter.members()[0].key.null);
  EXPECT_EQ(*counter.find(Key::none())->text(), "5");
  EXPECT_EQ(*counter.find(Key("null"))->text(), "6");
}

TEST(ExtractV2, ViewRecords) {
  const Case cases[] = {
      {"resstat of the default view only",
       "<views>" + view("_default", record("resstat", "Queryv4", "946")) + view("_bind", record("resstat", "Queryv4", "0")) +
           view("other", record("resstat", "Other", "1")) + "</views>",
       "resolvercounter", "{\"Queryv4\": \"946\"}"},
      {"rdtype of every view, the later one winning",
       "<views>" + view("_default", record("rdtype", "A", "1") + record("rdtype", "NS", "2")) +
           view("x", record("rdtype", "MX", "3") + record("rdtype", "A", "4")) + "</views>",
       "outcounter", "{\"A\": \"4\", \"NS\": \"2\", \"MX\": \"3\"}"},
      {"rrsets of localhost_resolver caches in any view",
       "<views>" + view("_default", "<cache name='_default'>" + record("rrset", "A", "1") + "</cache>") +
           view("x", "<cache name='localhost_resolver'>" + record("rrset", "!AAAA", "2") + record("rrset", "NS", "") +
                         "<rrset><name>MX</name></rrset></cache>") + "</views>",
       "cache", "{\"!AAAA\": \"2\", \"NS\": \"\", \"MX\": null}"},
      {"rrsets elsewhere", "<views>" + view("_default", record("rrset", "A", "1")) + "</views>", "cache", "{}"},
  };
  check(cases, version2);
}

TEST(ExtractV2, MemorySummary) {
  const Case cases[] = {
      {"every child in order, a name twice keeps the later text at the first position",
       "<memory><contexts><context><name>main</name></context></contexts><summary><TotalUse>8</TotalUse>"
       "<InUse/><TotalUse>9</TotalUse></summary></memory>",
       "memory", "{\"TotalUse\": \"9\", \"InUse\": null}"},
  };
  check(cases, version2);
}

TEST(ExtractV2, ACacheWithoutANameEndsTheRun) {
  for (const std::string& inner : {std::string("<cache/>"), "<cache>" + record("rrset", "A", "1") + "</cache>"}) {
    try {
      version2("<views>" + view("_default", inner) + "</views>");
      ADD_FAILURE() << inner << ": no failure";
    } catch (const Failure& f) {
      EXPECT_STREQ(f.what(), "XML element <cache> has no attribute \"name\"") << inner;
    }
  }
}

TEST(ExtractV2, RecordedServers) {
  struct {
    const char* file;
    const char* zones;
    size_t sizes[9];  // of the sections in document order
    const char* requestv4;
    const char* memory;
  } cases[] = {
      {"v2-bind-9.9-telegraf.xml", "{}", {0, 39, 13, 30, 52, 15, 14, 0, 5}, "102312611",
       "{\"TotalUse\": \"81804609\", \"InUse\": \"20772579\", \"BlockSize\": \"77070336\", "
       "\"ContextSize\": \"6663840\", \"Lost\": \"0\"}"},
      {"v2-exporter.xml", "{}", {0, 40, 13, 30, 52, 12, 12, 0, 5}, "37634916000",
       "{\"TotalUse\": \"260021923\", \"InUse\": \"96486675\", \"BlockSize\": \"228589568\", "
       "\"ContextSize\": \"7756112\", \"Lost\": \"0\"}"},
  };
  for (const auto& c : cases) {
    Document doc = extracted(fixture(c.file), extractversion2);
    EXPECT_EQ(json(doc, "zones"), c.zones) << c.file;
    for (size_t i = 0; i < SECTIONS.size(); ++i)
      EXPECT_EQ(section(doc, SECTIONS[i]).size(), c.sizes[i]) << c.file << " " << SECTIONS[i];
    EXPECT_EQ(*section(doc, "counter").find(Key("Requestv4"))->text(), c.requestv4) << c.file;
    EXPECT_EQ(json(doc, "memory"), c.memory) << c.file;
  }
  Document telegraf = extracted(fixture("v2-bind-9.9-telegraf.xml"), extractversion2);
  EXPECT_EQ(json(telegraf, "incounter"),
            "{\"A\": \"58951432\", \"NS\": \"1999\", \"CNAME\": \"531\", \"SOA\": \"100415\", \"PTR\": \"4211487\", "
            "\"MX\": \"441155\", \"TXT\": \"34628\", \"AAAA\": \"37786321\", \"SRV\": \"741082\", \"NAPTR\": \"39137\", "
            "\"DS\": \"584\", \"SSHFP\": \"2987\", \"DNSKEY\": \"452\", \"IXFR\": \"157\", \"ANY\": \"7\"}");
}

}  // namespace
