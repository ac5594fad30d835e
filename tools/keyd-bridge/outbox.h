// cOutbox: the publications waiting to go to the broker, oldest first. It
// is bounded: beyond `limit` waiting messages other than "site_info", or
// beyond `limitBytes` of their payloads, the oldest of them goes, counted,
// with one WARN line when an episode of drops begins and one with the count
// when the box is next empty; of "site_info" only the newest waits (it is
// retained on the broker anyway), on top of the bounds. Each push calls the
// wake-up given to setWake (the MQTT link's).
//
// Ownership: holds copies of the payloads; pop() hands one over.
// Threads: any; its own mutex guards everything (the bus and line threads
// push, the MQTT thread pops); setWake on the main thread before any push.
#ifndef KEYD_BRIDGE_OUTBOX_H
#define KEYD_BRIDGE_OUTBOX_H

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "cKlog.h"
#include "ksync.h"

class cOutbox : private cKlog {
 public:
  struct Item {
    bool siteInfo;  // "site_info" (retained), otherwise not retained
    std::string topic, payload;
    std::string correlation;  // MQTT 5 correlation data; empty: none
  };

  cOutbox(size_t limit, size_t limitBytes);

  void setWake(std::function<void()> wake) { mWake = std::move(wake); }
  void push(Item item);
  // The oldest waiting item, or nullopt.
  std::optional<Item> pop();
  size_t size() const;
  unsigned long dropped() const;  // messages dropped since the start
  bool holdsSiteInfo() const;     // a "site_info" waits

 private:
  void dropOldest(size_t incoming) REQUIRES(mMutex);

  const size_t mLimit, mLimitBytes;
  std::function<void()> mWake;
  mutable ksync::Mutex mMutex;
  std::deque<Item> mItems GUARDED_BY(mMutex);
  // Messages other than "site_info" among mItems, and their bytes.
  size_t mCommands GUARDED_BY(mMutex) = 0, mBytes GUARDED_BY(mMutex) = 0;
  unsigned long mDropped GUARDED_BY(mMutex) = 0, mDroppedEpisode GUARDED_BY(mMutex) = 0;
};

#endif  // KEYD_BRIDGE_OUTBOX_H
