// The bounded box of publications waiting for the broker.
#include "outbox.h"

#include <algorithm>

cOutbox::cOutbox(size_t limit) : cKlog("keyd-bridge"), mLimit(limit) {}

void cOutbox::push(bool siteInfo, std::string payload) {
  std::lock_guard<std::mutex> guard(mMutex);
  if (siteInfo) {
    auto old = std::find_if(mItems.begin(), mItems.end(), [](const Item& i) { return i.siteInfo; });
    if (old != mItems.end()) mItems.erase(old);
  } else if (mCommands == mLimit) {
    // At most one site_info waits, so the oldest command is near the front.
    mItems.erase(
        std::find_if(mItems.begin(), mItems.end(), [](const Item& i) { return !i.siteInfo; }));
    --mCommands;
    ++mDropped;
    if (mDroppedEpisode++ == 0)
      warn("MQTT queue full (%zu commands): dropping the oldest until the broker takes them",
           mLimit);
  }
  mCommands += siteInfo ? 0 : 1;
  mItems.push_back(Item{siteInfo, std::move(payload)});
}

std::optional<cOutbox::Item> cOutbox::pop() {
  std::lock_guard<std::mutex> guard(mMutex);
  if (mItems.empty()) return std::nullopt;
  Item item = std::move(mItems.front());
  mItems.pop_front();
  mCommands -= item.siteInfo ? 0 : 1;
  if (mItems.empty() && mDroppedEpisode > 0) {
    warn("MQTT queue emptied: %lu commands were dropped while it was full (%lu since the start)",
         mDroppedEpisode, mDropped);
    mDroppedEpisode = 0;
  }
  return item;
}

size_t cOutbox::size() const {
  std::lock_guard<std::mutex> guard(mMutex);
  return mItems.size();
}

unsigned long cOutbox::dropped() const {
  std::lock_guard<std::mutex> guard(mMutex);
  return mDropped;
}
