// cBusLink: the translator's two bus clients, with the accounting of failed
// publications and of texts dropped by the receive queue.
#include "cBusLink.h"

namespace {

// The broker's bus names and the command topic.
constexpr const char* kReceiverName = "TransGlam-receiver";
constexpr const char* kCommandTopic = "TransGlam";
constexpr const char* kPublisherName = "MetaGlam";
// What became of each command, published by the receiver (main thread).
constexpr const char* kOutcomeTopic = "outcome";
constexpr int kBusKind = 2;

}  // namespace

cBusLink::cBusLink(int channelerPort, int broadcasterPort) : cKlog("keyDTranslator") {
  {
    // The configured "subscriptions" are kept only: the receiver listens to
    // the command topic alone.
    const char* topics[] = {kCommandTopic};
    mTransGlamClient = std::make_unique<nlite::Client>(kReceiverName, channelerPort,
                                                       broadcasterPort, topics, 1);
  }
  mMetaGlamClient =
      std::make_unique<nlite::Client>(kPublisherName, channelerPort, broadcasterPort, nullptr, 0);
  for (const auto& [name, client] :
       {std::pair{kReceiverName, mTransGlamClient.get()}, std::pair{kPublisherName, mMetaGlamClient.get()}}) {
    const std::string reason = client->setupError();
    if (!reason.empty()) error("Bus client %s could not be set up: %s", name, reason.c_str());
  }
}

int cBusLink::publish(const char* text, size_t length, const char* topic) {
  return account(mPublishFailures, mMetaGlamClient->send(text, static_cast<unsigned>(length),
                                                         kBusKind, topic, nullptr));
}

int cBusLink::publishOutcome(const char* text, size_t length) {
  return account(mOutcomeFailures, mTransGlamClient->send(text, static_cast<unsigned>(length),
                                                          kBusKind, kOutcomeTopic, nullptr));
}

int cBusLink::account(Failures& failures, int result) {
  if (result != 0) ++failures.sinceReport;
  // The failures of a second are told together, by the first publication
  // after it, whether that one fails or not.
  if (failures.sinceReport > 0) {
    const Clock::time_point now = Clock::now();
    if (!failures.lastReport ||
        now - *failures.lastReport >= std::chrono::seconds(kFailureReportSeconds)) {
      warn("Bus publication failed (%lu since the last report)", failures.sinceReport);
      failures.sinceReport = 0;
      failures.lastReport = now;
    }
  }
  return result;
}

nlite::Message* cBusLink::receive() {
  nlite::Message* message = mTransGlamClient->receive();
  const unsigned long dropped = mTransGlamClient->droppedCount();
  if (dropped != mDroppedSeen && !mDropEpisode) {
    warn("Bus receive queue over its bound (%u texts or %lu MiB): dropped %lu oldest texts so far",
         nlite::kReceiveQueueBound, nlite::kReceiveQueueBytes / (1024 * 1024), dropped);
    mDropEpisode = true;
  }
  mDroppedSeen = dropped;
  // Found empty: the episode is over, the next drop is told again.
  if (!message) mDropEpisode = false;
  return message;
}
