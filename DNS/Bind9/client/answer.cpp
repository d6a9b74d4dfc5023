#include "answer.h"

#include <array>

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

Need nothing() { return Need{Need::NOTHING, "", ""}; }

Need zonesoutline(const Args&) { return Need{Need::OUTLINE, "zones", ""}; }

// Written as it goes, not built as a value first: a large server lists ten thousand zones,
// each of which would become a map of its own only to be written, at a cost of milliseconds
// a poll.
Ending discoverzones(const Args&, Reading& reading) {
  std::string out = "{\"data\": [";
  // 17 bytes stand around each name, and a byte more leaves room for a few escapes: growing
  // the text past its first room would copy it all.
  if (reading.counted) out.reserve(reading.counted->bytes.size() + 18 * reading.counted->size() + 16);
  auto list = [&](const std::string_view* name) {  // null: the null key
    out += out.back() == '[' ? "{\"{#ZONE}\": " : ", {\"{#ZONE}\": ";
    if (name)
      writetext(*name, out);
    else
      out += "null";
    out += '}';
  };
  const Map& zones = section(reading.doc, "zones");
  if (reading.counted) {
    for (size_t i = 0; i < reading.counted->size(); ++i) {
      std::string_view name = (*reading.counted)[i];
      list(&name);
    }
  } else {
    for (const Member& zone : zones.members()) {
      const Map* counters = zone.value.map();
      if (!counters || counters->empty()) continue;
      std::string_view name = zone.key.text;
      list(zone.key.null ? nullptr : &name);
    }
  }
  out += "]}";
  return answer(std::move(out));
}

Need onezone(const Args& args) {
  return given(args.z) ? Need{Need::MEMBER, "zones", *args.z} : nothing();
}

Need onezonecounter(const Args& args) { return given(args.c) ? onezone(args) : nothing(); }

Ending zonecounter(const Args& args, Reading& reading) {
  if (!given(args.z) || !given(args.c)) return missingargument();
  const Value* zone = section(reading.doc, "zones").find(Key(*args.z));
  const Map* counters = zone ? zone->map() : nullptr;
  const Value* value = counters ? counters->find(Key(*args.c)) : nullptr;
  return value ? printvalue(*value) : notsupported();
}

Ending jsonzone(const Args& args, Reading& reading) {
  if (!given(args.z)) return missingargument();
  const Value* zone = section(reading.doc, "zones").find(Key(*args.z));
  return zone ? answer(writejson(*zone)) : notsupported();
}

Need allbutzones(const Args&) { return Need{Need::ALLBUT, "zones", ""}; }

Ending json(const Args&, Reading& reading) {
  section(reading.doc, "zones");
  reading.doc.erase(Key("zones"));
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

// A word that names a section: its counters are looked up by -c.
constexpr Action lookup(std::string_view section, bool listed = true) {
  return Action{section, listed, onecounter, sectionlookup};
}

// Every action, in the order of the help text; the sections that it lists are named for the
// reader, any other word is looked up in the section of that name all the same.
constexpr std::array<Action, 12> ACTIONS = {{
    {"discoverzones", true, zonesoutline, discoverzones},
    lookup("counter"),
    {"zonecounter", true, onezonecounter, zonecounter},
    lookup("zonemaintenancecounter"),
    lookup("resolvercounter"),
    lookup("socketcounter"),
    lookup("incounter"),
    lookup("outcounter"),
    {"json", true, allbutzones, json},
    {"jsonzone", false, onezone, jsonzone},
    lookup("cache", false),
    lookup("memory", false),
}};

constexpr Action SECTIONLOOKUP = lookup("", false);

}  // namespace

const Action& actionof(std::string_view word) {
  for (const Action& action : ACTIONS)
    if (action.word == word) return action;
  return SECTIONLOOKUP;
}

std::string listedactions() {
  std::string list;
  for (const Action& action : ACTIONS) {
    if (!action.listed) continue;
    if (!list.empty()) list += " | ";
    list += action.word;
  }
  return list;
}

Ending answerquery(const Args& args, Reading& reading) {
  return actionof(args.action.value_or("")).answers(args, reading);
}

}  // namespace corvane
