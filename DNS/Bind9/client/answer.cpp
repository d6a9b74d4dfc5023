#include "answer.h"

#include <array>

#include "actions.h"

namespace corvane {

namespace {

// An empty option is no better than an absent one: the agent fills item keys by templates,
// and an unfilled one arrives as the empty text.
bool given(const std::optional<std::string>& option) { return option && !option->empty(); }

Ending answer(std::string line) {
  line += '\n';
  return Ending{EXIT_ANSWER, std::move(line), ""};
}

Ending missingargument() { return notsupported("Missing argument\n"); }

// Counter values go out exactly as the server wrote them; anything else a hand-made cache file
// may hold (a zone's map under the action `zones`, an array, a number) in its JSON form.
Ending printvalue(const Value& value) {
  if (value.isnull()) return answer("None");
  if (const std::string* text = value.text()) return answer(*text);
  return answer(writejson(value));
}

std::string zonesname() { return std::string(nameof(Section::ZONES)); }

Need nothing() { return Need{Need::NOTHING, "", ""}; }

Need zonesoutline(const Args&) { return Need{Need::OUTLINE, zonesname(), ""}; }

// Written as it goes, not built as a value first: a large server lists ten thousand zones,
// each of which would become a map of its own only to be written, at a cost of milliseconds
// a poll.
Ending discoverzones(const Args&, Reading& reading) {
  // A document without zones is at fault, not one of no zones.
  section(reading.doc, Section::ZONES);
  const ZoneNames& zones = reading.zones;
  std::string out = "{\"data\": [";
  // 17 bytes stand around each name, and a byte more leaves room for a few escapes: growing
  // the text past its first room would copy it all.
  out.reserve(zones.bytes.size() + 18 * zones.size() + 16);
  for (size_t i = 0; i < zones.size(); ++i) {
    out += i == 0 ? "{\"{#ZONE}\": " : ", {\"{#ZONE}\": ";
    if (zones.isnull(i))
      out += "null";
    else
      writetext(zones[i], out);
    out += '}';
  }
  out += "]}";
  return answer(std::move(out));
}

Need onezone(const Args& args) {
  return given(args.z) ? Need{Need::MEMBER, zonesname(), *args.z} : nothing();
}

Need onezonecounter(const Args& args) { return given(args.c) ? onezone(args) : nothing(); }

Ending zonecounter(const Args& args, Reading& reading) {
  if (!given(args.z) || !given(args.c)) return missingargument();
  const Value* zone = section(reading.doc, Section::ZONES).find(Key(*args.z));
  const Map* counters = zone ? zone->map() : nullptr;
  const Value* value = counters ? counters->find(Key(*args.c)) : nullptr;
  return value ? printvalue(*value) : notsupported();
}

Ending jsonzone(const Args& args, Reading& reading) {
  if (!given(args.z)) return missingargument();
  const Value* zone = section(reading.doc, Section::ZONES).find(Key(*args.z));
  return zone ? answer(writejson(*zone)) : notsupported();
}

Need allbutzones(const Args&) { return Need{Need::ALLBUT, zonesname(), ""}; }

Ending json(const Args&, Reading& reading) {
  // The answer leaves the zones out, but a document without them is at fault all the same.
  section(reading.doc, Section::ZONES);
  reading.doc.erase(Key(nameof(Section::ZONES)));
  return answer(writejson(reading.doc));
}

Need onecounter(const Args& args) {
  return given(args.c) ? Need{Need::MEMBER, args.action.value_or(""), *args.c} : nothing();
}

Ending sectionlookup(const Args& args, Reading& reading) {
  if (!given(args.c)) return missingargument();
  const Value* value = section(reading.doc, args.action.value_or("")).find(Key(*args.c));
  return value ? printvalue(*value) : notsupported();
}

// How each kind of action reads the document and answers from what it read, by Answer.
struct Way {
  Need (*reads)(const Args& args);
  Ending (*answers)(const Args& args, Reading& reading);
};

constexpr std::array<Way, 5> WAYS = {{
    {zonesoutline, discoverzones},  // Answer::DISCOVERZONES
    {onezonecounter, zonecounter},  // Answer::ZONECOUNTER
    {onezone, jsonzone},            // Answer::JSONZONE
    {allbutzones, json},            // Answer::JSON
    {onecounter, sectionlookup},    // Answer::LOOKUP
}};

const Way& wayof(const Args& args) {
  return WAYS[static_cast<size_t>(actionof(args.action.value_or("")).answer)];
}

}  // namespace

Need readsof(const Args& args) { return wayof(args).reads(args); }

Ending answerquery(const Args& args, Reading& reading) { return wayof(args).answers(args, reading); }

}  // namespace corvane
