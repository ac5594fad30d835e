// kconf::parseNumber: a whole text as one decimal number within bounds.
#include "kconf_number.h"

#include <cerrno>
#include <cstdlib>

namespace kconf {

std::optional<long> parseNumber(const char* text, long min, long max) {
  if (!text || !*text) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return std::nullopt;
  return v;
}

}  // namespace kconf
