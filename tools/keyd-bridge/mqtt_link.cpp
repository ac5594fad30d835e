// The bridge's MQTT side: libmosquitto driven by a poll loop of our own,
// so a publication from the bus wakes it at once and the backoff is ours.
#include "mqtt_link.h"

#include <mqtt_protocol.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kjson.h"
#include "texts.h"

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{1000}, kLastBackoff{60000};
// How long an orderly stop waits for the broker to take what waits.
constexpr std::chrono::seconds kStopBound{5};

// A library text without its closing period.
std::string reason(int rc, bool mqttReason) {
  std::string text = rc == MOSQ_ERR_ERRNO ? std::strerror(errno)
                     : mqttReason         ? mosquitto_reason_string(rc)
                                          : mosquitto_strerror(rc);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

}  // namespace

cMqttLink::cMqttLink(const BridgeSettings& settings, cOutbox& outbox, Deliver deliver)
    : cKlog("keyd-bridge"),
      mSettings(settings),
      mOutbox(outbox),
      mDeliver(std::move(deliver)),
      mWhere(settings.brokers.front().where()),
      mStatusTopic(settings.topic("status")),
      mCommandTopic(settings.topic("TransGlam")),
      mRandom(std::random_device{}()) {
  if (!settings.key.empty()) mSignatures.emplace(settings.key, settings.site);
}

cMqttLink::~cMqttLink() {
  if (mThread.joinable()) stop();
  if (mMosq) mosquitto_destroy(mMosq);
  if (mWakeFd >= 0) ::close(mWakeFd);
}

bool cMqttLink::start(std::string& failure) {
  mWakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (mWakeFd < 0) {
    failure = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  // One client id per site: a second bridge of the same site takes over.
  // A clean session: commands sent while the site was away are not acted
  // on later, when nobody may expect it any more.
  mMosq = mosquitto_new(("keyd-bridge-" + mSettings.site).c_str(), true, this);
  if (!mMosq) {
    failure = std::string("mosquitto_new: ") + std::strerror(errno);
    return false;
  }
  auto check = [&failure](int rc, const std::string& what) {
    if (rc != MOSQ_ERR_SUCCESS) failure = what + ": " + reason(rc, false);
    return rc == MOSQ_ERR_SUCCESS;
  };
  const char* offline = "offline";
  if (!check(mosquitto_int_option(mMosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5), "MQTT 5") ||
      !check(mosquitto_will_set_v5(mMosq, mStatusTopic.c_str(), 7, offline, 1, true, nullptr),
             "last will") ||
      !check(mosquitto_max_inflight_messages_set(mMosq, kMaxInflight), "inflight bound"))
    return false;
  if ((!mSettings.username.empty() || mSettings.password) &&
      !check(mosquitto_username_pw_set(
                 mMosq, mSettings.username.empty() ? nullptr : mSettings.username.c_str(),
                 mSettings.password ? mSettings.password->c_str() : nullptr),
             "username and password"))
    return false;
  // The server's certificate is verified against the CA file, its host
  // name included.
  auto orNull = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
  if (mSettings.tls() &&
      !check(mosquitto_tls_set(mMosq, mSettings.cafile.c_str(), nullptr, orNull(mSettings.certfile),
                               orNull(mSettings.keyfile), nullptr),
             "TLS files " + mSettings.cafile + " " + mSettings.certfile + " " + mSettings.keyfile))
    return false;
  mosquitto_connect_v5_callback_set(mMosq, connectCb);
  mosquitto_disconnect_v5_callback_set(mMosq, disconnectCb);
  mosquitto_publish_v5_callback_set(mMosq, publishCb);
  mosquitto_message_v5_callback_set(mMosq, messageCb);
  mosquitto_log_callback_set(mMosq, logCb);
  mThread = std::thread([this] {
    pthread_setname_np(pthread_self(), "bridge-mqtt");
    loop();
  });
  return true;
}

void cMqttLink::wake() {
  const uint64_t one = 1;
  if (mWakeFd >= 0) (void)!::write(mWakeFd, &one, sizeof one);
}

void cMqttLink::stop() {
  mStopping.store(true);
  wake();
  if (mThread.joinable()) mThread.join();
}

void cMqttLink::loop() {
  attempt();
  while (!mStopping.load()) {
    const bool open = mosquitto_socket(mMosq) >= 0;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(mNextAttempt - Clock::now());
    // Open: at least once a second for the keep-alive (loop_misc).
    service(open ? 1000 : static_cast<int>(std::clamp<long long>(wait.count(), 0, 1000)));
    if (mosquitto_socket(mMosq) < 0 && !mStopping.load() && Clock::now() >= mNextAttempt) attempt();
    pump();
  }
  finish();
}

// One pass: waits up to timeoutMs for the socket or a wake-up, then lets
// libmosquitto read, write and keep the connection alive. Its callbacks run
// from here.
void cMqttLink::service(int timeoutMs) {
  const int sock = mosquitto_socket(mMosq);
  pollfd fds[2] = {
      {mWakeFd, POLLIN, 0},
      {sock, static_cast<short>(POLLIN | (mosquitto_want_write(mMosq) ? POLLOUT : 0)), 0}};
  ::poll(fds, sock >= 0 ? 2 : 1, timeoutMs);
  uint64_t count;
  (void)!::read(mWakeFd, &count, sizeof count);
  if (sock < 0) return;
  int rc = MOSQ_ERR_SUCCESS;
  if (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) rc = mosquitto_loop_read(mMosq, 1);
  if (mosquitto_socket(mMosq) >= 0 && mosquitto_want_write(mMosq))
    rc = mosquitto_loop_write(mMosq, 1);
  if (mosquitto_socket(mMosq) >= 0) mosquitto_loop_misc(mMosq);
  // A connection that fails during its TLS set-up ends without the
  // disconnect callback.
  if (mOpen && mosquitto_socket(mMosq) < 0)
    onDisconnect(rc != MOSQ_ERR_SUCCESS ? rc : MOSQ_ERR_CONN_LOST);
  if (mGreet && mUp) {
    // Retained commands are never sent (MQTT 5), and one published retained
    // meanwhile comes with its flag, so it is refused (onMessage).
    const int options =
        mVersion == 5 ? MQTT_SUB_OPT_SEND_RETAIN_NEVER | MQTT_SUB_OPT_RETAIN_AS_PUBLISHED : 0;
    mosquitto_subscribe_v5(mMosq, nullptr, mCommandTopic.c_str(), 1, options, nullptr);
    hand(mStatusTopic, "online", true);
    // A broker reached after another may not hold the site's retained
    // configuration (a node of a cluster that lost it, a broker of its
    // own): it is published again, unless a newer one waits in the outbox.
    if (mLastSiteInfo && !mOutbox.holdsSiteInfo()) hand(mSettings.topic("site_info"), *mLastSiteInfo, true);
  }
  mGreet = false;
}

void cMqttLink::attempt() {
  mUp = false;
  // Should a failure go by without a callback, the next attempt still waits.
  mNextAttempt = Clock::now() + mBackoff;
  const BridgeSettings::Broker& broker = mSettings.brokers[mNode.load()];
  mWhere = broker.where();
  const int rc =
      mosquitto_connect_async(mMosq, broker.host.c_str(), broker.port, mSettings.keepalive);
  mOpen = rc == MOSQ_ERR_SUCCESS;
  if (!mOpen) scheduleRetry("No connection to", reason(rc, false));
}

void cMqttLink::scheduleRetry(const char* what, const std::string& why) {
  // Jittered within the upper half of the backoff, so sites that lost one
  // broker together do not come back together.
  std::uniform_int_distribution<long> half(mBackoff.count() / 2, mBackoff.count());
  const std::chrono::milliseconds delay(half(mRandom));
  mNextAttempt = Clock::now() + delay;
  // With several brokers the next attempt goes to the next of them.
  const size_t next = (mNode.load() + 1) % mSettings.brokers.size();
  const std::string then =
      next == mNode.load() ? std::string() : " at " + mSettings.brokers[next].where();
  warn("%s the MQTT broker %s (%s); next attempt in %.1f s%s", what, mWhere.c_str(), why.c_str(),
       static_cast<double>(delay.count()) / 1000, then.c_str());
  mNode = next;
  mBackoff = std::min(mBackoff * 2, kLastBackoff);
}

// Hands one QoS 1 publication to libmosquitto; false when it refused it.
// A failed write leaves the message with libmosquitto, which sends it again
// after the next connection, so it counts as taken.
bool cMqttLink::hand(const std::string& topic, const std::string& payload, bool retain,
                     const std::string& correlation) {
  mosquitto_property* props = nullptr;
  if (!correlation.empty() && mVersion == 5)
    mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                  static_cast<uint16_t>(correlation.size()));
  const int rc =
      mosquitto_publish_v5(mMosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                           payload.data(), 1, retain, props);
  mosquitto_property_free_all(&props);
  if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_ERRNO && rc != MOSQ_ERR_NO_CONN &&
      rc != MOSQ_ERR_CONN_LOST) {
    warn("Could not publish %zu bytes on %s (%s): dropped", payload.size(), shown(topic).c_str(),
         reason(rc, false).c_str());
    return false;
  }
  ++mInflight;
  debug("To the broker on %s: %zu bytes", shown(topic).c_str(), payload.size());
  return true;
}

void cMqttLink::pump() {
  while (mUp && mInflight < kMaxInflight) {
    std::optional<cOutbox::Item> item = mOutbox.pop();
    if (!item) return;
    hand(item->topic, item->payload, item->siteInfo, item->correlation);
    if (item->siteInfo) mLastSiteInfo = std::move(item->payload);
  }
}

void cMqttLink::finish() {
  const auto deadline = Clock::now() + kStopBound;
  auto serviceUntil = [&](auto done) {
    while (mUp && !done() && Clock::now() < deadline) {
      pump();
      service(100);
    }
  };
  serviceUntil([&] { return mOutbox.size() == 0 && mInflight == 0; });
  if (mUp) {
    hand(mStatusTopic, "offline", true);
    serviceUntil([&] { return mInflight == 0; });
  }
  const size_t left = mOutbox.size() + static_cast<size_t>(std::max(mInflight, 0));
  if (mUp && mInflight == 0) {
    info("Stopped: \"offline\" published on %s", mStatusTopic.c_str());
    mosquitto_disconnect(mMosq);
    service(0);
  } else if (mUp) {
    // The connection just ends, so the broker publishes the last will.
    warn("Stopped before the broker acknowledged everything: %zu messages may be lost", left);
  } else {
    warn("Stopped without a connection to the broker: %zu messages not delivered", left);
  }
}

void cMqttLink::onConnect(int rc) {
  if (rc == 0) {
    mUp = true;
    mConnected.store(true);
    mBackoff = kFirstBackoff;
    info("Connected to the MQTT broker %s (MQTT %s)", mWhere.c_str(),
         mVersion == 5 ? "5" : "3.1.1");
    mGreet = true;  // once out of the callback (libmosquitto holds its locks in it)
    return;
  }
  // A broker of MQTT 3.1.1 answers a version 5 CONNECT with its own refusal.
  if (mVersion == 5 &&
      (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || rc == CONNACK_REFUSED_PROTOCOL_VERSION)) {
    mVersion = 4;
    mosquitto_int_option(mMosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mRetryNow = true;
    warn(
        "The MQTT broker %s refused MQTT 5: using MQTT 3.1.1, so every command from it carries "
        "the application id %s",
        mWhere.c_str(), kOwnAppId);
    return;
  }
  warn("The MQTT broker %s refused the connection (%s)", mWhere.c_str(),
       (mVersion == 5 ? reason(rc, true) : std::string(mosquitto_connack_string(rc))).c_str());
}

void cMqttLink::onDisconnect(int rc) {
  const int saved = errno;
  const bool wasUp = mUp;
  mUp = false;
  mOpen = false;
  mConnected.store(false);
  if (mStopping.load()) return;
  if (mRetryNow) {
    mRetryNow = false;
    mNextAttempt = Clock::now();
    return;
  }
  errno = saved;
  scheduleRetry(wasUp ? "Lost the connection to" : "No connection to", reason(rc, rc >= 128));
}

void cMqttLink::onPublish(int rc) {
  // An MQTT 5 broker may refuse a publication it acknowledges (say, its
  // access rules forbid the topic).
  if (rc >= 128) warn("The MQTT broker refused a publication (%s)", reason(rc, true).c_str());
  --mInflight;
  mSent.fetch_add(1);
}

std::optional<std::string> cMqttLink::userProperty(const mosquitto_property* props,
                                                   const char* key) {
  char* name = nullptr;
  char* value = nullptr;
  for (const mosquitto_property* p = mosquitto_property_read_string_pair(
           props, MQTT_PROP_USER_PROPERTY, &name, &value, false);
       p;
       p = mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, true)) {
    std::unique_ptr<char, decltype(&std::free)> n(name, &std::free), v(value, &std::free);
    if (name && value && std::strcmp(name, key) == 0) return std::string(value);
  }
  return std::nullopt;
}

std::optional<std::string> cMqttLink::appProperty(const mosquitto_property* props) {
  return userProperty(props, "app");
}

bool cMqttLink::usableAppId(const std::string& id) {
  return !id.empty() && id.size() <= 64 && std::all_of(id.begin(), id.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("._:@-", c) != nullptr;
  });
}

cSignatureCheck::Signed cMqttLink::signedProperties(const mosquitto_property* props) {
  return {userProperty(props, "app"), userProperty(props, "expires"), userProperty(props, "nonce"),
          userProperty(props, "sig")};
}

// The command's deadline (its message expiry interval, else command.max_age
// from now) and response topic: only one under PREFIX/SITE/outcome/ is
// answered.
void cMqttLink::readProperties(const mosquitto_property* props, cCommandLine::Command& command) {
  uint32_t expiry = 0;
  command.deadline = command.arrived + std::chrono::seconds(mSettings.maxAge);
  if (mosquitto_property_read_int32(props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &expiry, false))
    command.deadline = command.arrived + std::chrono::seconds(expiry);
  char* topic = nullptr;
  if (!mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &topic, false)) return;
  std::unique_ptr<char, decltype(&std::free)> owned(topic, &std::free);
  const std::string ours = mSettings.topic("outcome") + "/";
  if (!topic || std::strncmp(topic, ours.c_str(), ours.size()) != 0 || !topic[ours.size()]) {
    warn(
        "A command from the broker names the response topic \"%s\", not one under %s: it gets "
        "no answer there",
        shown(topic ? topic : "").c_str(), ours.c_str());
    return;
  }
  command.replyTopic = topic;
  void* data = nullptr;
  uint16_t length = 0;
  if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &length, false)) {
    command.correlation.assign(static_cast<const char*>(data), length);
    std::free(data);
  }
}

// Why a command from the broker is refused, or null. The lines of the size
// and the UTF-8 check name the topic, which is the site's command topic.
const char* cMqttLink::refusal(const mosquitto_message* msg, const mosquitto_property* props,
                               const std::string& payload) {
  const size_t size = static_cast<size_t>(std::max(msg->payloadlen, 0));
  if (msg->retain) {
    warn(
        "Dropped a retained message of %zu bytes from the broker on %s: a command is never "
        "taken from a retained message",
        size, shown(msg->topic).c_str());
    return "retained";
  }
  if (size > kMaxPayload) {
    warn("Dropped a message of %zu bytes from the broker on %s: over %zu bytes", size,
         shown(msg->topic).c_str(), kMaxPayload);
    return "too large";
  }
  if (repairUtf8(payload) != payload) {
    warn("Dropped a message of %zu bytes from the broker on %s: not valid UTF-8", size,
         shown(msg->topic).c_str());
    return "not UTF-8";
  }
  if (!mSignatures) return nullptr;
  const char* why = mSignatures->check(signedProperties(props), payload, std::time(nullptr));
  if (why)
    warn("Refused a command of %zu bytes from the broker on %s: %s", size,
         shown(msg->topic).c_str(), why);
  return why;
}

void cMqttLink::onMessage(const mosquitto_message* msg, const mosquitto_property* props) {
  // Only the site's command topic is subscribed; anything else stays out.
  if (!msg->topic || mCommandTopic != msg->topic) return;
  const size_t size = static_cast<size_t>(std::max(msg->payloadlen, 0));
  cCommandLine::Command command;
  command.arrived = Clock::now();
  if (size <= kMaxPayload) command.payload.assign(static_cast<const char*>(msg->payload), size);
  std::optional<std::string> app = appProperty(props);
  if (app && !usableAppId(*app)) {
    warn(
        "A command from the broker names an application id that is not 1 to 64 of "
        "[A-Za-z0-9._:@-] (%zu bytes); it goes on the bus as %s",
        app->size(), kOwnAppId);
    app.reset();
  }
  readProperties(props, command);
  const char* why = refusal(msg, props, command.payload);
  command.facts = factsOf(command.payload, app ? *app : kOwnAppId, size <= kMaxPayload);
  if (!why) {
    mReceived.fetch_add(1);
    debug("From the broker: %zu bytes as %s", size, command.facts.app.c_str());
  }
  mDeliver(std::move(command), why);
}

void cMqttLink::connectCb(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
  static_cast<cMqttLink*>(self)->onConnect(rc);
}
void cMqttLink::disconnectCb(mosquitto*, void* self, int rc, const mosquitto_property*) {
  static_cast<cMqttLink*>(self)->onDisconnect(rc);
}
void cMqttLink::publishCb(mosquitto*, void* self, int, int rc, const mosquitto_property*) {
  static_cast<cMqttLink*>(self)->onPublish(rc);
}
void cMqttLink::messageCb(mosquitto*, void* self, const mosquitto_message* msg,
                          const mosquitto_property* props) {
  static_cast<cMqttLink*>(self)->onMessage(msg, props);
}
// libmosquitto's own errors and warnings (a certificate that does not
// verify, for one) go to the log; its chatter does not.
void cMqttLink::logCb(mosquitto*, void* self, int level, const char* text) {
  if (level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING))
    static_cast<cMqttLink*>(self)->warn("libmosquitto: %s", shown(text ? text : "").c_str());
}
