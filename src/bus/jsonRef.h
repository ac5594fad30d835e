// JsonPtr: one owned reference to a jansson value, released by json_decref
// when the holder goes. JsonText: a text from json_dumps, released by free.
// Threads: a value is used by one thread at a time.
#ifndef BUS_JSONREF_H
#define BUS_JSONREF_H

#include <jansson.h>

#include <cstdlib>
#include <memory>

struct JsonDecref {
  void operator()(json_t* value) const { json_decref(value); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDecref>;

struct JsonFree {
  void operator()(char* text) const { std::free(text); }
};
using JsonText = std::unique_ptr<char, JsonFree>;

// A JSON string of text (never null for a non-null text). The key daemon's
// texts are bytes, not always UTF-8, and jansson refuses invalid UTF-8: such
// bytes are replaced by U+FFFD, so the document keeps its members and stays
// valid JSON. Returns a new reference, or null when text is null.
json_t* jsonString(const char* text);

#endif  // BUS_JSONREF_H
