// cMiniClient: the translator's link to the key daemon: one connected UDP
// socket, a transmit queue drained by a transmit thread (with the keep-alive
// ping), a receive thread that parses every datagram, and the event pump
// that hands received messages to listeners.
//
// Ownership: the client owns every queued or received message; listeners
// only borrow a message during onMessage. The client is created once by the
// broker and lives until the process ends; destroying it (tests do) stops
// and joins its threads.
// Threads: constructed and connected on the main thread; sendNoReply is
// called from the main thread; the pump, receive and transmit threads are
// the client's own.
#ifndef KEYD_CMINICLIENT_H
#define KEYD_CMINICLIENT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "cKlog.h"
#include "cObjectListener.h"
#include "ksync.h"

class KMsg;

class cMiniClient {
 public:
  // Size of one received datagram at most; a longer one is dropped.
  static constexpr int kRxBufferSize = 2048;
  // Datagrams taken off the socket by one system call at most, and handed
  // to the event pump together.
  static constexpr int kRxBatch = 32;
  static constexpr int kRxSocketBuffer = 1 << 20;  // requested SO_RCVBUF, bytes
  // Largest segment sent.
  static constexpr int kSegmentSize = 1024;
  // Seconds without a queued message after which a keep-alive ping goes out.
  static constexpr int kPingSeconds = 10;
  // Messages waiting for transmission at most; sendNoReply drops (and logs)
  // a message beyond it, so a client that never connects cannot grow
  // without bound.
  static constexpr size_t kTxQueueBound = 256;

  // The event pump: received messages in arrival order to every listener,
  // on the pump's own thread.
  // Threads: postEvent from the receive thread; addListener/removeListener
  // from any thread but a listener's onMessage (the listener mutex is not
  // recursive); delivery on the pump thread.
  class cEventPump {
   public:
    // Received messages waiting for the pump at most. When the queue is
    // full, postEvent waits until the pump has taken half of it off: the
    // receive thread then stops reading and the kernel's socket buffer
    // absorbs (or drops, and counts) the excess, so one busy peer cannot
    // exhaust the box's memory.
    static constexpr size_t kQueueBound = 512;
    // "Event queue full" is told at most this often.
    static constexpr std::chrono::seconds kOverloadReport{10};

    cEventPump();  // starts the pump thread
    ~cEventPump();  // stops and joins it; undelivered messages are released
    cEventPump(const cEventPump&) = delete;
    cEventPump& operator=(const cEventPump&) = delete;

    // Appends the listener; a listener added twice is called twice.
    void addListener(cObjectListener* listener);
    // Removes every registration of the listener.
    void removeListener(cObjectListener* listener);
    // Queues a message (never null) and takes ownership of it.
    void postEvent(KMsg* msg);
    // Queues the messages (none null) in their order, takes them over
    // (batch is empty afterwards) and wakes the pump once for all of them,
    // or once each time the queue fills up on the way. Hands back in
    // `delivered` (which must be empty) the messages the pump has delivered
    // since the previous call, for the caller to release: the memory of a
    // message then goes back to the thread that parsed it, whose allocator
    // reuses it at once (the pump freeing it would leave that thread's
    // allocator only the slow paths). One thread posts at a time.
    void postEvents(std::vector<std::unique_ptr<KMsg>>& batch,
                    std::vector<std::unique_ptr<KMsg>>& delivered);
    // Queues a heartbeat behind the waiting messages, unless one still
    // waits; never blocks (it may go beyond the bound by one). Handling it
    // delivers nothing and only counts it: the pump thread proves that it
    // still takes messages off its queue. Any thread.
    void postHeartbeat();
    // Heartbeats the pump thread has handled so far. Any thread.
    unsigned long heartbeats() const { return mHeartbeats.load(); }
    // Messages waiting now (a waiting heartbeat included).
    size_t queued() const;
    // Times postEvent found the queue full.
    unsigned long fullCount() const { return mFullCount.load(); }

   private:
    void pumpLoop();
    // Waits, holding lock, until the queue has room or the pump stops; true
    // when there is room. The pump is woken first: it empties the queue.
    bool waitForRoom(ksync::MutexLock& lock) REQUIRES(mQueueMutex);

    cKlog mLog;
    // Guards mEventQueue and mStop; held only to append or take a message,
    // never during delivery.
    mutable ksync::Mutex mQueueMutex;
    std::condition_variable mEventReady;  // a message was appended, or stop
    std::condition_variable mRoom;        // the queue has room, or stop
    // A null entry is a heartbeat.
    std::deque<std::unique_ptr<KMsg>> mEventQueue GUARDED_BY(mQueueMutex);
    // Delivered messages waiting for the poster to take them back: at most
    // the queue's bound and one batch.
    std::vector<std::unique_ptr<KMsg>> mDelivered GUARDED_BY(mQueueMutex);
    bool mStop GUARDED_BY(mQueueMutex) = false;
    bool mOverloaded GUARDED_BY(mQueueMutex) = false;  // full since the queue was last empty
    // When the last "Event queue full" line went out.
    std::optional<std::chrono::steady_clock::time_point> mOverloadTold GUARDED_BY(mQueueMutex);
    bool mHeartbeatQueued GUARDED_BY(mQueueMutex) = false;
    bool mPosterWaiting GUARDED_BY(mQueueMutex) = false;  // postEvents waits for room
    std::atomic<unsigned long> mFullCount{0};
    std::atomic<unsigned long> mHeartbeats{0};
    // Guards mListeners; held for the whole delivery of one message.
    ksync::Mutex mListenerMutex;
    std::vector<cObjectListener*> mListeners GUARDED_BY(mListenerMutex);
    std::thread mThread;  // last member: started once everything else exists
  };

  cMiniClient();
  ~cMiniClient();
  cMiniClient(const cMiniClient&) = delete;
  cMiniClient& operator=(const cMiniClient&) = delete;

  // Opens the socket, connects it to host:port and starts the receive and
  // transmit threads. Returns 1 on success, 0 when the host does not resolve
  // or the socket cannot be created or connected (no thread is started).
  int connectServer(const char* host, int port);

  void addListener(cObjectListener* listener) { mEventPump.addListener(listener); }
  void removeListener(cObjectListener* listener) { mEventPump.removeListener(listener); }

  // Hands one message to the transmit thread and takes ownership of it.
  // Returns null: no reply is awaited. When given, *queued tells whether
  // the message was queued (false: the transmit queue was full).
  KMsg* sendNoReply(KMsg* msg, bool* queued = nullptr);

  // True once connectServer has succeeded. Any thread.
  bool connected() const { return mConnected.load(); }
  // When a datagram from the key daemon last arrived, or nullopt when none
  // has. Any thread.
  std::optional<std::chrono::steady_clock::time_point> lastHeard() const {
    const auto ticks = mLastHeard.load(std::memory_order_relaxed);
    if (ticks == 0) return std::nullopt;
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(ticks));
  }

  // What the link has done since it was made; each count is written by one
  // thread without a lock and may be read by any.
  struct Counts {
    unsigned long reports;       // datagrams received that parsed as key messages
    unsigned long rejected;      // datagrams received that did not (empty, too long, malformed)
    unsigned long requests;      // messages queued for transmission (keep-alives are not)
    unsigned long requestDrops;  // messages dropped because the transmit queue was full
    unsigned long pumpWaits;     // times the receive thread waited for room in the pump's queue
  };
  Counts counts() const;

  // Messages waiting for transmission now.
  size_t queued() const;
  cEventPump& eventPump() { return mEventPump; }

 private:
  bool queueMessage(KMsg* msg) EXCLUDES(mQueueMutex);
  void transmitMsg(KMsg* msg);
  void sendPing();
  void transmitLoop();
  void receiveLoop();
  bool stopping() const { return mStop.load(); }

  cKlog mLog;
  cEventPump mEventPump;
  int mSocket = -1;  // written once, before the threads start
  // kRxBatch buffers of kRxBufferSize bytes; receive thread only.
  std::unique_ptr<unsigned char[]> mRxBuffers;
  unsigned char mTxBuffer[kSegmentSize];   // transmit thread only
  mutable ksync::Mutex mQueueMutex;        // guards mTxQueue
  std::condition_variable mQueueCond;      // a message was queued, or stop
  std::deque<std::unique_ptr<KMsg>> mTxQueue GUARDED_BY(mQueueMutex);
  std::atomic<bool> mStop{false};
  std::atomic<bool> mConnected{false};
  std::atomic<unsigned long> mReports{0}, mRejected{0};        // receive thread
  std::atomic<std::chrono::steady_clock::rep> mLastHeard{0};   // receive thread; 0: never
  std::atomic<unsigned long> mRequests{0}, mRequestDrops{0};   // callers of sendNoReply
  std::thread mReceiveThread;
  std::thread mTransmitThread;
};

#endif  // KEYD_CMINICLIENT_H
