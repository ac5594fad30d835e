// libnemba-lite: the client side of the message bus.
//
// The bus is a bus daemon (nembad) on loopback with two TCP ports: clients
// push their publications to its channeler port and receive the
// publications of everyone from its broadcaster port. A bus message is the
// four ZeroMQ frames [topic, sender application id, kind, payload]; the kind
// travels as 4 bytes, big-endian two's complement.
//
// Ownership: a Client owns its sockets and the Message that receive() hands
// out; that Message stays valid until the next receive() or the Client's
// destruction. send() copies the buffer before it returns.
//
// Threads: a Client is meant for one thread at a time. Every operation takes
// the client's own locks, so a Client constructed on one thread may be handed
// over to the thread that uses it without further care. A receiving client
// (one given subscriptions) also runs a thread of its own, "nlite-receive",
// that owns its ZeroMQ SUB socket from creation to close and moves every
// message that arrives into the client's bounded receive queue, so messages
// leave ZeroMQ as they come whether or not receive() is called. All clients
// of a process share one ZeroMQ context; the last Client destroyed
// terminates it, which is when queued publications drain (see setLinger).
#ifndef NLITE_NLITE_H
#define NLITE_NLITE_H

#include <cstdint>
#include <memory>
#include <string>

namespace nlite {

// Largest payload accepted, in bytes, on either side. A larger publication
// is refused by send(); a larger received message is dropped.
constexpr unsigned kMaxPayload = 256 * 1024;
// Publications queued per client while the bus daemon is unreachable; send()
// fails once that many wait.
constexpr int kSendQueueBound = 10000;
// A receiving client's queue of messages not yet taken by receive() holds at
// most this many messages and this many bytes (payload and application id
// of each); a message that would go beyond either bound makes the client
// drop the oldest queued messages until it fits, and droppedCount() counts
// them.
constexpr unsigned kReceiveQueueBound = 10000;
constexpr unsigned long kReceiveQueueBytes = 8UL * 1024 * 1024;
// Longest topic and application id, in bytes; send() refuses longer ones.
constexpr unsigned kMaxName = 4096;
// Largest ZeroMQ frame a client or the bus daemon reads: a frame a little
// over the payload bound is still read off the wire (and then dropped); a
// larger one makes ZeroMQ drop the sender's connection, so one misbehaving
// peer cannot exhaust the reader's memory.
constexpr std::int64_t kMaxFrame = static_cast<std::int64_t>(kMaxPayload) + 4096;
// The bus daemon's ports when nothing names others: its configuration file
// (keys "nemba.channeler.port" and "nemba.broadcaster.port", read by the bus
// daemon and the translator alike) or a tool's option.
constexpr int kDefaultChannelerPort = 5557;
constexpr int kDefaultBroadcasterPort = 5558;

// One received bus message.
class Message {
 public:
  // The payload bytes, not terminated; bufferSize() of them.
  const char* buffer() const { return mPayload.data(); }
  unsigned bufferSize() const { return static_cast<unsigned>(mPayload.size()); }
  // The sender's application id as a terminated text, or null when the
  // sender gave none.
  const char* appId() const { return mAppId.empty() ? nullptr : mAppId.c_str(); }
  // The topic, terminated; the exact topic the client subscribed to.
  const char* topic() const { return mTopic.c_str(); }
  // Bytes of the application id (may hold zero bytes).
  const std::string& appIdBytes() const { return mAppId; }
  int kind() const { return mKind; }

 private:
  friend class Client;
  std::string mTopic;
  std::string mAppId;
  std::string mPayload;
  int mKind = 0;
};

class Client {
 public:
  // appName: the application id sent with every publication (copied; null
  // or empty sends none). channelerPort 0 or less makes a client that only
  // receives: it has no publishing socket and its send() fails.
  // subscriptions: `count` topic texts, needed only during the call; null
  // with count 0 for a client that only publishes. A subscriber receives only
  // messages whose topic equals one of these texts exactly.
  Client(const char* appName, int channelerPort, int broadcasterPort,
         const char** subscriptions, unsigned count);
  // Closes the sockets; publications still queued get up to lingerMs (see
  // setLinger) to reach the bus daemon. The destructor of the process's
  // last Client waits for that drain; others return at once and the drain
  // goes on in the background.
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Queues one publication; never blocks. Returns 0 when it was queued for
  // delivery, nonzero when it was not (payload over kMaxPayload, null
  // topic, topic or application id over kMaxName, queue full). The
  // callback, when given, is called with buffer once the client no longer
  // needs it (before send returns), whatever the result.
  int send(const char* buffer, unsigned length, int kind, const char* topic,
           void (*callback)(const char*));

  // As send, with appId (copied; null or empty sends none) as the
  // application id of this one publication in place of the client's.
  int sendAs(const char* appId, const char* buffer, unsigned length, int kind,
             const char* topic);

  // The next waiting message of a subscribed topic, oldest first, or null
  // when none is waiting; never blocks. Malformed, oversized and
  // unsubscribed messages are dropped on the way (not counted).
  Message* receive();

  // Waits up to timeoutMs until a message is waiting for receive(); true
  // when one is. False at once for a client without subscriptions.
  bool waitReadable(int timeoutMs);

  // How many received messages of subscribed topics were dropped so far
  // because the receive queue was over one of its bounds; never goes down.
  // Any thread.
  unsigned long droppedCount() const;

  // Why the client cannot publish or cannot receive, or empty when it was
  // set up whole: a socket that could not be created, configured or
  // connected, or a receive thread that could not start. Such a client stays
  // usable as far as it goes: send() fails without a publishing socket,
  // receive() returns null without a receiving one. Any thread.
  std::string setupError() const;

  // Waits up to timeoutMs until both sockets (those that exist) have
  // completed their handshake with the bus daemon, and for the receiving
  // socket a short settle time more so the bus daemon knows its
  // subscriptions. Once true it stays true, even across a restart of the
  // bus daemon. Tools and tests use it; the translator does not need it.
  bool waitConnected(int timeoutMs);

  // How long the destructor lets queued publications drain (default 1000).
  void setLinger(int lingerMs);

 private:
  struct Impl;
  std::unique_ptr<Impl> mImpl;
};

}  // namespace nlite

#endif  // NLITE_NLITE_H
