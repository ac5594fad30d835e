// libnemba-lite over ZeroMQ: a PUSH socket towards the bus daemon's
// channeler port, a SUB socket from its broadcaster port.
#include "nlite.h"

#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace nlite {

namespace {

using Clock = std::chrono::steady_clock;

// Waiting messages receive() drops in one call before it gives up.
constexpr int kMaxDropsPerReceive = 1000;
// After the receiving socket's handshake, time for its subscriptions to
// reach the bus daemon (they travel after the handshake, unacknowledged).
constexpr std::chrono::milliseconds kSubscribeSettle{100};

// The process-wide context. The clients hold it; the last one to let go
// terminates it, which waits for queued messages within their linger.
std::shared_ptr<void> sharedContext() {
  static std::mutex lock;
  static std::weak_ptr<void> current;
  std::lock_guard<std::mutex> guard(lock);
  std::shared_ptr<void> ctx = current.lock();
  if (!ctx) {
    void* raw = zmq_ctx_new();
    if (!raw) return nullptr;
    ctx.reset(raw, [](void* c) {
      while (zmq_ctx_term(c) != 0 && errno == EINTR) {
      }
    });
    current = ctx;
  }
  return ctx;
}

// One received frame, closed on scope exit.
struct Frame {
  zmq_msg_t msg;
  Frame() { zmq_msg_init(&msg); }
  ~Frame() { zmq_msg_close(&msg); }
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;
  const char* data() { return static_cast<const char*>(zmq_msg_data(&msg)); }
  size_t size() { return zmq_msg_size(&msg); }
};

// Watches one socket for its first completed handshake.
struct Watch {
  void* reader = nullptr;  // PAIR socket fed by zmq_socket_monitor
  bool failed = false;
  bool done = false;
  Clock::time_point doneAt;
};

}  // namespace

struct Client::Impl {
  std::mutex lock;
  std::shared_ptr<void> ctx;
  std::string appName;
  std::vector<std::string> topics;
  void* push = nullptr;
  void* sub = nullptr;
  bool wantPush = false;  // the client publishes
  bool wantSub = false;   // the client was given subscriptions
  Watch pushWatch, subWatch;
  int linger = 1000;
  Message message;

  ~Impl();
  void* openSocket(int type, int port, Watch& watch);
  void startWatch(void* socket, Watch& watch);
  void stopWatch(void* socket, Watch& watch);
  void pollWatch(void* socket, Watch& watch);
  void pollWatches() {
    if (push) pollWatch(push, pushWatch);
    if (sub) pollWatch(sub, subWatch);
  }
  bool readOne(bool& good);
};

void Client::Impl::startWatch(void* socket, Watch& watch) {
  static std::atomic<unsigned long> serial{0};
  // inproc names are per context, shared by every client of the process.
  const std::string endpoint =
      "inproc://nlite-watch-" + std::to_string(serial.fetch_add(1));
  if (zmq_socket_monitor(socket, endpoint.c_str(), ZMQ_EVENT_HANDSHAKE_SUCCEEDED) != 0) {
    watch.failed = true;
    return;
  }
  watch.reader = zmq_socket(ctx.get(), ZMQ_PAIR);
  int zero = 0;
  if (!watch.reader ||
      zmq_setsockopt(watch.reader, ZMQ_LINGER, &zero, sizeof zero) != 0 ||
      zmq_connect(watch.reader, endpoint.c_str()) != 0) {
    watch.failed = true;
    stopWatch(socket, watch);
  }
}

// Once the handshake is seen the monitor goes: its events would otherwise
// pile up unread (one per reconnection), and libzmq's I/O thread blocks on a
// full monitor pipe (about 2000 events). Until then send(), receive() and
// waitConnected() read the events, so only a client left unused through
// that many reconnections could fill it.
void Client::Impl::stopWatch(void* socket, Watch& watch) {
  zmq_socket_monitor(socket, nullptr, 0);
  if (watch.reader) zmq_close(watch.reader);
  watch.reader = nullptr;
}

void Client::Impl::pollWatch(void* socket, Watch& watch) {
  while (watch.reader) {
    Frame event;
    if (zmq_msg_recv(&event.msg, watch.reader, ZMQ_DONTWAIT) < 0) return;
    bool seen = false;
    if (event.size() >= sizeof(uint16_t)) {
      uint16_t id;
      std::memcpy(&id, event.data(), sizeof id);
      seen = id == ZMQ_EVENT_HANDSHAKE_SUCCEEDED;
    }
    // The second frame (the endpoint) follows the first at once.
    while (zmq_msg_more(&event.msg)) {
      Frame rest;
      if (zmq_msg_recv(&rest.msg, watch.reader, ZMQ_DONTWAIT) < 0) break;
      if (!zmq_msg_more(&rest.msg)) break;
    }
    if (seen) {
      watch.done = true;
      watch.doneAt = Clock::now();
      stopWatch(socket, watch);
    }
  }
}

void* Client::Impl::openSocket(int type, int port, Watch& watch) {
  void* s = zmq_socket(ctx.get(), type);
  if (!s) return nullptr;
  if (type == ZMQ_PUSH) {
    int hwm = kSendQueueBound;
    zmq_setsockopt(s, ZMQ_SNDHWM, &hwm, sizeof hwm);
  } else {
    int hwm = kSendQueueBound;
    int64_t maxSize = kMaxFrame;
    zmq_setsockopt(s, ZMQ_RCVHWM, &hwm, sizeof hwm);
    zmq_setsockopt(s, ZMQ_MAXMSGSIZE, &maxSize, sizeof maxSize);
    for (const std::string& t : topics) zmq_setsockopt(s, ZMQ_SUBSCRIBE, t.data(), t.size());
  }
  // The monitor must be in place before the connection can complete.
  startWatch(s, watch);
  // ZMQ_IMMEDIATE stays 0: the pipe exists from here on, so publications
  // queue while the bus daemon is down and survive its restarts.
  const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(port);
  if (zmq_connect(s, endpoint.c_str()) != 0) {
    if (watch.reader) stopWatch(s, watch);
    watch.failed = true;
    int zero = 0;
    zmq_setsockopt(s, ZMQ_LINGER, &zero, sizeof zero);
    zmq_close(s);
    return nullptr;
  }
  return s;
}

Client::Impl::~Impl() {
  for (auto [socket, watch] : {std::pair{push, &pushWatch}, std::pair{sub, &subWatch}}) {
    if (!socket) continue;
    if (watch->reader) stopWatch(socket, *watch);
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(socket);
  }
  // ctx is released after this body; when it is the last holder the
  // context's termination waits for the linger of the sockets closed above.
}

Client::Client(const char* appName, int channelerPort, int broadcasterPort,
               const char** subscriptions, unsigned count)
    : mImpl(std::make_unique<Impl>()) {
  Impl& d = *mImpl;
  std::lock_guard<std::mutex> guard(d.lock);
  d.appName = appName ? appName : "";
  for (unsigned i = 0; subscriptions && i < count; ++i)
    if (subscriptions[i]) d.topics.emplace_back(subscriptions[i]);
  d.ctx = sharedContext();
  if (!d.ctx) return;
  d.wantPush = channelerPort > 0;
  if (d.wantPush) d.push = d.openSocket(ZMQ_PUSH, channelerPort, d.pushWatch);
  d.wantSub = count > 0;
  if (d.wantSub) d.sub = d.openSocket(ZMQ_SUB, broadcasterPort, d.subWatch);
}

Client::~Client() = default;

int Client::send(const char* buffer, unsigned length, int kind, const char* topic,
                 void (*callback)(const char*)) {
  Impl& d = *mImpl;
  int result = -1;
  {
    std::lock_guard<std::mutex> guard(d.lock);
    d.pollWatches();
    const bool valid = d.push && topic && (buffer || length == 0) && length <= kMaxPayload &&
                       std::strlen(topic) <= kMaxName && d.appName.size() <= kMaxName;
    if (valid) {
      const uint32_t k = static_cast<uint32_t>(kind);
      const unsigned char kindBytes[4] = {
          static_cast<unsigned char>(k >> 24), static_cast<unsigned char>(k >> 16),
          static_cast<unsigned char>(k >> 8), static_cast<unsigned char>(k)};
      // A multipart message is queued whole or not at all: the high-water
      // mark is checked on its first frame only.
      if (zmq_send(d.push, topic, std::strlen(topic), ZMQ_SNDMORE | ZMQ_DONTWAIT) >= 0 &&
          zmq_send(d.push, d.appName.data(), d.appName.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT) >= 0 &&
          zmq_send(d.push, kindBytes, sizeof kindBytes, ZMQ_SNDMORE | ZMQ_DONTWAIT) >= 0 &&
          zmq_send(d.push, buffer, length, ZMQ_DONTWAIT) >= 0) {
        result = 0;
      }
    }
  }
  if (callback) callback(buffer);
  return result;
}

// Reads one whole message off the SUB socket. Returns false when none is
// waiting; otherwise sets good and, when good, fills message.
bool Client::Impl::readOne(bool& good) {
  Frame frames[4];
  size_t n = 0;
  bool more = true;
  good = false;
  // Every further frame of a message is already there once its first is.
  while (more) {
    Frame extra;
    zmq_msg_t* target = n < 4 ? &frames[n].msg : &extra.msg;
    if (zmq_msg_recv(target, sub, ZMQ_DONTWAIT) < 0) {
      if (n == 0) return false;
      break;
    }
    more = zmq_msg_more(target);
    ++n;
  }
  if (n != 4 || more || frames[2].size() != 4 || frames[3].size() > kMaxPayload) return true;
  std::string topic(frames[0].data(), frames[0].size());
  bool subscribed = false;
  for (const std::string& t : topics) subscribed = subscribed || t == topic;
  if (!subscribed) return true;
  const auto* k = reinterpret_cast<const unsigned char*>(frames[2].data());
  const uint32_t kind = (uint32_t{k[0]} << 24) | (uint32_t{k[1]} << 16) |
                        (uint32_t{k[2]} << 8) | uint32_t{k[3]};
  message.mTopic = std::move(topic);
  message.mAppId.assign(frames[1].data(), frames[1].size());
  message.mKind = static_cast<int>(kind);
  message.mPayload.assign(frames[3].data(), frames[3].size());
  good = true;
  return true;
}

Message* Client::receive() {
  Impl& d = *mImpl;
  std::lock_guard<std::mutex> guard(d.lock);
  d.pollWatches();
  if (!d.sub) return nullptr;
  for (int dropped = 0; dropped < kMaxDropsPerReceive; ++dropped) {
    bool good = false;
    if (!d.readOne(good)) return nullptr;
    if (good) return &d.message;
  }
  return nullptr;
}

bool Client::waitReadable(int timeoutMs) {
  Impl& d = *mImpl;
  std::lock_guard<std::mutex> guard(d.lock);
  if (!d.sub) return false;
  zmq_pollitem_t item{d.sub, 0, ZMQ_POLLIN, 0};
  return zmq_poll(&item, 1, timeoutMs < 0 ? 0 : timeoutMs) > 0;
}

bool Client::waitConnected(int timeoutMs) {
  Impl& d = *mImpl;
  std::lock_guard<std::mutex> guard(d.lock);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    d.pollWatches();
    if ((d.wantPush && !d.push) || (d.wantSub && !d.sub) || d.pushWatch.failed ||
        d.subWatch.failed)
      return false;
    const Clock::time_point now = Clock::now();
    const bool pushReady = !d.push || d.pushWatch.done;
    const bool subReady = !d.sub || (d.subWatch.done && now >= d.subWatch.doneAt + kSubscribeSettle);
    if (pushReady && subReady) return true;
    if (now >= deadline) return false;

    Clock::time_point until = deadline;
    if (pushReady && d.sub && d.subWatch.done) until = std::min(until, d.subWatch.doneAt + kSubscribeSettle);
    zmq_pollitem_t items[2];
    int n = 0;
    for (Watch* w : {&d.pushWatch, &d.subWatch})
      if (w->reader) items[n++] = zmq_pollitem_t{w->reader, 0, ZMQ_POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    zmq_poll(items, n, static_cast<long>(left) + 1);
  }
}

void Client::setLinger(int lingerMs) {
  std::lock_guard<std::mutex> guard(mImpl->lock);
  mImpl->linger = lingerMs;
}

}  // namespace nlite
