// cLock: one RFID lock of the key cabinet, named by its 5-byte RF tag and by
// the decimal text of that tag (its IntValStr), which is how the bus names it.
// Ownership: a lock belongs to the key list that holds it, or to whoever took
// it out; the getters lend the lock's own storage, toJSON returns a new value.
// Threads: built on the event pump thread; read on the main thread only under
// the owning key's list mutex. A lock takes no lock of its own.
#ifndef SITE_CLOCK_H
#define SITE_CLOCK_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "cKlog.h"
#include "kjson.h"

// The raw bytes of an RF tag; every byte value, 0 included, is valid.
using RFtag = std::array<unsigned char, 5>;

class cLock : public cKlog {
 public:
  cLock();
  // Copies the tag and the IntValStr; mIntVal starts at 0.
  cLock(const cLock& other);
  cLock& operator=(const cLock&) = delete;
  // cKlog has no virtual destructor, so the virtual one starts here.
  virtual ~cLock();

  // tag: 5 bytes, copied.
  void setRFtag(const unsigned char* tag);
  // The held 5 bytes, or nullptr when none; valid until the tag changes.
  const unsigned char* getRFtag() const;
  // text: never null; copied.
  void setIntValStr(const char* text);
  const char* getIntValStr() const;  // or nullptr
  void setIntVal(int64_t value) { mIntVal = value; }
  int64_t getIntVal() const { return mIntVal; }

  // {"RFID": IntValStr} or {} when there is none.
  JsonPtr toJSON() const;
  // Appends toJSON's document as json_dumps (flags 0) writes it. False, with
  // out unchanged, when the IntValStr is not plain printable ASCII: toJSON
  // then decides (it may refuse the text and say so).
  bool appendJSON(std::string& out) const;
  // Compares IntValStr and tag, logging each difference.
  bool operator==(const cLock& other) const;
  // The result of operator==, without its log lines.
  bool sameAs(const cLock& other) const {
    return mIntValStr == other.mIntValStr && mRFtag == other.mRFtag;
  }
  // A hash of what sameAs compares: equal locks hash alike.
  size_t identityHash() const;

 private:
  std::optional<RFtag> mRFtag;
  int64_t mIntVal = 0;
  std::optional<std::string> mIntValStr;
};

#endif  // SITE_CLOCK_H
