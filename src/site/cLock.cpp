// cLock: one lock's RF tag and decimal name, its JSON rendering and comparison.
#include "cLock.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "optionalText.h"

cLock::cLock() : cKlog("cLock") {}

cLock::cLock(const cLock& other)
    : cKlog("cLock"), mRFtag(other.mRFtag), mIntValStr(other.mIntValStr) {}

cLock::~cLock() {
  if (mRFtag) {
    debug("deleting mRFtag");
    mRFtag.reset();
  }
  if (mIntValStr) {
    debug("deleting mIntValStr");
    mIntValStr.reset();
  }
}

void cLock::setRFtag(const unsigned char* tag) {
  RFtag copy;
  std::memcpy(copy.data(), tag, copy.size());
  mRFtag = copy;
}

const unsigned char* cLock::getRFtag() const { return mRFtag ? mRFtag->data() : nullptr; }

void cLock::setIntValStr(const char* text) { mIntValStr.emplace(text); }

const char* cLock::getIntValStr() const { return textOf(mIntValStr); }

JsonPtr cLock::toJSON() const {
  JsonPtr object(json_object());
  if (!object) std::abort();  // out of memory ends the process
  if (mIntValStr) {
    // json_string refuses text that is not valid UTF-8 (as json_pack "s"
    // does) and gives null; json_object_set_new then fails without taking
    // anything. The lock is still rendered, as an empty object, so the
    // publication that carries it goes out; the failure is only reported
    // on standard output, which is how this record has always reported it.
    if (json_object_set_new(object.get(), "RFID", json_string(mIntValStr->c_str())) != 0) {
      std::fputs("ERROR in creating cLock JSON OBJ", stdout);
      std::fflush(stdout);
    }
  }
  return object;
}

bool cLock::operator==(const cLock& other) const {
  debug("In Lock == operator ");
  bool val = true;
  // std::optional equality: an absent value equals only an absent one.
  if (mIntValStr != other.mIntValStr) {
    debug("mIntValStr not matching making val false");
    val = false;
  }
  if (mRFtag != other.mRFtag) {
    debug("mRFtag not matching making val false");
    val = false;
  }
  return val;
}
