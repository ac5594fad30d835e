// optionalText: the texts the translator's records keep (a key's box and
// software, a lock's name, a reply's status, the configured host...): absent,
// or a copy of the text they were given, handed out again as C strings.
//
// Ownership: the record owns its text; textOf lends it until the field
// changes. Threads: as the record that holds the field.
#ifndef CORE_OPTIONALTEXT_H
#define CORE_OPTIONALTEXT_H

#include <optional>
#include <string>

// Copies text into field, or empties field when text is null.
inline void assignText(std::optional<std::string>& field, const char* text) {
  if (text)
    field.emplace(text);
  else
    field.reset();
}

// The held text, or null when there is none.
inline const char* textOf(const std::optional<std::string>& field) {
  return field ? field->c_str() : nullptr;
}

#endif  // CORE_OPTIONALTEXT_H
