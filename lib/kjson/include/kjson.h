// kjson: the small helpers every program of ours shares around jansson and
// remote bytes: owning handles for jansson values and texts, the repair of
// bytes that are not UTF-8 (jansson refuses them), and hex texts.
//
// Ownership: JsonPtr and JsonText own what they hold; every function returns
// a new value that the caller owns. Threads: no shared state; any thread.
#ifndef KJSON_KJSON_H
#define KJSON_KJSON_H

#include <jansson.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct JsonDecref {
  void operator()(json_t* value) const { json_decref(value); }
};
// One owned reference to a jansson value.
using JsonPtr = std::unique_ptr<json_t, JsonDecref>;

struct JsonFree {
  void operator()(char* text) const { std::free(text); }
};
// A text made by json_dumps.
using JsonText = std::unique_ptr<char, JsonFree>;

// The bytes with every byte that does not belong to a well-formed UTF-8
// sequence (overlong forms, surrogates and code points over U+10FFFF
// included) replaced by U+FFFD; everything else is kept as it is.
std::string repairUtf8(std::string_view bytes);

// A JSON string of the bytes, repaired when they are not UTF-8, so the
// member stays and the document stays valid JSON. A new reference; null only
// when text is null.
json_t* jsonString(const char* text);
json_t* jsonString(std::string_view bytes);

// Appends to out the JSON text that json_dumps (flags 0) writes for the
// string jsonString(bytes) inside a document: the text between quotes as it
// is when it is printable ASCII without '"' and '\\', and otherwise what
// jansson itself makes of it (escapes, repaired UTF-8).
void appendJsonString(std::string& out, std::string_view bytes);
// True when appendJsonString writes the bytes as they are between quotes.
bool plainJsonText(std::string_view bytes);
// Appends the integer as json_dumps writes it.
void appendJsonInteger(std::string& out, long long value);

// The serialised document (json_dumps with these flags), or nullopt when
// jansson cannot serialise it.
std::optional<std::string> jsonDump(const json_t* value, size_t flags);

// The bytes as hex digits, two per byte, lower case unless `upper`.
std::string toHex(const void* data, size_t size, bool upper = false);
// The bytes of an even number of hex digits (either case), or nullopt; on a
// bad digit, badAt (when given) is its offset.
std::optional<std::vector<unsigned char>> fromHex(std::string_view text, size_t* badAt = nullptr);

#endif  // KJSON_KJSON_H
