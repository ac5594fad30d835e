// libnemba-lite over ZeroMQ: a PUSH socket towards the bus daemon's
// channeler port, a SUB socket from its broadcaster port, owned by the
// client's receive thread, and the bounded receive queue it fills.
#include "ksync.h"
#include "nlite.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace nlite {

namespace {

using Clock = std::chrono::steady_clock;

// Messages the receive thread takes off its socket before it looks at its
// stop request again.
constexpr int kMaxReadsPerWake = 1000;
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
  // Constant after construction.
  std::shared_ptr<void> ctx;
  std::string appName;
  std::vector<std::string> topics;
  int broadcasterPort = 0;
  bool wantPush = false;  // the client publishes
  bool wantSub = false;   // the client was given subscriptions

  // The publishing side, guarded by `lock`: taken on the user's thread by
  // the constructor, send(), receive(), waitConnected() and setLinger().
  ksync::Mutex lock;
  void* push GUARDED_BY(lock) = nullptr;
  Watch pushWatch GUARDED_BY(lock);
  int linger GUARDED_BY(lock) = 1000;
  Message message GUARDED_BY(lock);  // the one receive() handed out last

  // The receiving side. The SUB socket and its handshake watch belong to
  // the receive thread alone; what it shares is guarded by `queueLock`,
  // taken by the receive thread (to queue) and by the user's thread
  // (receive, waitReadable, waitConnected).
  mutable ksync::Mutex queueLock;
  std::condition_variable queueChanged;  // a message queued, set-up done, handshake seen
  std::deque<Message> queue GUARDED_BY(queueLock);
  unsigned long queuedBytes GUARDED_BY(queueLock) = 0;
  unsigned long dropped GUARDED_BY(queueLock) = 0;
  bool subStarted GUARDED_BY(queueLock) = false;  // the receive thread finished its socket set-up
  bool subOpen GUARDED_BY(queueLock) = false;     // ... and has a connected SUB socket
  bool subWatchFailed GUARDED_BY(queueLock) = false;
  bool subDone GUARDED_BY(queueLock) = false;     // the SUB socket completed a handshake
  Clock::time_point subDoneAt GUARDED_BY(queueLock);
  std::string setupError GUARDED_BY(queueLock);  // first failure of the set-up, either side
  std::thread receiver;
  int wakeFd = -1;  // eventfd: written once to stop the receive thread

  ~Impl();
  void* openSocket(int type, int port, Watch& watch);
  void startWatch(void* socket, Watch& watch);
  void stopWatch(void* socket, Watch& watch);
  void pollWatch(void* socket, Watch& watch);
  void failed(const std::string& what);  // a ZeroMQ call failed
  void failedWith(const std::string& reason);
  bool readOne(void* sub, Message& out, bool& good);
  int sendFrames(const char* app, size_t appSize, const char* buffer, unsigned length, int kind,
                 const char* topic) REQUIRES(lock);
  void enqueue(Message&& m);
  void receiveLoop();
};

void Client::Impl::failed(const std::string& what) {
  failedWith(what + ": " + zmq_strerror(zmq_errno()));
}

void Client::Impl::failedWith(const std::string& reason) {
  ksync::MutexLock guard(queueLock);
  if (setupError.empty()) setupError = reason;
}

void Client::Impl::startWatch(void* socket, Watch& watch) {
  static std::atomic<unsigned long> serial{0};
  // inproc names are per context, shared by every client of the process.
  const std::string endpoint =
      "inproc://nlite-watch-" + std::to_string(serial.fetch_add(1));
  if (zmq_socket_monitor(socket, endpoint.c_str(), ZMQ_EVENT_HANDSHAKE_SUCCEEDED) != 0) {
    failed("socket monitor");
    watch.failed = true;
    return;
  }
  watch.reader = zmq_socket(ctx.get(), ZMQ_PAIR);
  int zero = 0;
  if (!watch.reader ||
      zmq_setsockopt(watch.reader, ZMQ_LINGER, &zero, sizeof zero) != 0 ||
      zmq_connect(watch.reader, endpoint.c_str()) != 0) {
    failed("socket monitor reader");
    watch.failed = true;
    stopWatch(socket, watch);
  }
}

// Once the handshake is seen the monitor goes: its events would otherwise
// pile up unread (one per reconnection), and libzmq's I/O thread blocks on a
// full monitor pipe (about 2000 events). Until then the receive thread reads
// the receiving socket's events as they come, and send(), receive() and
// waitConnected() read the publishing socket's, so only a publishing client
// left unused through that many reconnections could fill it.
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

// A socket set up and connected, or null (the reason is kept). Runs on the
// thread that will use the socket.
void* Client::Impl::openSocket(int type, int port, Watch& watch) {
  const char* side = type == ZMQ_PUSH ? "publishing socket" : "receiving socket";
  void* s = zmq_socket(ctx.get(), type);
  if (!s) {
    failed(std::string(side) + ": zmq_socket");
    watch.failed = true;
    return nullptr;
  }
  // Each option is part of the client's promises (queue bound, frame bound,
  // exact topics): a socket without one of them is not used at all.
  auto option = [&](int name, const void* value, size_t size, const char* what) {
    if (zmq_setsockopt(s, name, value, size) == 0) return true;
    failed(std::string(side) + ": zmq_setsockopt " + what);
    return false;
  };
  bool ok = true;
  if (type == ZMQ_PUSH) {
    int hwm = kSendQueueBound;
    ok = option(ZMQ_SNDHWM, &hwm, sizeof hwm, "ZMQ_SNDHWM");
  } else {
    int hwm = kSendQueueBound;
    int64_t maxSize = kMaxFrame;
    ok = option(ZMQ_RCVHWM, &hwm, sizeof hwm, "ZMQ_RCVHWM") &&
         option(ZMQ_MAXMSGSIZE, &maxSize, sizeof maxSize, "ZMQ_MAXMSGSIZE");
    for (const std::string& t : topics)
      ok = ok && option(ZMQ_SUBSCRIBE, t.data(), t.size(), "ZMQ_SUBSCRIBE");
  }
  // The monitor must be in place before the connection can complete.
  if (ok) startWatch(s, watch);
  // ZMQ_IMMEDIATE stays 0: the pipe exists from here on, so publications
  // queue while the bus daemon is down and survive its restarts.
  const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(port);
  if (ok && zmq_connect(s, endpoint.c_str()) != 0) {
    failed(std::string(side) + ": zmq_connect " + endpoint);
    ok = false;
  }
  if (!ok) {
    if (watch.reader) stopWatch(s, watch);
    watch.failed = true;
    int zero = 0;
    zmq_setsockopt(s, ZMQ_LINGER, &zero, sizeof zero);  // closed at once in any case
    zmq_close(s);
    return nullptr;
  }
  return s;
}

Client::Impl::~Impl() {
  if (receiver.joinable()) {
    const uint64_t one = 1;
    // An eventfd write of 1 cannot fail short of a counter overflow.
    while (::write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    receiver.join();
  }
  if (wakeFd >= 0) ::close(wakeFd);
  if (push) {
    if (pushWatch.reader) stopWatch(push, pushWatch);
    // A failure leaves the default linger, which the context's end bounds.
    zmq_setsockopt(push, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(push);
  }
  // ctx is released after this body; when it is the last holder the
  // context's termination waits for the linger of the socket closed above.
}

Client::Client(const char* appName, int channelerPort, int broadcasterPort,
               const char** subscriptions, unsigned count)
    : mImpl(std::make_unique<Impl>()) {
  Impl& d = *mImpl;
  ksync::MutexLock guard(d.lock);
  d.appName = appName ? appName : "";
  for (unsigned i = 0; subscriptions && i < count; ++i)
    if (subscriptions[i]) d.topics.emplace_back(subscriptions[i]);
  d.broadcasterPort = broadcasterPort;
  d.wantPush = channelerPort > 0;
  d.wantSub = count > 0;
  d.ctx = sharedContext();
  if (!d.ctx) {
    d.failed("zmq_ctx_new");
    return;
  }
  if (d.wantPush) d.push = d.openSocket(ZMQ_PUSH, channelerPort, d.pushWatch);
  if (!d.wantSub) return;
  d.wakeFd = ::eventfd(0, EFD_CLOEXEC);
  if (d.wakeFd < 0) {
    d.failedWith(std::string("receive thread: eventfd: ") + std::strerror(errno));
    return;
  }
  // Started last, on a whole Impl; the SUB socket is made on that thread.
  try {
    d.receiver = std::thread([&d] { d.receiveLoop(); });
  } catch (const std::system_error& e) {
    d.failedWith(std::string("receive thread: ") + e.what());
    return;
  }
  ksync::MutexLock queueGuard(d.queueLock);
  while (!d.subStarted) queueGuard.wait(d.queueChanged);
}

Client::~Client() = default;

// Reads one whole message off the SUB socket. Returns false when none is
// waiting; otherwise sets good and, when good, fills out.
bool Client::Impl::readOne(void* sub, Message& out, bool& good) {
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
  out.mTopic = std::move(topic);
  out.mAppId.assign(frames[1].data(), frames[1].size());
  out.mKind = static_cast<int>(kind);
  out.mPayload.assign(frames[3].data(), frames[3].size());
  good = true;
  return true;
}

// Queues one received message; beyond either bound the oldest go.
void Client::Impl::enqueue(Message&& m) {
  {
    ksync::MutexLock guard(queueLock);
    queuedBytes += m.mPayload.size() + m.mAppId.size();
    queue.push_back(std::move(m));
    while (queue.size() > kReceiveQueueBound || queuedBytes > kReceiveQueueBytes) {
      queuedBytes -= queue.front().mPayload.size() + queue.front().mAppId.size();
      queue.pop_front();
      ++dropped;
    }
  }
  queueChanged.notify_all();
}

// The receive thread: makes the SUB socket, then moves every message that
// arrives into the queue until the client's destructor writes wakeFd.
void Client::Impl::receiveLoop() {
  pthread_setname_np(pthread_self(), "nlite-receive");
  Watch watch;
  void* sub = openSocket(ZMQ_SUB, broadcasterPort, watch);
  {
    ksync::MutexLock guard(queueLock);
    subStarted = true;
    subOpen = sub != nullptr;
    subWatchFailed = watch.failed;
  }
  queueChanged.notify_all();
  bool stop = false;
  while (!stop) {
    zmq_pollitem_t items[3];
    int n = 0;
    items[n++] = zmq_pollitem_t{nullptr, wakeFd, ZMQ_POLLIN, 0};
    if (sub) items[n++] = zmq_pollitem_t{sub, 0, ZMQ_POLLIN, 0};
    if (watch.reader) items[n++] = zmq_pollitem_t{watch.reader, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(items, n, -1) < 0) {
      if (zmq_errno() == EINTR) continue;
      break;  // ETERM cannot come (the context outlives this thread); nothing else can
    }
    if (items[0].revents) stop = true;
    if (watch.reader) {
      pollWatch(sub, watch);
      if (watch.done || watch.failed) {
        {
          ksync::MutexLock guard(queueLock);
          subDone = watch.done;
          subDoneAt = watch.doneAt;
          subWatchFailed = watch.failed;
        }
        queueChanged.notify_all();
      }
    }
    for (int reads = 0; sub && !stop && reads < kMaxReadsPerWake; ++reads) {
      Message m;
      bool good = false;
      if (!readOne(sub, m, good)) break;
      if (good) enqueue(std::move(m));
    }
  }
  if (sub) {
    if (watch.reader) stopWatch(sub, watch);
    int zero = 0;
    zmq_setsockopt(sub, ZMQ_LINGER, &zero, sizeof zero);  // nothing to deliver from a SUB
    zmq_close(sub);
  }
}

// Queues the four frames of one publication; the caller holds `lock`.
int Client::Impl::sendFrames(const char* app, size_t appSize, const char* buffer,
                             unsigned length, int kind, const char* topic) {
  if (push) pollWatch(push, pushWatch);
  const bool valid = push && topic && (buffer || length == 0) && length <= kMaxPayload &&
                     std::strlen(topic) <= kMaxName && appSize <= kMaxName;
  if (!valid) return -1;
  const uint32_t k = static_cast<uint32_t>(kind);
  const unsigned char kindBytes[4] = {
      static_cast<unsigned char>(k >> 24), static_cast<unsigned char>(k >> 16),
      static_cast<unsigned char>(k >> 8), static_cast<unsigned char>(k)};
  // A multipart message is queued whole or not at all: the high-water
  // mark is checked on its first frame only.
  if (zmq_send(push, topic, std::strlen(topic), ZMQ_SNDMORE | ZMQ_DONTWAIT) >= 0 &&
      zmq_send(push, app, appSize, ZMQ_SNDMORE | ZMQ_DONTWAIT) >= 0 &&
      zmq_send(push, kindBytes, sizeof kindBytes, ZMQ_SNDMORE | ZMQ_DONTWAIT) >= 0 &&
      zmq_send(push, buffer, length, ZMQ_DONTWAIT) >= 0)
    return 0;
  return -1;
}

int Client::send(const char* buffer, unsigned length, int kind, const char* topic,
                 void (*callback)(const char*)) {
  Impl& d = *mImpl;
  int result = -1;
  {
    ksync::MutexLock guard(d.lock);
    result = d.sendFrames(d.appName.data(), d.appName.size(), buffer, length, kind, topic);
  }
  if (callback) callback(buffer);
  return result;
}

int Client::sendAs(const char* appId, const char* buffer, unsigned length, int kind,
                   const char* topic) {
  Impl& d = *mImpl;
  ksync::MutexLock guard(d.lock);
  return d.sendFrames(appId ? appId : "", appId ? std::strlen(appId) : 0, buffer, length, kind,
                      topic);
}

Message* Client::receive() {
  Impl& d = *mImpl;
  ksync::MutexLock guard(d.lock);
  if (d.push) d.pollWatch(d.push, d.pushWatch);
  ksync::MutexLock queueGuard(d.queueLock);
  if (d.queue.empty()) return nullptr;
  d.message = std::move(d.queue.front());
  d.queue.pop_front();
  d.queuedBytes -= d.message.mPayload.size() + d.message.mAppId.size();
  return &d.message;
}

bool Client::waitReadable(int timeoutMs) {
  Impl& d = *mImpl;
  ksync::MutexLock queueGuard(d.queueLock);
  if (!d.subOpen) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  while (d.queue.empty())
    if (queueGuard.waitUntil(d.queueChanged, deadline) == std::cv_status::timeout)
      return !d.queue.empty();
  return true;
}

unsigned long Client::droppedCount() const {
  ksync::MutexLock queueGuard(mImpl->queueLock);
  return mImpl->dropped;
}

std::string Client::setupError() const {
  ksync::MutexLock queueGuard(mImpl->queueLock);
  return mImpl->setupError;
}

bool Client::waitConnected(int timeoutMs) {
  Impl& d = *mImpl;
  ksync::MutexLock guard(d.lock);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  // The publishing socket: its monitor is read here, on the user's thread.
  for (;;) {
    if (d.push) d.pollWatch(d.push, d.pushWatch);
    if ((d.wantPush && !d.push) || d.pushWatch.failed) return false;
    if (!d.push || d.pushWatch.done) break;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    zmq_pollitem_t item{d.pushWatch.reader, 0, ZMQ_POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    zmq_poll(&item, 1, static_cast<long>(left) + 1);
  }
  if (!d.wantSub) return true;
  // The receiving socket: its thread reports the handshake; then the
  // subscriptions get their settle time.
  Clock::time_point settled;
  {
    ksync::MutexLock queueGuard(d.queueLock);
    if (!d.subOpen) return false;
    while (!d.subDone && !d.subWatchFailed)
      if (queueGuard.waitUntil(d.queueChanged, deadline) == std::cv_status::timeout &&
          !d.subDone && !d.subWatchFailed)
        return false;
    if (d.subWatchFailed && !d.subDone) return false;
    settled = d.subDoneAt + kSubscribeSettle;
  }
  if (settled > deadline) return false;
  std::this_thread::sleep_until(settled);
  return true;
}

void Client::setLinger(int lingerMs) {
  ksync::MutexLock guard(mImpl->lock);
  mImpl->linger = lingerMs;
}

}  // namespace nlite
