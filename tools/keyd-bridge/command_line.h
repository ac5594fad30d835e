// cCommandLine: the commands from the broker waiting for the translator. The
// translator takes one bus text a second, so commands wait here, where their
// deadline is kept, not in its queue: the line's thread ("bridge-line")
// hands the translator one command at a time, the next once the translator's
// outcome for it came (outcome()) or kInFlightBound after it went; a command
// whose deadline passes while it waits is dropped, counted and answered
// "expired" (one WARN when an episode of such drops begins, one line with the
// count when it ends). Every answer, the translator's outcomes forwarded
// included, goes to the site's outcome topic and, for a command with a
// response topic, there too.
//
// Ownership: owns the waiting commands and its thread; `answer` and `hand`
// are the caller's and outlive the line.
// Threads: take() and refuse() on the MQTT thread, outcome() on the bus
// thread, start/stop on the main thread; `hand` and
// `answer` are called on the line's thread or the caller's.
#ifndef KEYD_BRIDGE_COMMAND_LINE_H
#define KEYD_BRIDGE_COMMAND_LINE_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "cKlog.h"
#include "ksync.h"
#include "texts.h"

class cCommandLine : private cKlog {
 public:
  using Clock = std::chrono::steady_clock;

  struct Command {
    std::string payload;
    CommandFacts facts;  // facts.app is the application id it carries on the bus
    Clock::time_point arrived, deadline;
    std::string replyTopic, correlation;  // replyTopic empty: no answers but on the outcome topic
  };
  // One publication for the broker (QoS 1, not retained), with the
  // correlation data of the command it answers.
  using Answer = std::function<void(const std::string& topic, const std::string& document,
                                    const std::string& correlation)>;
  // Puts the command on the bus; false when it could not.
  using Hand = std::function<bool(const std::string& app, const std::string& payload)>;

  static constexpr std::chrono::seconds kInFlightBound{3};
  static constexpr size_t kMaxCommands = 1000;
  static constexpr size_t kMaxBytes = 8 * 1024 * 1024;

  cCommandLine(std::string outcomeTopic, Answer answer, Hand hand);
  ~cCommandLine();  // stops (as stop()) when still running
  cCommandLine(const cCommandLine&) = delete;
  cCommandLine& operator=(const cCommandLine&) = delete;

  void start();
  void stop();  // what still waits is dropped unanswered

  // A command for the translator: waits its turn ("queued" with its place on
  // its response topic), or, beyond the line's bounds, is answered "dropped".
  void take(Command command);
  // A command the bridge refuses: its outcome "refused" with the reason.
  void refuse(const Command& command, const char* reason);
  // A document from the bus topic "outcome": forwarded; when it names a
  // command handed over, its response topic gets it and the next may go.
  void outcome(const std::string& document);

 private:
  struct Handed {
    CommandFacts facts;
    std::string replyTopic, correlation;
  };

  void run();
  void expire(Clock::time_point now) REQUIRES(mMutex);
  void reply(const std::string& topic, const std::string& correlation, const std::string& document);
  void finalAnswer(const Command& command, const std::string& document);

  const std::string mOutcomeTopic;
  const Answer mAnswer;
  const Hand mHand;

  mutable ksync::Mutex mMutex;
  std::condition_variable mChanged;
  std::deque<Command> mLine GUARDED_BY(mMutex);
  size_t mBytes GUARDED_BY(mMutex) = 0;
  // Handed over, their outcome not yet seen (the newest last).
  std::deque<Handed> mHanded GUARDED_BY(mMutex);
  // The newest handed over is the translator's to answer.
  bool mInFlight GUARDED_BY(mMutex) = false;
  Clock::time_point mInFlightUntil GUARDED_BY(mMutex){};
  unsigned long mExpired GUARDED_BY(mMutex) = 0, mExpiredEpisode GUARDED_BY(mMutex) = 0;
  bool mStop GUARDED_BY(mMutex) = false;
  std::thread mThread;
};

#endif  // KEYD_BRIDGE_COMMAND_LINE_H
