// The bounded box of publications waiting for the broker.
#include "outbox.h"

#include <algorithm>

cOutbox::cOutbox(size_t limit, size_t limitBytes)
    : cKlog("keyd-bridge"), mLimit(limit), mLimitBytes(limitBytes) {}

// Makes room for `incoming` more bytes; with mMutex held.
void cOutbox::dropOldest(size_t incoming) {
  while (mCommands > 0 && (mCommands >= mLimit || mBytes + incoming > mLimitBytes)) {
    const bool byCount = mCommands >= mLimit;
    // At most one site_info waits, so the oldest command is near the front.
    auto oldest =
        std::find_if(mItems.begin(), mItems.end(), [](const Item& i) { return !i.siteInfo; });
    mBytes -= oldest->payload.size();
    mItems.erase(oldest);
    --mCommands;
    ++mDropped;
    if (mDroppedEpisode++ > 0) continue;
    if (byCount)
      warn("MQTT queue full (%zu commands): dropping the oldest until the broker takes them",
           mLimit);
    else
      warn("MQTT queue full (%zu bytes): dropping the oldest until the broker takes them",
           mLimitBytes);
  }
}

void cOutbox::push(Item item) {
  {
    ksync::MutexLock guard(mMutex);
    if (item.siteInfo) {
      auto old =
          std::find_if(mItems.begin(), mItems.end(), [](const Item& i) { return i.siteInfo; });
      if (old != mItems.end()) mItems.erase(old);
    } else {
      dropOldest(item.payload.size());
      ++mCommands;
      mBytes += item.payload.size();
    }
    mItems.push_back(std::move(item));
  }
  if (mWake) mWake();
}

std::optional<cOutbox::Item> cOutbox::pop() {
  ksync::MutexLock guard(mMutex);
  if (mItems.empty()) return std::nullopt;
  Item item = std::move(mItems.front());
  mItems.pop_front();
  if (!item.siteInfo) {
    --mCommands;
    mBytes -= item.payload.size();
  }
  if (mItems.empty() && mDroppedEpisode > 0) {
    warn("MQTT queue emptied: %lu commands were dropped while it was full (%lu since the start)",
         mDroppedEpisode, mDropped);
    mDroppedEpisode = 0;
  }
  return item;
}

size_t cOutbox::size() const {
  ksync::MutexLock guard(mMutex);
  return mItems.size();
}

unsigned long cOutbox::dropped() const {
  ksync::MutexLock guard(mMutex);
  return mDropped;
}

bool cOutbox::holdsSiteInfo() const {
  ksync::MutexLock guard(mMutex);
  return std::any_of(mItems.begin(), mItems.end(), [](const Item& i) { return i.siteInfo; });
}
