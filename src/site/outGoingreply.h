// outGoingreply: a lock-status reply, the status text and the lock it
// concerns, rendered for the bus.
// Ownership: owns its status text; the lock is lent by whoever took it out of
// its key's list and must outlive the rendering. toJSON returns a new value.
// Threads: used on the event pump thread only.
#ifndef SITE_OUTGOINGREPLY_H
#define SITE_OUTGOINGREPLY_H

#include <optional>
#include <string>

#include "cLock.h"
#include "kjson.h"

class outGoingreply {
 public:
  outGoingreply() = default;
  virtual ~outGoingreply() = default;
  outGoingreply(const outGoingreply&) = delete;
  outGoingreply& operator=(const outGoingreply&) = delete;

  // Copies the text; nullptr leaves none.
  void setLockStatus(const char* text);
  const char* getLockStatus() const;  // or nullptr
  // Not owned.
  void setLock(const cLock* lock) { mLock = lock; }
  const cLock* getLock() const { return mLock; }

  // "LOCK_STATUS" when a status is held, then "RFID" (the lock's IntValStr)
  // when a lock with one is set.
  JsonPtr toJSON() const;

 private:
  std::optional<std::string> mLockStatus;
  const cLock* mLock = nullptr;
};

#endif  // SITE_OUTGOINGREPLY_H
