// What both extractors read alike.
#include "acquire/extract.h"

namespace corvane {

void memorysummary(const Tree& tree, ElementId root, std::string_view path, Document& doc) {
  Map& memory = section(doc, Section::MEMORY);
  for (ElementId entry : findall(tree, root, path))
    memory.set(Key(tree.name(entry)), owntext(tree, entry));
}

}  // namespace corvane
