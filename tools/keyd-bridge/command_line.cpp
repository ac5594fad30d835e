// The line of commands at the bridge and the answers of the command path.
#include "command_line.h"

#include <pthread.h>

#include <algorithm>

namespace {

// Commands handed over whose outcome may still come, at most.
constexpr size_t kMaxHanded = 64;

double seconds(cCommandLine::Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

cCommandLine::cCommandLine(std::string outcomeTopic, Answer answer, Hand hand)
    : cKlog("keyd-bridge"),
      mOutcomeTopic(std::move(outcomeTopic)),
      mAnswer(std::move(answer)),
      mHand(std::move(hand)) {}

cCommandLine::~cCommandLine() { stop(); }

void cCommandLine::start() {
  mThread = std::thread([this] {
    pthread_setname_np(pthread_self(), "bridge-line");
    run();
  });
}

void cCommandLine::stop() {
  {
    ksync::MutexLock guard(mMutex);
    mStop = true;
  }
  mChanged.notify_all();
  if (mThread.joinable()) mThread.join();
}

void cCommandLine::reply(const std::string& topic, const std::string& correlation,
                         const std::string& document) {
  if (!topic.empty()) mAnswer(topic, document, correlation);
}

void cCommandLine::finalAnswer(const Command& command, const std::string& document) {
  mAnswer(mOutcomeTopic, document, "");
  reply(command.replyTopic, command.correlation, document);
}

void cCommandLine::refuse(const Command& command, const char* reason) {
  finalAnswer(command, outcomeDocument(command.facts, "refused", reason));
}

void cCommandLine::take(Command command) {
  ksync::MutexLock lock(mMutex);
  if (mLine.size() >= kMaxCommands || mBytes + command.payload.size() > kMaxBytes) {
    lock.unlock();
    warn(
        "The line of commands for the translator is full (%zu commands, %zu bytes): a command "
        "from the broker is dropped",
        kMaxCommands, kMaxBytes);
    finalAnswer(command, outcomeDocument(command.facts, "dropped"));
    return;
  }
  mBytes += command.payload.size();
  mLine.push_back(std::move(command));
  const Command& queued = mLine.back();
  reply(queued.replyTopic, queued.correlation, queuedDocument(queued.facts, mLine.size()));
  lock.unlock();
  mChanged.notify_all();
}

// Drops (answered "expired") every waiting command whose deadline has
// passed; with mMutex held.
void cCommandLine::expire(Clock::time_point now) {
  for (auto it = mLine.begin(); it != mLine.end();) {
    if (it->deadline > now) {
      ++it;
      continue;
    }
    if (mExpiredEpisode++ == 0)
      warn(
          "A command from the broker expired after %.1f s in the line for the translator: "
          "dropping expired commands until one goes in time",
          seconds(now - it->arrived));
    ++mExpired;
    finalAnswer(*it, outcomeDocument(it->facts, "expired"));
    mBytes -= it->payload.size();
    it = mLine.erase(it);
  }
}

void cCommandLine::run() {
  ksync::MutexLock lock(mMutex);
  while (!mStop) {
    const Clock::time_point now = Clock::now();
    expire(now);
    if (mInFlight && now >= mInFlightUntil) mInFlight = false;
    // The episode ends when a command goes in time or none is left.
    if (mExpiredEpisode > 0 && (mLine.empty() || !mInFlight)) {
      warn("Commands expired in the line for the translator: %lu (%lu since the start)",
           mExpiredEpisode, mExpired);
      mExpiredEpisode = 0;
    }
    if (!mLine.empty() && !mInFlight) {
      Command next = std::move(mLine.front());
      mLine.pop_front();
      mBytes -= next.payload.size();
      mInFlight = true;
      mInFlightUntil = now + kInFlightBound;
      mHanded.push_back(Handed{next.facts, next.replyTopic, next.correlation});
      if (mHanded.size() > kMaxHanded) mHanded.pop_front();
      lock.unlock();
      const bool handed = mHand(next.facts.app, next.payload);
      if (!handed) finalAnswer(next, outcomeDocument(next.facts, "dropped"));
      lock.lock();
      if (!handed && mInFlight && !mHanded.empty()) {
        mInFlight = false;
        mHanded.pop_back();
      }
      continue;
    }
    Clock::time_point wake = mInFlight ? mInFlightUntil : Clock::time_point::max();
    for (const Command& c : mLine) wake = std::min(wake, c.deadline);
    if (wake == Clock::time_point::max())
      lock.wait(mChanged);
    else
      lock.waitUntil(mChanged, wake);
  }
}

void cCommandLine::outcome(const std::string& document) {
  mAnswer(mOutcomeTopic, document, "");
  const std::optional<CommandFacts> facts = factsOfOutcome(document);
  if (!facts) {
    warn("The translator's outcome is not a document of one (%zu bytes): %s", document.size(),
         shown(document.substr(0, 200)).c_str());
    return;
  }
  ksync::MutexLock lock(mMutex);
  auto it = std::find_if(mHanded.begin(), mHanded.end(),
                         [&facts](const Handed& h) { return names(*facts, h.facts); });
  if (it == mHanded.end()) return;
  const Handed handed = std::move(*it);
  if (std::next(it) == mHanded.end()) mInFlight = false;
  mHanded.erase(it);
  lock.unlock();
  mChanged.notify_all();
  reply(handed.replyTopic, handed.correlation, document);
}
