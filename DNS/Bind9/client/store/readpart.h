// The partial reader of cache texts: all of the text checked, only what an answer reads built.
#pragma once

#include <functional>
#include <optional>

#include "store/document.h"

namespace corvane {

/// Delivers the next bytes of a text into `into`, at most `room` of them; 0 at its end.
using Pull = std::function<size_t(char* into, size_t room)>;

/// Reads the JSON text that `pull` delivers, checking all of it, and builds only the part of
/// the document that `need` names. Gives nothing back for a text that is not an object of
/// objects, strings and null nested as a document is (three objects deep), or that is not
/// valid JSON: readjson of the whole text then decides, and explains what is wrong. What it
/// does give back equals that part of readjson's value.
std::optional<Value> readjsonpart(const Pull& pull, const Need& need);

}  // namespace corvane
