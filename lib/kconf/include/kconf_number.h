// kconf_number: a whole option or setting text read as one decimal number,
// the way the tools read their port, count and kind options.
//
// Ownership: returns a value. Threads: no shared state; any thread.
#ifndef KCONF_KCONF_NUMBER_H
#define KCONF_KCONF_NUMBER_H

#include <optional>

namespace kconf {

// The text as strtol reads it in base 10, when all of it is read, it is in
// range for a long and lies within [min, max]; otherwise nullopt (also for
// a null or empty text).
std::optional<long> parseNumber(const char* text, long min, long max);

}  // namespace kconf

#endif  // KCONF_KCONF_NUMBER_H
