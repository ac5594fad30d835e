// cLock: one lock's RF tag and decimal name, its JSON rendering and comparison.
#include "cLock.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "optionalText.h"

namespace {

// The category's logger, looked up once: a report makes a lock per lock tag.
const cKlog& lockLog() {
  static const cKlog log("cLock");
  return log;
}

}  // namespace

cLock::cLock() : cKlog(lockLog()) {}

cLock::cLock(const cLock& other)
    : cKlog(lockLog()), mRFtag(other.mRFtag), mIntValStr(other.mIntValStr) {}

cLock::~cLock() {
  // Without its lines the members go by themselves.
  if (!debugEnabled()) return;
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

bool cLock::appendJSON(std::string& out) const {
  if (!mIntValStr) {
    out += "{}";
    return true;
  }
  if (!plainJsonText(*mIntValStr)) return false;
  out.append("{\"RFID\": \"").append(*mIntValStr).append("\"}");
  return true;
}

size_t cLock::identityHash() const {
  // Equal locks have equal tags: the five bytes alone make the hash, mixed
  // so that neighbouring tags spread. Only a lock without a tag hashes its
  // text.
  if (!mRFtag) return mIntValStr ? std::hash<std::string>()(*mIntValStr) : 0x9e3779b9u;
  uint64_t value = 0;
  for (const unsigned char byte : *mRFtag) value = (value << 8) | byte;
  value *= 0x9e3779b97f4a7c15ull;
  return static_cast<size_t>(value ^ (value >> 29));
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
