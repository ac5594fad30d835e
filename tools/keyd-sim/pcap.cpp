// PcapWriter: the pcap file format (version 2.4, microseconds, Ethernet
// link type) and the IPv4 and UDP headers around each datagram.
#include "pcap.h"

#include <sys/time.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t kLinkEthernet = 1;
constexpr std::size_t kHeaders = 14 + 20 + 8;  // Ethernet, IPv4, UDP

void put16(std::vector<unsigned char>& out, std::size_t at, unsigned value) {
  out[at] = static_cast<unsigned char>(value >> 8);
  out[at + 1] = static_cast<unsigned char>(value);
}

// The ones' complement sum of the IPv4 header, complemented.
unsigned ipChecksum(const unsigned char* header) {
  std::uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += (unsigned{header[i]} << 8) | header[i + 1];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return ~sum & 0xFFFF;
}

}  // namespace

std::unique_ptr<PcapWriter> PcapWriter::create(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return nullptr;
  std::unique_ptr<PcapWriter> writer(new PcapWriter(file));
  // Written in this machine's byte order, which the magic number tells.
  const std::uint32_t magic = 0xA1B2C3D4, snapLength = 262144;
  const std::uint16_t major = 2, minor = 4;
  const std::int32_t zone = 0;
  const std::uint32_t accuracy = 0;
  bool ok = std::fwrite(&magic, 4, 1, file) == 1 && std::fwrite(&major, 2, 1, file) == 1 &&
            std::fwrite(&minor, 2, 1, file) == 1 && std::fwrite(&zone, 4, 1, file) == 1 &&
            std::fwrite(&accuracy, 4, 1, file) == 1 && std::fwrite(&snapLength, 4, 1, file) == 1 &&
            std::fwrite(&kLinkEthernet, 4, 1, file) == 1 && std::fflush(file) == 0;
  return ok ? std::move(writer) : nullptr;
}

PcapWriter::~PcapWriter() { std::fclose(mFile); }

bool PcapWriter::write(const sockaddr_in& from, const sockaddr_in& to, const unsigned char* data,
                       std::size_t size) {
  std::vector<unsigned char> packet(kHeaders, 0);  // Ethernet addresses all zero
  packet[12] = 0x08;                               // EtherType IPv4
  unsigned char* ip = packet.data() + 14;
  ip[0] = 0x45;  // version 4, 5 words
  put16(packet, 16, static_cast<unsigned>(20 + 8 + size));
  put16(packet, 18, mIpId++);
  ip[6] = 0x40;  // don't fragment
  ip[8] = 64;    // time to live
  ip[9] = 17;    // UDP
  std::memcpy(ip + 12, &from.sin_addr, 4);
  std::memcpy(ip + 16, &to.sin_addr, 4);
  put16(packet, 24, ipChecksum(ip));
  std::memcpy(ip + 20, &from.sin_port, 2);  // both in network order already
  std::memcpy(ip + 22, &to.sin_port, 2);
  put16(packet, 38, static_cast<unsigned>(8 + size));  // UDP checksum 0: none
  packet.insert(packet.end(), data, data + size);

  timeval now{};
  ::gettimeofday(&now, nullptr);
  const std::uint32_t record[4] = {
      static_cast<std::uint32_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_usec),
      static_cast<std::uint32_t>(packet.size()), static_cast<std::uint32_t>(packet.size())};
  return std::fwrite(record, sizeof record, 1, mFile) == 1 &&
         std::fwrite(packet.data(), packet.size(), 1, mFile) == 1 && std::fflush(mFile) == 0;
}
