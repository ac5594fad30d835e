// cKey: the key record the key daemon reports: serial number, key box, key
// software, server name and port, transaction count and the list of locks.
// Ownership: the key owns its texts, its lock list and every lock in it; the
// getters lend, the lookups and toJSON return new values the caller owns.
// Threads: built, compared and released on the event pump thread; the
// lookups and toJSON may run on the main thread meanwhile. mLockListMutex
// guards the list (not the key's life, which its owner must ensure).
#ifndef SITE_CKEY_H
#define SITE_CKEY_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cKlog.h"
#include "cLock.h"
#include "kjson.h"
#include "ksync.h"

// The locks of a key in the order the key daemon reported them; an entry may
// be null (an empty entry), which every operation skips.
using LockList = std::vector<std::unique_ptr<cLock>>;

class cKey : public cKlog {
 public:
  cKey();
  cKey(const cKey&) = delete;
  cKey& operator=(const cKey&) = delete;
  // Releases the texts, then the list and its locks; takes no mutex.
  virtual ~cKey();

  void setKeySN(int32_t keySN) { mKeySN = keySN; }
  int32_t getKeySN() const { return mKeySN; }
  // The text setters copy the text; nullptr leaves none.
  void setKeyBoxN(const char* text);
  const char* getKeyBoxN() const;  // or nullptr
  void setKeySW(const char* text);
  const char* getKeySW() const;  // or nullptr
  void setServName(const char* text);
  const char* getServName() const;  // or nullptr
  void setServPort(uint16_t port) { mServPort = port; }
  uint16_t getServPort() const { return mServPort; }
  void setTransactionCnt(int32_t count) { mTransactionCnt = count; }
  int32_t getTransactionCnt() const { return mTransactionCnt; }
  void setKeyAux(int32_t aux) { mKeyAux = aux; }
  int32_t getKeyAux() const { return mKeyAux; }

  // Under mLockListMutex: releases the held list and its locks, then holds
  // the given one (which may be null).
  void setLockList(std::unique_ptr<LockList> list);
  // The held list or nullptr; no copy and no locking.
  const LockList* getLockList() const NO_THREAD_SAFETY_ANALYSIS { return mLockList.get(); }
  // Takes the lock out of the list when the list holds exactly one, under
  // mLockListMutex (the main thread may be searching the list at the same
  // time); the list is then empty. Otherwise null and the list is unchanged.
  std::unique_ptr<cLock> takeOnlyLock();

  // The tag of the first lock whose IntValStr is text, or none.
  std::optional<RFtag> getRFIDByIntValStr(const char* text) const;
  // The IntValStr of the first lock whose tag is the 5 bytes at tag, or none.
  std::optional<std::string> getIntValStrByRFID(const unsigned char* tag) const;
  // A copy of the last lock whose IntValStr is text, or null.
  std::unique_ptr<cLock> getLockByIntValStr(const char* text) const;

  JsonPtr toJSON() const;
  // Appends toJSON's document as json_dumps (flags 0) writes it, under
  // mLockListMutex. False, with out cut back to its size, when a lock's
  // rendering is toJSON's to decide.
  bool appendJSON(std::string& out) const;
  // Checks every field, logging each difference; every lock of this key must
  // have an equal lock in dev_rhs's list (one direction only). When neither
  // "cKey" nor "cLock" writes debug lines, nothing is compared that cannot
  // change the result, and the locks are matched in time linear in their
  // number.
  bool operator==(const cKey& dev_rhs) const;

 private:
  mutable ksync::Mutex mLockListMutex;
  int32_t mKeySN = -1;
  std::optional<std::string> mKeyBoxN;
  std::optional<std::string> mKeySW;
  std::optional<std::string> mServName;
  uint16_t mServPort = 0xFFFF;
  int32_t mTransactionCnt = 0;
  int32_t mKeyAux = 0;
  std::unique_ptr<LockList> mLockList GUARDED_BY(mLockListMutex);
  // Another key's list, read without its mutex by operator==: both keys are
  // the pump's to change, and the pump is the one comparing them.
  const LockList* unguardedLockList() const NO_THREAD_SAFETY_ANALYSIS { return mLockList.get(); }

  // Every lock of mine has an equal one in others (caller holds my mutex);
  // every pair is compared and logged.
  bool locksFoundLogged(const LockList* others) const REQUIRES(mLockListMutex);
  // The same result without log lines, in linear time.
  bool locksFound(const LockList* others) const REQUIRES(mLockListMutex);
};

#endif  // SITE_CKEY_H
