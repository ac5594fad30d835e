// cMiniClient: the UDP link to the key daemon (connect, transmit and receive
// threads, keep-alive) and its event pump.
#include "cMiniClient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "kmsg.h"

namespace {

void nameThisThread(const char* name) { pthread_setname_np(pthread_self(), name); }

const char* errorText(int err, char* buf, size_t len) {
  // GNU strerror_r returns the text, which may or may not be buf.
  return strerror_r(err, buf, len);
}

}  // namespace

// ---------------------------------------------------------------- event pump

cMiniClient::cEventPump::cEventPump() : mLog("cMiniClient::cEventPump") {
  mThread = std::thread([this] {
    nameThisThread("keyd-pump");
    pumpLoop();
  });
}

cMiniClient::cEventPump::~cEventPump() {
  {
    ksync::MutexLock lock(mQueueMutex);
    mStop = true;
  }
  mEventReady.notify_all();
  mRoom.notify_all();
  if (mThread.joinable()) mThread.join();
}

void cMiniClient::cEventPump::addListener(cObjectListener* listener) {
  ksync::MutexLock lock(mListenerMutex);
  mListeners.push_back(listener);
}

void cMiniClient::cEventPump::removeListener(cObjectListener* listener) {
  ksync::MutexLock lock(mListenerMutex);
  for (auto it = mListeners.begin(); it != mListeners.end();) {
    it = (*it == listener) ? mListeners.erase(it) : it + 1;
  }
}

bool cMiniClient::cEventPump::waitForRoom(ksync::MutexLock& lock) {
  ++mFullCount;
  // Once per overload and at most once per kOverloadReport, not once per
  // datagram: under a flood these lines would otherwise fill the log on the
  // RAM disk. The "drained" line that ends a told overload counts the pauses.
  const auto now = std::chrono::steady_clock::now();
  if (!mOverloaded && (!mOverloadTold || now - *mOverloadTold >= kOverloadReport)) {
    mOverloaded = true;
    mOverloadTold = now;
    mLog.warn("Event queue full (%zu messages): receiving paused", mEventQueue.size());
  }
  mEventReady.notify_one();
  // Woken when the pump has taken half the queue off, not for every
  // message it takes: the two threads then take turns in batches.
  mPosterWaiting = true;
  while (!mStop && mEventQueue.size() > kQueueBound / 2) lock.wait(mRoom);
  mPosterWaiting = false;
  return !mStop;
}

void cMiniClient::cEventPump::postEvent(KMsg* msg) {
  std::vector<std::unique_ptr<KMsg>> one, delivered;
  one.emplace_back(msg);
  postEvents(one, delivered);
}

void cMiniClient::cEventPump::postEvents(std::vector<std::unique_ptr<KMsg>>& batch,
                                         std::vector<std::unique_ptr<KMsg>>& delivered) {
  {
    ksync::MutexLock lock(mQueueMutex);
    for (auto& msg : batch) {
      if (mEventQueue.size() >= kQueueBound && !waitForRoom(lock)) break;
      mEventQueue.push_back(std::move(msg));
    }
    delivered.swap(mDelivered);  // the two vectors' capacities take turns
  }
  batch.clear();  // after the lock: messages not queued at a stop are released here
  mEventReady.notify_one();
}

void cMiniClient::cEventPump::postHeartbeat() {
  {
    ksync::MutexLock lock(mQueueMutex);
    if (mHeartbeatQueued || mStop) return;
    mHeartbeatQueued = true;
    mEventQueue.push_back(nullptr);
  }
  mEventReady.notify_one();
}

size_t cMiniClient::cEventPump::queued() const {
  ksync::MutexLock lock(mQueueMutex);
  return mEventQueue.size();
}

void cMiniClient::cEventPump::pumpLoop() {
  std::unique_ptr<KMsg> msg;
  for (;;) {
    bool room = false;
    {
      ksync::MutexLock lock(mQueueMutex);
      // The message delivered last goes back to its poster (see postEvents).
      if (msg) mDelivered.push_back(std::move(msg));
      while (!mStop && mEventQueue.empty()) lock.wait(mEventReady);
      if (mStop) return;
      msg = std::move(mEventQueue.front());
      mEventQueue.pop_front();
      if (msg)
        mLog.debug("pumping event");
      else
        mHeartbeatQueued = false;
      if (mOverloaded && mEventQueue.empty()) {
        mOverloaded = false;
        mLog.warn("Event queue drained: receiving was paused %lu times so far", mFullCount.load());
      }
      room = mPosterWaiting && mEventQueue.size() <= kQueueBound / 2;
    }
    if (room) mRoom.notify_one();
    if (!msg) {
      mHeartbeats.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    ksync::MutexLock lock(mListenerMutex);
    for (cObjectListener* listener : mListeners) listener->onMessage(msg.get());
  }
}

// ---------------------------------------------------------------- the client

cMiniClient::cMiniClient()
    : mLog("cMiniClient"),
      mRxBuffers(std::make_unique<unsigned char[]>(size_t{kRxBatch} * kRxBufferSize)) {
  mLog.debug("Creating the MiniClient %p", static_cast<void*>(this));
}

cMiniClient::~cMiniClient() {
  mStop.store(true);
  {
    ksync::MutexLock lock(mQueueMutex);
  }
  mQueueCond.notify_all();
  // Wakes the receive thread out of its read.
  if (mSocket >= 0) ::shutdown(mSocket, SHUT_RDWR);
  if (mReceiveThread.joinable()) mReceiveThread.join();
  if (mTransmitThread.joinable()) mTransmitThread.join();
  if (mSocket >= 0) ::close(mSocket);
}

int cMiniClient::connectServer(const char* host, int port) {
  mLog.info("Starting the client for %s:%d", host ? host : "", port);
  if (mSocket >= 0) {
    mLog.error("Already connected on %d", mSocket);
    return 0;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  int rc = host ? ::getaddrinfo(host, nullptr, &hints, &found) : EAI_NONAME;
  if (rc != 0 || !found) {
    mLog.error("Could not resolve the host %s: %s", host ? host : "", gai_strerror(rc));
    mLog.error("Could not connect the socket");
    return 0;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  ::freeaddrinfo(found);

  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (fd >= 0) ::close(fd);
    mLog.error("Could not connect the socket");
    return 0;
  }
  // A cabinet reports in bursts and the pump may be kept off its core for
  // a few milliseconds: 1 MiB of socket buffer (the system's net.core.rmem_max
  // caps it) holds several thousand reports where the default holds ~160.
  const int rcvbuf = kRxSocketBuffer;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) != 0)
    mLog.warn("Could not enlarge the receive buffer to %d bytes", rcvbuf);
  mSocket = fd;
  mConnected.store(true);
  mLog.info("Socket Connected OK %d", mSocket);
  mReceiveThread = std::thread([this] {
    nameThisThread("keyd-rx");
    receiveLoop();
  });
  mTransmitThread = std::thread([this] {
    nameThisThread("keyd-tx");
    transmitLoop();
  });
  return 1;
}

KMsg* cMiniClient::sendNoReply(KMsg* msg, bool* queued) {
  mLog.debug("Sending Message with no reply");
  // Callers are ordered by the queue's own lock: the daemon has one caller.
  const bool done = queueMessage(msg);
  if (queued) *queued = done;
  mLog.debug("Rx Msg = %p", static_cast<void*>(nullptr));
  return nullptr;
}

size_t cMiniClient::queued() const {
  ksync::MutexLock lock(mQueueMutex);
  return mTxQueue.size();
}

cMiniClient::Counts cMiniClient::counts() const {
  return {mReports.load(std::memory_order_relaxed), mRejected.load(std::memory_order_relaxed),
          mRequests.load(std::memory_order_relaxed), mRequestDrops.load(std::memory_order_relaxed),
          mEventPump.fullCount()};
}

bool cMiniClient::queueMessage(KMsg* msg) {
  std::unique_ptr<KMsg> owned(msg);
  ksync::MutexLock lock(mQueueMutex);
  if (mTxQueue.size() >= kTxQueueBound) {
    mRequestDrops.fetch_add(1, std::memory_order_relaxed);
    mLog.error("Transmit queue full (%zu messages): dropping message msgid %d", mTxQueue.size(),
               owned->mId);
    return false;
  }
  mTxQueue.push_back(std::move(owned));
  mRequests.fetch_add(1, std::memory_order_relaxed);
  mLog.debug("Queue message q size %d", static_cast<int>(mTxQueue.size()));
  mQueueCond.notify_one();
  return true;
}

void cMiniClient::transmitLoop() {
  sendPing();
  while (!stopping()) {
    std::deque<std::unique_ptr<KMsg>> batch;
    bool timedOut;
    {
      ksync::MutexLock lock(mQueueMutex);
      // The queue is looked at before waiting, so a message queued while
      // the previous batch was being written goes out at once.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kPingSeconds);
      timedOut = false;
      while (!stopping() && mTxQueue.empty() && !timedOut)
        timedOut = lock.waitUntil(mQueueCond, deadline) == std::cv_status::timeout;
      timedOut = timedOut && mTxQueue.empty() && !stopping();
      batch.swap(mTxQueue);
    }
    if (stopping()) return;
    // The socket writes happen outside the queue's lock, so sendNoReply
    // never waits for a drain.
    if (timedOut) {
      sendPing();
      continue;
    }
    for (auto& msg : batch) transmitMsg(msg.get());
  }
}

void cMiniClient::transmitMsg(KMsg* msg) {
  mLog.debug("Transmit msgid %d %d tags with %d bytes msg is %d bytes Seq=0x%02X", msg->mId,
             msg->mTagCount, msg->mSize, static_cast<unsigned short>(msg->mSize + 2),
             msg->mSeq & 0x7F);
  mLog.debug("Segmenting message");
  if (msg->segmentMessage(kSegmentSize) == 0) {
    mLog.error("Cannot segment message msgid %d: dropped", msg->mId);
    return;
  }
  msg->resetSegment();
  while (KMsg* segment = msg->getNextSegment()) {
    int length = segment->getMsg(mTxBuffer, sizeof mTxBuffer);
    if (length < 0) {
      mLog.error("Cannot serialise a segment of msgid %d: dropped", msg->mId);
      continue;
    }
    ssize_t written = ::send(mSocket, mTxBuffer, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (written < 0) {
      char buf[128];
      mLog.debug("Transmit error %d %s", mSocket, errorText(errno, buf, sizeof buf));
    } else {
      mLog.debug("Transmit %d of %d bytes", static_cast<int>(written), length);
    }
  }
}

void cMiniClient::sendPing() {
  KMsg ping(MSG_REQ);
  ping.addTag(KTagFactory::createKTag(TAG_KEY_SN, 0u));
  unsigned char buffer[256];
  int length = ping.getMsg(buffer, sizeof buffer);
  mLog.debug("Send Ping %d", length);
  if (length < 0) return;
  if (::send(mSocket, buffer, static_cast<size_t>(length), MSG_NOSIGNAL) < 0) {
    char buf[128];
    mLog.debug("Transmit error %d %s", mSocket, errorText(errno, buf, sizeof buf));
  }
}

void cMiniClient::receiveLoop() {
  mmsghdr headers[kRxBatch];
  iovec parts[kRxBatch];
  std::vector<std::unique_ptr<KMsg>> batch, delivered;
  batch.reserve(kRxBatch);
  unsigned long readErrors = 0;  // of the episode under way
  while (!stopping()) {
    for (int i = 0; i < kRxBatch; ++i) {
      parts[i] = {mRxBuffers.get() + size_t{kRxBufferSize} * i, kRxBufferSize};
      headers[i] = {};
      headers[i].msg_hdr.msg_iov = &parts[i];
      headers[i].msg_hdr.msg_iovlen = 1;
    }
    // One call waits for the first datagram and takes those already
    // waiting behind it. MSG_TRUNC: each length is the datagram's real one,
    // so a datagram longer than its buffer is recognised and dropped, not
    // parsed cut.
    const int count = ::recvmmsg(mSocket, headers, kRxBatch, MSG_TRUNC | MSG_WAITFORONE, nullptr);
    if (stopping()) return;
    if (count < 0) {
      const int err = errno;
      // One line per episode (nothing answers, say): the next datagram
      // ends it, with the count.
      if (readErrors++ == 0) mLog.warn("Socket Read Error %d", count);
      // A refused datagram (nothing listens yet) is read again at once; any
      // other error would repeat forever, so pause.
      if (err != ECONNREFUSED && err != EINTR && err != EAGAIN)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    mLastHeard.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                     std::memory_order_relaxed);
    if (readErrors > 0) {
      mLog.warn("The key daemon is heard again after %lu socket read errors", readErrors);
      readErrors = 0;
    }
    for (int i = 0; i < count; ++i) {
      const unsigned char* data = static_cast<const unsigned char*>(parts[i].iov_base);
      const ssize_t n = headers[i].msg_len;
      if (n == 0) {  // an empty datagram
        mRejected.fetch_add(1, std::memory_order_relaxed);
        mLog.warn("Socket Read Error %d", 0);
        continue;
      }
      if (n > kRxBufferSize) {
        mRejected.fetch_add(1, std::memory_order_relaxed);
        mLog.warn("Dropping a datagram of %d bytes: longer than %d", static_cast<int>(n),
                  kRxBufferSize);
        continue;
      }
      KMsg* msg = KMsg::parseMsg(data, static_cast<unsigned short>(n));
      if (!msg) {
        mRejected.fetch_add(1, std::memory_order_relaxed);
        mLog.warn("Dropping a datagram of %d bytes that is not a key message",
                  static_cast<int>(n));
        continue;
      }
      mReports.fetch_add(1, std::memory_order_relaxed);
      mLog.debug("Received %d bytes from server Seq=0x%02X", static_cast<int>(n),
                 msg->mSeq & 0x7F);
      batch.emplace_back(msg);
    }
    if (batch.empty()) continue;
    mEventPump.postEvents(batch, delivered);
    delivered.clear();  // released here, where they were made
  }
}
