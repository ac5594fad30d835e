#include "jsonRef.h"

#include <cstring>
#include <string>

namespace {

// Length of the valid UTF-8 sequence at s (at most `left` bytes), or 0.
size_t validSequence(const unsigned char* s, size_t left) {
  const unsigned char c = s[0];
  size_t n;
  unsigned min;
  unsigned cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) { n = 2; cp = c & 0x1F; min = 0x80; }
  else if (c >= 0xE0 && c <= 0xEF) { n = 3; cp = c & 0x0F; min = 0x800; }
  else if (c >= 0xF0 && c <= 0xF4) { n = 4; cp = c & 0x07; min = 0x10000; }
  else return 0;
  if (left < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

json_t* jsonString(const char* text) {
  if (!text) return nullptr;
  if (json_t* plain = json_string(text)) return plain;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  const size_t len = std::strlen(text);
  std::string clean;
  clean.reserve(len + 8);
  for (size_t i = 0; i < len;) {
    size_t n = validSequence(s + i, len - i);
    if (n == 0) {
      clean += "\xEF\xBF\xBD";
      ++i;
    } else {
      clean.append(text + i, n);
      i += n;
    }
  }
  return json_string(clean.c_str());
}
