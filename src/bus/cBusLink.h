// cBusLink: the translator's side of the message bus. It holds the two bus
// clients ("TransGlam-receiver", subscribed to the command topic, and
// "MetaGlam", which publishes), counts failed publications and warns about
// them at most once a second, and warns once per episode when the receive
// queue had to drop texts.
//
// Ownership: owned by the broker for the life of the process; it owns both
// clients. receive() returns the receiver's Message, which stays valid until
// the next receive().
// Threads: constructed on the main thread; publish() is called on the event
// pump thread only, receive() on the main thread only; the two share nothing.
#ifndef BUS_CBUSLINK_H
#define BUS_CBUSLINK_H

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>

#include "cKlog.h"
#include "nlite.h"

class cBusLink : public cKlog {
 public:
  // Seconds between two warnings about failed publications, at least.
  static constexpr int kFailureReportSeconds = 1;

  // Creates the receiver, then the publisher, on the bus daemon's ports;
  // logs an error for a client that could not be set up whole.
  cBusLink(int channelerPort, int broadcasterPort);
  cBusLink(const cBusLink&) = delete;
  cBusLink& operator=(const cBusLink&) = delete;

  // Publishes one text (length bytes, without terminator) with kind 2 on
  // the topic. Returns the result of nlite::Client::send: 0 when queued.
  // Event pump thread.
  int publish(const char* text, size_t length, const char* topic);

  // Publishes a command's outcome (length bytes) on the topic "outcome"
  // through the receiving client, which the main thread owns; failures are
  // accounted as publish() accounts them. Main thread.
  int publishOutcome(const char* text, size_t length);

  // The next bus command, or null when none is waiting; never blocks.
  // Main thread.
  nlite::Message* receive();

  // Bus commands the receive queue dropped so far. Any thread.
  unsigned long droppedCount() const { return mTransGlamClient->droppedCount(); }

 private:
  using Clock = std::chrono::steady_clock;

  std::unique_ptr<nlite::Client> mTransGlamClient;  // receives; main thread only
  std::unique_ptr<nlite::Client> mMetaGlamClient;   // publishes; pump thread only
  // Failures not reported yet, and when the last report went.
  struct Failures {
    unsigned long sinceReport = 0;
    std::optional<Clock::time_point> lastReport;
  };
  // Counts a send's result; warns about the failures at most once a second.
  int account(Failures& failures, int result);
  Failures mPublishFailures;  // pump thread only
  Failures mOutcomeFailures;  // main thread only
  // Main thread only: the drop count already seen, and whether the queue has
  // dropped since it was last found empty.
  unsigned long mDroppedSeen = 0;
  bool mDropEpisode = false;
};

#endif  // BUS_CBUSLINK_H
