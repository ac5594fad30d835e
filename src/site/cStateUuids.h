// cStateUuids: the state UUIDs of the "site_info" publications: random
// version-4 UUIDs, as 36 lower-case characters (the form uuid_unparse_lower
// gives uuid_generate_random's UUIDs), made from a buffer of random bytes
// that one getrandom call fills for kPerRefill UUIDs. Every byte of the
// buffer serves one UUID only, so no UUID is made twice from the same bytes.
//
// Ownership: the broker holds one; next() writes into the caller's buffer.
// Threads: the event pump thread only (no lock).
#ifndef SITE_CSTATEUUIDS_H
#define SITE_CSTATEUUIDS_H

#include <cstddef>

class cStateUuids {
 public:
  // UUIDs per getrandom call.
  static constexpr size_t kPerRefill = 256;
  // Characters of a UUID text, without the terminator.
  static constexpr size_t kTextLength = 36;

  // Writes the next UUID's text and its terminator into text. Should
  // getrandom fail, libuuid's uuid_generate_random makes that one.
  void next(char (&text)[kTextLength + 1]);

 private:
  unsigned char mRandom[16 * kPerRefill];
  size_t mUsed = sizeof mRandom;  // bytes of mRandom already used
};

#endif  // SITE_CSTATEUUIDS_H
