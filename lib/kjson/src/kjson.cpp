// The jansson helpers: UTF-8 repair, JSON strings of remote bytes, hex.
#include "kjson.h"

#include <charconv>
#include <cstdint>
#include <cstring>

namespace {

// Length of the well-formed UTF-8 sequence at s (at most `left` bytes), or 0.
size_t validSequence(const unsigned char* s, size_t left) {
  const unsigned char c = s[0];
  size_t n;
  uint32_t cp, min;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, cp = c & 0x1Fu, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, cp = c & 0x0Fu, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, cp = c & 0x07u, min = 0x10000;
  } else {
    return 0;
  }
  if (left < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((s[i] & 0xC0u) != 0x80u) return 0;
    cp = (cp << 6) | (s[i] & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string repairUtf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const size_t n = validSequence(s + i, bytes.size() - i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(bytes.data() + i, n);
      i += n;
    }
  }
  return out;
}

json_t* jsonString(std::string_view bytes) {
  if (json_t* plain = json_stringn(bytes.data(), bytes.size())) return plain;
  const std::string clean = repairUtf8(bytes);
  return json_stringn(clean.data(), clean.size());
}

json_t* jsonString(const char* text) {
  return text ? jsonString(std::string_view(text, std::strlen(text))) : nullptr;
}

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// Nonzero when one of the eight bytes is zero.
constexpr uint64_t anyZero(uint64_t word) { return (word - kOnes) & ~word & kHighs; }

bool plainByte(unsigned char c) { return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\'; }

}  // namespace

bool plainJsonText(std::string_view bytes) {
  // Eight bytes at a time: none below 0x20 (borrows only reach bytes above
  // one that is), none with the top bit, no 0x7F, '"' or '\\'.
  size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) {
    uint64_t word;
    std::memcpy(&word, bytes.data() + at, sizeof word);
    const uint64_t below = (word - 0x20 * kOnes) & ~word & kHighs;
    if (below | (word & kHighs) | anyZero(word ^ (0x7F * kOnes)) | anyZero(word ^ ('"' * kOnes)) |
        anyZero(word ^ ('\\' * kOnes)))
      return false;
  }
  for (; at < bytes.size(); ++at)
    if (!plainByte(static_cast<unsigned char>(bytes[at]))) return false;
  return true;
}

void appendJsonString(std::string& out, std::string_view bytes) {
  if (plainJsonText(bytes)) {
    out += '"';
    out += bytes;
    out += '"';
    return;
  }
  const JsonPtr value(jsonString(bytes));
  const JsonText text(value ? json_dumps(value.get(), JSON_ENCODE_ANY) : nullptr);
  if (!text) std::abort();  // only when out of memory
  out += text.get();
}

void appendJsonInteger(std::string& out, long long value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

std::optional<std::string> jsonDump(const json_t* value, size_t flags) {
  JsonText text(json_dumps(value, flags));
  if (!text) return std::nullopt;
  return std::string(text.get());
}

std::string toHex(const void* data, size_t size, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  const auto* p = static_cast<const unsigned char*>(data);
  std::string out(2 * size, '0');
  for (size_t i = 0; i < size; ++i) {
    out[2 * i] = digits[p[i] >> 4];
    out[2 * i + 1] = digits[p[i] & 0xF];
  }
  return out;
}

std::optional<std::vector<unsigned char>> fromHex(std::string_view text, size_t* badAt) {
  if (text.size() % 2 != 0) {
    if (badAt) *badAt = text.size();
    return std::nullopt;
  }
  std::vector<unsigned char> out(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) {
      if (badAt) *badAt = hi < 0 ? i : i + 1;
      return std::nullopt;
    }
    out[i / 2] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return out;
}
