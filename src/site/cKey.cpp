// cKey: the key record's texts, its lock list and lookups, its JSON rendering
// and its comparison.
#include "cKey.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "optionalText.h"

namespace {

// Texts are equal when they hold the same characters; an absent text equals
// only an absent one.
bool sameText(const char* a, const char* b) {
  if (!a || !b) return !a && !b;
  return std::strcmp(a, b) == 0;
}

// Tags are compared over all 5 bytes, zero bytes included.
bool sameTag(const unsigned char* a, const unsigned char* b) {
  if (!a || !b) return !a && !b;
  return std::memcmp(a, b, RFtag().size()) == 0;
}

// A remote text for a log argument; never used as a format.
const char* shown(const char* remote) { return remote ? remote : "(null)"; }

// The whole 5-byte tag as 10 upper-case hex digits, first byte first.
std::string tagHex(const unsigned char* tag) {
  return tag ? toHex(tag, RFtag().size(), true) : "(null)";
}

// Adds key: text when the text is held. The key daemon may send texts that
// are not valid UTF-8; jsonString replaces such bytes with U+FFFD, so the
// member stays and the document stays valid JSON.
void addText(json_t* object, const char* key, const std::optional<std::string>& value) {
  if (!value) return;
  json_object_set_new(object, key, jsonString(value->c_str()));
}

json_t* made(json_t* value) {
  if (!value) std::abort();  // out of memory ends the process
  return value;
}

// Releases the locks of a list one by one, in list order, then the list.
void release(std::unique_ptr<LockList>& list) {
  if (!list) return;
  for (auto& lock : *list) lock.reset();
  list.reset();
}

// The category's logger, looked up once: a report makes a key.
const cKlog& keyLog() {
  static const cKlog log("cKey");
  return log;
}

// A lock of the other list by the hash of what sameAs compares.
using HashedLock = std::pair<size_t, const cLock*>;

}  // namespace

cKey::cKey() : cKlog(keyLog()) {}

cKey::~cKey() NO_THREAD_SAFETY_ANALYSIS {  // nobody else holds a key being destroyed
  // Without its lines the members go by themselves (the locks with them).
  if (!debugEnabled()) return;
  debug("in cKey GARBAGE Collector");
  if (mKeyBoxN) {
    debug("deleting mKeyBoxN");
    mKeyBoxN.reset();
  }
  mKeySW.reset();
  mServName.reset();
  if (mLockList) {
    debug("deleting Lock list");
    for (auto& lock : *mLockList) {
      debug("deleting ");
      lock.reset();
    }
    debug("deleting actual list");
    mLockList.reset();
  }
}

void cKey::setKeyBoxN(const char* value) { assignText(mKeyBoxN, value); }
const char* cKey::getKeyBoxN() const { return textOf(mKeyBoxN); }
void cKey::setKeySW(const char* value) { assignText(mKeySW, value); }
const char* cKey::getKeySW() const { return textOf(mKeySW); }
void cKey::setServName(const char* value) { assignText(mServName, value); }
const char* cKey::getServName() const { return textOf(mServName); }

void cKey::setLockList(std::unique_ptr<LockList> list) {
  ksync::MutexLock guard(mLockListMutex);
  release(mLockList);
  mLockList = std::move(list);
}

std::unique_ptr<cLock> cKey::takeOnlyLock() {
  ksync::MutexLock guard(mLockListMutex);
  if (!mLockList || mLockList->size() != 1) return nullptr;
  std::unique_ptr<cLock> lock = std::move(mLockList->front());
  mLockList->clear();
  return lock;
}

std::optional<RFtag> cKey::getRFIDByIntValStr(const char* value) const {
  debug("trying to get RFID matching IntValStr |%s|", shown(value));
  ksync::MutexLock guard(mLockListMutex);
  if (mLockList) {
    for (const auto& lock : *mLockList) {
      if (!lock || !sameText(lock->getIntValStr(), value)) continue;
      const unsigned char* tag = lock->getRFtag();
      debug("FOUND a matching lock with RFID= %s that matches %s", tagHex(tag).c_str(),
            shown(value));
      if (!tag) return std::nullopt;
      RFtag copy;
      std::memcpy(copy.data(), tag, copy.size());
      return copy;
    }
  }
  debug("No match");
  return std::nullopt;
}

std::optional<std::string> cKey::getIntValStrByRFID(const unsigned char* tag) const {
  ksync::MutexLock guard(mLockListMutex);
  if (mLockList) {
    for (const auto& lock : *mLockList) {
      if (!lock || !sameTag(lock->getRFtag(), tag)) continue;
      const char* found = lock->getIntValStr();
      debug("FOUND a matching lock with IntVarSTr = %s IntVarSTr that matches rfid %s",
            shown(found), tagHex(tag).c_str());
      if (!found) return std::nullopt;
      return std::string(found);
    }
  }
  return std::nullopt;
}

std::unique_ptr<cLock> cKey::getLockByIntValStr(const char* value) const {
  ksync::MutexLock guard(mLockListMutex);
  const cLock* last = nullptr;
  if (mLockList) {
    for (const auto& lock : *mLockList) {
      if (!lock || !sameText(lock->getIntValStr(), value)) continue;
      debug("FOUND a matching lock with intvarstr= %s", shown(value));
      last = lock.get();
    }
  }
  return last ? std::make_unique<cLock>(*last) : nullptr;
}

JsonPtr cKey::toJSON() const {
  JsonPtr object(made(json_object()));
  addText(object.get(), "TAG_KEY_BOX", mKeyBoxN);
  addText(object.get(), "TAG_KEY_SW", mKeySW);
  addText(object.get(), "TAG_SRV_NAME", mServName);
  if (mServPort != 0)
    json_object_set_new(object.get(), "TAG_SRV_PORT", made(json_integer(mServPort)));
  json_object_set_new(object.get(), "TAG_TRANS_CNT", made(json_integer(mTransactionCnt)));

  // The emptiness test is made under the mutex too: the list may be replaced
  // or emptied on another thread, and reading it unguarded would race.
  ksync::MutexLock guard(mLockListMutex);
  if (mLockList && !mLockList->empty()) {
    json_t* keyObject = made(json_object());
    json_t* locks = made(json_array());
    for (const auto& lock : *mLockList)
      if (lock) json_array_append_new(locks, lock->toJSON().release());
    json_object_set_new(keyObject, "LOCKS", locks);
    if (mKeySN != 0) json_object_set_new(keyObject, "Serial", made(json_integer(mKeySN)));
    json_object_set_new(object.get(), "Key", keyObject);
  }
  return object;
}

bool cKey::appendJSON(std::string& out) const {
  const size_t start = out.size();
  char separator = '{';
  auto member = [&](std::string_view key) {
    out.append(separator == '{' ? "{\"" : ", \"");
    separator = ',';
    out.append(key).append("\": ", 3);
  };
  auto text = [&](const char* key, const std::optional<std::string>& value) {
    if (!value) return;
    member(key);
    appendJsonString(out, *value);
  };
  text("TAG_KEY_BOX", mKeyBoxN);
  text("TAG_KEY_SW", mKeySW);
  text("TAG_SRV_NAME", mServName);
  if (mServPort != 0) {
    member("TAG_SRV_PORT");
    appendJsonInteger(out, mServPort);
  }
  member("TAG_TRANS_CNT");
  appendJsonInteger(out, mTransactionCnt);

  ksync::MutexLock guard(mLockListMutex);
  if (mLockList && !mLockList->empty()) {
    member("Key");
    out += "{\"LOCKS\": [";
    bool first = true;
    for (const auto& lock : *mLockList) {
      if (!lock) continue;
      if (!first) out += ", ";
      first = false;
      if (!lock->appendJSON(out)) {
        out.resize(start);
        return false;
      }
    }
    out += ']';
    if (mKeySN != 0) {
      out += ", \"Serial\": ";
      appendJsonInteger(out, mKeySN);
    }
    out += '}';
  }
  out += '}';
  return true;
}

bool cKey::locksFoundLogged(const LockList* others) const {
  bool val = true;
  for (const auto& lock : *mLockList) {
    if (!lock) continue;
    bool found = false;
    if (others) {
      for (const auto& other : *others) {
        if (other && *lock == *other) {
          debug("matching lock found!");
          found = true;
        }
      }
    }
    if (!found) {
      debug("no matching lock  making val false");
      val = false;
    }
  }
  return val;
}

bool cKey::locksFound(const LockList* others) const {
  // The key daemon reports the same site in the same order: each lock is
  // looked for at its own place first, and only when it is not there in an
  // index of the other list (sorted by hash: one allocation), made once.
  std::vector<HashedLock> index;
  bool indexed = false;
  for (size_t i = 0; i < mLockList->size(); ++i) {
    const cLock* lock = (*mLockList)[i].get();
    if (!lock) continue;
    if (!others) return false;
    if (i < others->size() && (*others)[i] && lock->sameAs(*(*others)[i])) continue;
    if (!indexed) {
      index.reserve(others->size());
      for (const auto& other : *others)
        if (other) index.emplace_back(other->identityHash(), other.get());
      std::sort(index.begin(), index.end(),
                [](const HashedLock& a, const HashedLock& b) { return a.first < b.first; });
      indexed = true;
    }
    const size_t hash = lock->identityHash();
    auto it = std::lower_bound(index.begin(), index.end(), hash,
                               [](const HashedLock& a, size_t h) { return a.first < h; });
    while (it != index.end() && it->first == hash && !lock->sameAs(*it->second)) ++it;
    if (it == index.end() || it->first != hash) return false;
  }
  return true;
}

bool cKey::operator==(const cKey& dev_rhs) const {
  debug("CHECKING KEYS ARE EQUAL");
  bool val = true;
  if (mKeySN != dev_rhs.mKeySN) {
    debug("MKEYSN!= dev_rhs->mKeySN making val false");
    val = false;
  }
  if (mKeyBoxN != dev_rhs.mKeyBoxN) {
    debug("MKEYBOXN!= dev_rhs->mKeyBoxN making val false");
    val = false;
  }
  if (mKeySW != dev_rhs.mKeySW) {
    debug("MKEYSW!= dev_rhs->mKeySW making val false");
    val = false;
  }
  if (mServName != dev_rhs.mServName) {
    debug("MSERVNAME!= dev_rhs->mServName making val false");
    val = false;
  }
  if (mServPort != dev_rhs.mServPort) {
    debug("MSERVPORT!= dev_rhs->mServPort making val false");
    val = false;
  }
  if (mTransactionCnt != dev_rhs.mTransactionCnt) {
    debug("MTRANSCOUNT!= dev_rhs->mTransactionCnt making val false");
    val = false;
  }

  {
    // Only this key's list is guarded; dev_rhs's list is read as it stands.
    ksync::MutexLock guard(mLockListMutex);
    const LockList* others = dev_rhs.unguardedLockList();
    // Every lock is compared with all of the other list, which the debug
    // lines show. When they are not written, the locks matter only while
    // the result is still true, and then one match per lock settles it.
    static const cKlog lockLog("cLock");
    if (mLockList) {
      if (debugEnabled() || lockLog.debugEnabled())
        val = locksFoundLogged(others) && val;
      else if (val)
        val = locksFound(others);
    }
  }

  if (val)
    debug("KEY RETURN VAL Is true");
  else
    debug("KEY RETURN VAL Is false");
  return val;
}
