// cOutbox: the publications waiting to go to the broker, oldest first. It
// is bounded: beyond `limit` waiting "command" messages the oldest command
// goes, counted, with one WARN line when an episode of drops begins and one
// with the count when the box is next empty; of "site_info" only the newest
// waits (it is retained on the broker anyway), on top of the bound.
//
// Ownership: holds copies of the payloads; pop() hands one over.
// Threads: any; its own mutex guards everything (the bus thread pushes,
// the MQTT thread pops).
#ifndef KEYD_BRIDGE_OUTBOX_H
#define KEYD_BRIDGE_OUTBOX_H

#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "cKlog.h"

class cOutbox : private cKlog {
 public:
  struct Item {
    bool siteInfo;  // "site_info" (retained), otherwise "command"
    std::string payload;
  };

  explicit cOutbox(size_t limit);

  void push(bool siteInfo, std::string payload);
  // The oldest waiting item, or nullopt.
  std::optional<Item> pop();
  size_t size() const;
  unsigned long dropped() const;  // commands dropped since the start

 private:
  const size_t mLimit;
  mutable std::mutex mMutex;  // guards everything below
  std::deque<Item> mItems;
  size_t mCommands = 0;  // commands among mItems
  unsigned long mDropped = 0, mDroppedEpisode = 0;
};

#endif  // KEYD_BRIDGE_OUTBOX_H
