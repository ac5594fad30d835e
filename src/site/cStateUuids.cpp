// cStateUuids: version-4 UUID texts from a buffer of random bytes.
#include "cStateUuids.h"

#include <sys/random.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <cstring>

namespace {

// Fills the buffer from the kernel's random source; false when it cannot.
bool fill(unsigned char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = getrandom(buffer + done, size - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

void cStateUuids::next(char (&text)[kTextLength + 1]) {
  uuid_t uuid;
  if (mUsed + sizeof uuid > sizeof mRandom) {
    if (fill(mRandom, sizeof mRandom)) mUsed = 0;
  }
  if (mUsed + sizeof uuid <= sizeof mRandom) {
    std::memcpy(uuid, mRandom + mUsed, sizeof uuid);
    std::memset(mRandom + mUsed, 0, sizeof uuid);
    mUsed += sizeof uuid;
    // Version 4 (random) and the RFC 4122 variant, as uuid_generate_random sets them.
    uuid[6] = static_cast<unsigned char>((uuid[6] & 0x0F) | 0x40);
    uuid[8] = static_cast<unsigned char>((uuid[8] & 0x3F) | 0x80);
  } else {
    uuid_generate_random(uuid);
  }
  static const char kDigits[] = "0123456789abcdef";
  char* out = text;
  for (size_t i = 0; i < sizeof uuid; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = '-';
    *out++ = kDigits[uuid[i] >> 4];
    *out++ = kDigits[uuid[i] & 0x0F];
  }
  *out = '\0';
}
