// cMqttLink: keyd-bridge's side of the MQTT broker. One thread of its own
// ("bridge-mqtt") owns the libmosquitto client and everything it does:
// connecting (MQTT 5, or 3.1.1 when the broker refuses 5) and reconnecting
// with a jittered backoff, the status topic and its last will, taking the
// outbox's publications to the broker (QoS 1) and handing each command of
// the site's command topic to `deliver`: taken (with its deadline and
// response topic), or refused with the reason (retained, too large, not
// UTF-8, or, with a key, not signed right).
//
// Ownership: borrows the settings and the outbox, which outlive it; owns
// the client, the thread and its wake-up eventfd.
// Threads: constructed, started and stopped on the main thread; wake() and
// the counters on any thread; `deliver` is called on the link's thread.
#ifndef KEYD_BRIDGE_MQTT_LINK_H
#define KEYD_BRIDGE_MQTT_LINK_H

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "cKlog.h"
#include "command_line.h"
#include "outbox.h"
#include "settings.h"
#include "signature.h"

class cMqttLink : private cKlog {
 public:
  // A command from the broker and null, when it is to be taken: valid UTF-8
  // of at most 256 KiB, its facts naming the application id it is to carry
  // on the bus; or a command refused, with the reason of its outcome.
  using Deliver = std::function<void(cCommandLine::Command command, const char* refusal)>;

  // Longest payload taken from the broker; a longer one is dropped.
  static constexpr size_t kMaxPayload = 256 * 1024;
  // Publications handed to libmosquitto and not yet acknowledged, at most.
  static constexpr int kMaxInflight = 100;

  cMqttLink(const BridgeSettings& settings, cOutbox& outbox, Deliver deliver);
  ~cMqttLink();  // stops (as stop()) when still running
  cMqttLink(const cMqttLink&) = delete;
  cMqttLink& operator=(const cMqttLink&) = delete;

  // Sets the client up and starts the thread, which connects at once.
  // False, with the reason, when libmosquitto refuses the settings.
  bool start(std::string& failure);
  // The outbox has something new. Async-signal-unsafe; any thread.
  void wake();
  // The orderly end: what waits in the outbox goes to the broker, then
  // "offline" on the status topic; within one bound (5 s), and only when
  // connected. Joins the thread.
  void stop();

  bool connected() const { return mConnected.load(); }
  // HOST:PORT of the broker in use or tried now. Any thread.
  std::string where() const { return mSettings.brokers[mNode.load()].where(); }
  unsigned long sent() const { return mSent.load(); }          // handed to the broker
  unsigned long received() const { return mReceived.load(); }  // commands delivered

  // The application id of a command on the bus: its MQTT 5 user property
  // "app" (the first) when usableAppId, else kOwnAppId.
  static constexpr const char* kOwnAppId = "keyd-bridge";
  static std::optional<std::string> appProperty(const mosquitto_property* properties);
  // The first MQTT 5 user property named key, or nullopt.
  static std::optional<std::string> userProperty(const mosquitto_property* properties,
                                                 const char* key);
  // The first of each of the user properties "app", "expires", "nonce", "sig".
  static cSignatureCheck::Signed signedProperties(const mosquitto_property* properties);
  static bool usableAppId(const std::string& id);  // 1 to 64 of [A-Za-z0-9._:@-]

 private:
  using Clock = std::chrono::steady_clock;

  void loop();
  void service(int timeoutMs);
  void attempt();
  bool hand(const std::string& topic, const std::string& payload, bool retain,
            const std::string& correlation = "");
  void pump();
  void finish();
  void scheduleRetry(const char* what, const std::string& why);
  void onConnect(int rc);
  void onDisconnect(int rc);
  void onPublish(int rc);
  void onMessage(const mosquitto_message* msg, const mosquitto_property* props);
  const char* refusal(const mosquitto_message* msg, const mosquitto_property* props,
                      const std::string& payload);
  void readProperties(const mosquitto_property* props, cCommandLine::Command& command);

  static void connectCb(mosquitto*, void* self, int rc, int flags, const mosquitto_property*);
  static void disconnectCb(mosquitto*, void* self, int rc, const mosquitto_property*);
  static void publishCb(mosquitto*, void* self, int mid, int rc, const mosquitto_property*);
  static void messageCb(mosquitto*, void* self, const mosquitto_message*,
                        const mosquitto_property*);
  static void logCb(mosquitto*, void* self, int level, const char* text);

  // Constant after construction.
  const BridgeSettings& mSettings;
  cOutbox& mOutbox;
  const Deliver mDeliver;
  std::string mWhere;  // HOST:PORT of the broker in use (the link's thread)
  const std::string mStatusTopic, mCommandTopic;

  // The link's thread only (and the main thread before start / after join).
  mosquitto* mMosq = nullptr;
  int mVersion = 5;        // MQTT protocol version in use
  bool mUp = false;        // this connection's CONNACK accepted it
  bool mOpen = false;      // a connection is made or on its way, not yet reported closed
  bool mRetryNow = false;  // the next attempt goes at once (protocol fallback)
  bool mGreet = false;     // connected: subscribe and say "online" once out of the callback
  int mInflight = 0;
  std::chrono::milliseconds mBackoff{1000};
  // The broker of mSettings.brokers tried or in use: the link's thread
  // changes it, any thread may read it.
  std::atomic<size_t> mNode{0};
  // The last "site_info" handed to a broker, published again on each
  // connection (a broker reached after another may not have it).
  std::optional<std::string> mLastSiteInfo;
  Clock::time_point mNextAttempt{};
  std::mt19937 mRandom;
  std::optional<cSignatureCheck> mSignatures;  // with a key only

  int mWakeFd = -1;
  std::atomic<bool> mStopping{false};
  std::atomic<bool> mConnected{false};
  std::atomic<unsigned long> mSent{0}, mReceived{0};
  std::thread mThread;  // last: started once everything else exists
};

#endif  // KEYD_BRIDGE_MQTT_LINK_H
