#include "udp_peer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

}  // namespace

UdpPeer::UdpPeer(int port) : mFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in addr = loopback(port);
  socklen_t len = sizeof addr;
  if (::bind(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(mFd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    mPort = ntohs(addr.sin_port);
}

UdpPeer::~UdpPeer() { ::close(mFd); }

bool UdpPeer::send(const Bytes& datagram, const sockaddr_in& to) const {
  return ::sendto(mFd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to) == static_cast<ssize_t>(datagram.size());
}

bool UdpPeer::sendTo(int port, const Bytes& datagram) const {
  return send(datagram, loopback(port));
}

bool UdpPeer::reply(const Bytes& datagram) const { return send(datagram, mFrom); }

std::optional<UdpPeer::Bytes> UdpPeer::receive(int timeoutMs) {
  pollfd p{mFd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
  Bytes buf(65536);
  socklen_t len = sizeof mFrom;
  const ssize_t n =
      ::recvfrom(mFd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&mFrom), &len);
  if (n < 0) return std::nullopt;
  buf.resize(static_cast<size_t>(n));
  return buf;
}

}  // namespace testsupport
