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
// the client's own lock, so a Client constructed on one thread may be handed
// over to the thread that uses it without further care. All clients of a
// process share one ZeroMQ context; the last Client destroyed terminates it,
// which is when queued publications drain (see setLinger).
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
// fails once that many wait. Also the number of received messages a client
// holds before the bus daemon starts dropping its copies for it.
constexpr int kSendQueueBound = 10000;
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

  // The next waiting message of a subscribed topic, or null when none is
  // waiting; never blocks. Malformed, oversized and unsubscribed messages are
  // dropped on the way.
  Message* receive();

  // Waits up to timeoutMs until a message may be waiting for receive();
  // true when one may be (receive() can still return null if it was
  // dropped). False at once for a client without subscriptions.
  bool waitReadable(int timeoutMs);

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
