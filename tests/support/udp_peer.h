// UdpPeer: the test's own UDP socket on 127.0.0.1 (ephemeral port), standing
// in for the key daemon or for the program that talks to it.
//
// The test owns the peer; one test thread uses it at a time.
#ifndef TESTS_SUPPORT_UDP_PEER_H
#define TESTS_SUPPORT_UDP_PEER_H

#include <netinet/in.h>

#include <optional>
#include <vector>

namespace testsupport {

class UdpPeer {
 public:
  using Bytes = std::vector<unsigned char>;
  // Bound to 127.0.0.1:port (0: an ephemeral port; port() says which).
  explicit UdpPeer(int port = 0);
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  int port() const { return mPort; }
  // True when the whole datagram went to 127.0.0.1:port.
  bool sendTo(int port, const Bytes& datagram) const;
  // Answers the sender of the last datagram received.
  bool reply(const Bytes& datagram) const;
  // The next datagram within timeoutMs (its sender remembered for reply),
  // or nullopt.
  std::optional<Bytes> receive(int timeoutMs);

 private:
  bool send(const Bytes& datagram, const sockaddr_in& to) const;
  int mFd = -1;
  int mPort = 0;
  sockaddr_in mFrom{};
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_UDP_PEER_H
