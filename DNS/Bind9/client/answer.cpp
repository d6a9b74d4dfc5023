#include "answer.h"

#include "store/jsonform.h"

namespace corvane {

namespace {

// An empty option is no better than an absent one: the agent fills item keys by templates,
// and an unfilled one arrives as the empty text.
bool given(const std::optional<std::string>& option) { return option && !option->empty(); }

Ending answer(std::string line) { return Ending{EXIT_ANSWER, std::move(line) + "\n", ""}; }

Ending missingargument() { return notsupported("Missing argument\n"); }

// Counter values go out exactly as the server wrote them; anything else a hand-made cache file
// may hold (a zone's map under the action `zones`, an array, a number) in its JSON form.
Ending printvalue(const Value& value) {
  if (value.isnull()) return answer("None");
  if (const std::string* text = value.text()) return answer(*text);
  return answer(writejson(value));
}

// Written out directly: a large server lists ten thousand zones, each of which would otherwise
// become a map of its own only to be written.
Ending discoverzones(Document& doc) {
  std::string out = "{\"data\": [";
  bool first = true;
  for (const Member& zone : section(doc, "zones").members()) {
    const Map* counters = zone.value.map();
    if (!counters || counters->empty()) continue;
    out += first ? "{\"{#ZONE}\": " : ", {\"{#ZONE}\": ";
    first = false;
    if (zone.key.null)
      out += "null";
    else
      writetext(zone.key.text, out);
    out += '}';
  }
  out += "]}";
  return answer(std::move(out));
}

Ending zonecounter(const Args& args, Document& doc) {
  if (!given(args.z) || !given(args.c)) return missingargument();
  const Value* zone = section(doc, "zones").find(Key(*args.z));
  const Map* counters = zone ? zone->map() : nullptr;
  const Value* value = counters ? counters->find(Key(*args.c)) : nullptr;
  return value ? printvalue(*value) : notsupported();
}

Ending jsonzone(const Args& args, Document& doc) {
  if (!given(args.z)) return missingargument();
  const Value* zone = section(doc, "zones").find(Key(*args.z));
  return zone ? answer(writejson(*zone)) : notsupported();
}

Ending json(Document& doc) {
  section(doc, "zones");
  doc.erase(Key("zones"));
  return answer(writejson(doc));
}

Ending sectionlookup(const Args& args, Document& doc) {
  if (!given(args.c)) return missingargument();
  const Value* value = section(doc, args.action.value_or("")).find(Key(*args.c));
  return value ? printvalue(*value) : notsupported();
}

}  // namespace

Need needof(const Args& args) {
  std::string_view action = args.action ? std::string_view(*args.action) : std::string_view();
  if (action == "discoverzones") return Need{Need::OUTLINE, "zones", "", std::nullopt};
  if (action == "zonecounter")
    return given(args.z) && given(args.c) ? Need{Need::MEMBER, "zones", *args.z, *args.c}
                                          : Need{Need::NOTHING, "", "", std::nullopt};
  if (action == "jsonzone")
    return given(args.z) ? Need{Need::MEMBER, "zones", *args.z, std::nullopt}
                         : Need{Need::NOTHING, "", "", std::nullopt};
  if (action == "json") return Need{Need::ALLBUT, "zones", "", std::nullopt};
  return given(args.c) ? Need{Need::MEMBER, std::string(action), *args.c, std::nullopt}
                       : Need{Need::NOTHING, "", "", std::nullopt};
}

Ending answerquery(const Args& args, Document& doc) {
  std::string_view action = args.action ? std::string_view(*args.action) : std::string_view();
  if (action == "discoverzones") return discoverzones(doc);
  if (action == "zonecounter") return zonecounter(args, doc);
  if (action == "jsonzone") return jsonzone(args, doc);
  if (action == "json") return json(doc);
  return sectionlookup(args, doc);
}

}  // namespace corvane
