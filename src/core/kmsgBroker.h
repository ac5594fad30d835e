// kmsgBroker: the translator's single broker. Its constructor performs the
// whole set-up (signals, configuration, logging, key-daemon link, ping
// timer, bus clients); run() is the bus receive loop; onMessage handles what
// the key daemon sends.
//
// Ownership: the broker owns the configuration maps, the mini client, the
// ping timer and the bus link (with its two bus clients) for the life of the
// process; it is never destroyed.
// Threads: constructed and run on the main thread; onMessage runs on the
// mini client's event pump thread. The signal handler may run on any thread
// and only touches the stop flag and the supervisor's signal events; the
// work of SIGHUP and SIGUSR1 runs on the supervisor's thread.
#ifndef CORE_KMSGBROKER_H
#define CORE_KMSGBROKER_H

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Timer.h"
#include "cBusLink.h"
#include "cConfigFile.h"
#include "cKlog.h"
#include "cMiniClient.h"
#include "cObjectListener.h"
#include "cStateUuids.h"
#include "kjson.h"
#include "kmsg.h"
#include "ksync.h"

class siteSum;
class cIncomingMsg;
class cKey;

// Fixed paths of the two configuration files.
extern const char* const kTranslatorConfPath;  // "/etc/ram/keyd-translator.conf"
extern const char* const kBusConfPath;         // "/etc/ram/nembad.conf"

// The stop flag: written by the signal handler, read by the run loop.
extern std::atomic<int> gStopRequested;
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag must be signal-safe");

class kmsgBroker;
extern kmsgBroker* gBroker;

// The handler of SIGINT and SIGTERM, installed with SA_SIGINFO: it calls the
// handler that was in force before the broker's (a real function, not the
// default or ignore disposition) with what it got, then sets the stop flag.
// It is also the handler of SIGHUP and SIGUSR1, which it only hands to the
// supervisor (cSupervisor::raise).
extern "C" void brokerSignalHandler(int signal, siginfo_t* info, void* context);

// Creates the broker once and runs its loop on the calling thread; a second
// call writes its banner line and returns at once.
void startBroker();

// One value of an audit line (category "audit", key=value pairs): "-" when
// absent; a JSON string when it holds a blank, a quote or a control
// character, or is empty or "-" itself; else the text (bytes that are not
// UTF-8 repaired).
std::string auditValue(std::optional<std::string_view> value);

class kmsgBroker : public cKlog, public cObjectListener {
 public:
  // The key daemon's fixed UDP port.
  static constexpr int kKeyDaemonPort = KMSG_DAEMON_PORT;

  kmsgBroker();
  ~kmsgBroker() override;
  kmsgBroker(const kmsgBroker&) = delete;
  kmsgBroker& operator=(const kmsgBroker&) = delete;

  // The bus receive loop: one receive per second until a stop is requested;
  // a cSupervisor serves the service manager and the signals meanwhile.
  void run();

  // One message from the key daemon, lent by the event pump; pump thread.
  void onMessage(KMsg* msg) override;

  // One bus command text (bytes, not terminated) from the application
  // `appId` (null when unknown, as for tests); main thread. Returns 0 when
  // the command is missing, or a lock or unlock lacks "RFID" or "state"; 1
  // otherwise. Every text, whatever it holds, is answered with one
  // document on the bus topic "outcome".
  int handleJSON_message(const char* text, size_t length, const char* appId = nullptr);

  // The current state UUID text, or null before the first "site_info".
  // Pump thread (tests read it while the pump is idle).
  const char* getStateUuid() const { return mStateUuid ? mStateUuid->c_str() : nullptr; }
  bool cfgRequested() const { return mCfgRequested.load(); }
  cMiniClient& miniClient() { return *mMiniClient; }

  // The service status line: "key daemon last heard N s ago" (or "never
  // heard"), then ", N reports, N publications, N commands". Any thread.
  std::string statusLine() const;
  // "last heard N s ago" or "never heard": when a datagram of the key
  // daemon last arrived. Any thread.
  std::string lastHeard() const;
  // The same for the counters line: "Ns" (seconds ago) or "never".
  std::string heardToken() const;
  std::optional<long long> secondsSinceHeard() const;
  // Writes the counters line on the category "stats". Any thread.
  void logStats() const;
  // Applies the log4cpp settings of the configuration file again and says
  // so (or why not) in one line. Any thread but a logging one's handler.
  void reloadLogging() const;

 protected:
  // Key-daemon side, on the pump thread.
  void handleSetMsg(KMsg* msg);
  void handleReqMsg(KMsg* msg);
  void handleEvtMsg(KMsg* msg);
  void generateStateUuid();
  void setStateUuid(const char* uuid);
  // Serialises the document and sends it on the topic "command"; the
  // result of the send (0: queued).
  int publishCommand(const JsonPtr& document);

  // Bus side, on the main thread.
  std::optional<std::string_view> getJSONString(const char* name, json_t* object);
  void parseCmdType(std::string_view value, cIncomingMsg& message);
  // What became of a command: no request built, a request queued for the
  // key daemon, or one dropped (the transmit queue was full).
  enum class Fate { none, queued, dropped };
  Fate handleIncomingMsg(cIncomingMsg& message);
  std::unique_ptr<KMsg> createCmd(const cIncomingMsg& message);

 private:
  // Steps of a report (pump thread), in the order handleSetMsg takes them.
  struct SetValues;
  // Which publication a report's status or battery level makes.
  enum class SetReply { none, lock, transfer, battery };
  // Text values are read within this many bytes, terminator included.
  static constexpr unsigned short kTextLimit = 128;
  void readSetTags(KMsg* msg, SetValues& v, bool detail);
  bool readSetTag(const KTag* tag, SetValues& v, char (&scratch)[kTextLimit], bool detail);
  bool readText(const KTag* tag, char (&scratch)[kTextLimit], std::string& field,
                const char* line, bool scratchShown);
  template <class T, class Field>
  bool readNumber(const KTag* tag, Field& field, const char* line);
  void readLockTag(const KTagBytes& tag, SetValues& v, bool detail);
  bool isSiteConfiguration(const SetValues& v, bool detail);
  SetReply whichReply(const SetValues& v);
  std::unique_ptr<siteSum> buildCandidate(SetValues& v, cKey*& listOwner);
  JsonPtr commandDocument(const char* cmd) const;
  void sendLockReply(SetValues& v, cKey* listOwner);
  void sendTransferReply(const SetValues& v);
  void sendBatteryReply(const SetValues& v);
  void logLockList(bool haveLocks) const;
  void handleCfg(std::unique_ptr<siteSum>& candidate);
  void adopt(std::unique_ptr<siteSum>& candidate);
  void replace(std::unique_ptr<siteSum>& candidate);
  void sendPing();
  void sendSiteInfo();
  // Serialises and publishes on a topic; the result of nlite::Client::send.
  int publish(const JsonPtr& document, const char* topic);
  // Publishes what became of one bus text on the bus topic "outcome":
  // {"command", "app", ["rfid",] ["state",] "outcome"}, "-" for an absent
  // command name or application id (main thread).
  void publishOutcome(std::optional<std::string_view> command, const char* appId,
                      std::optional<std::string_view> rfid, std::optional<std::string_view> state,
                      const char* outcome);
  // The audit line of a lock or unlock command (main thread).
  void auditCommand(std::string_view command, const char* appId,
                    std::optional<std::string_view> rfid, std::optional<std::string_view> state,
                    const char* outcome) const;

 private:
  std::unique_ptr<cConfigFile> mConfMap;
  std::unique_ptr<cConfigFile> mBusConfMap;
  std::unique_ptr<cMiniClient> mMiniClient;
  std::unique_ptr<cBusLink> mBus;  // publishes on the pump thread, receives on the main thread
  // The current site summary: replaced only on the pump thread, under
  // mSiteSumMutex; searched on the main thread under the same mutex. The
  // pump thread reads it without the mutex (it is the only writer). Never
  // held across a bus send or a socket write.
  ksync::Mutex mSiteSumMutex;
  std::unique_ptr<siteSum> mCurrentSiteSum GUARDED_BY(mSiteSumMutex);
  // The pump thread's view of mCurrentSiteSum, read without the mutex: the
  // pump is its only writer, so nothing changes it under the pump.
  siteSum* pumpSiteSum() const NO_THREAD_SAFETY_ANALYSIS { return mCurrentSiteSum.get(); }
  std::optional<std::string> mStateUuid;  // pump thread
  std::string mSiteInfoText;              // pump thread: the "site_info" text being made
  cStateUuids mStateUuids;                // pump thread
  bool mFirstOpen = true;                 // pump thread
  std::atomic<bool> mCfgRequested{false};  // set by the main thread, cleared by the pump
  std::unique_ptr<cDustyTimer> mPingTimer;

  // The audit trail of lock commands and lock replies, and the counters.
  cKlog mAudit{"audit"};
  cKlog mStats{"stats"};
  const std::chrono::steady_clock::time_point mStarted = std::chrono::steady_clock::now();
  // Counted without a lock by the one thread that does the thing; read by
  // any. Publications count when the bus client took them.
  std::atomic<unsigned long> mSiteInfoSent{0}, mPingsSent{0}, mUpdateLockSent{0},
      mUpdateKeySent{0};                     // pump thread
  std::atomic<unsigned long> mCommands{0};   // main thread: bus texts received
  std::atomic<unsigned long> mPasses{0};     // main thread: run loop passes completed
};

#endif  // CORE_KMSGBROKER_H
