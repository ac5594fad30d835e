// PcapWriter: keyd-sim's capture file (--pcap): every datagram sent or
// received as one Ethernet/IPv4/UDP packet of a pcap file, flushed at once,
// so a capture needs no privileges.
//
// Ownership: the simulator owns the writer, which owns the file. Threads:
// keyd-sim's main thread.
#ifndef KEYD_SIM_PCAP_H
#define KEYD_SIM_PCAP_H

#include <netinet/in.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

class PcapWriter {
 public:
  // Creates the file and writes its header; null (with errno set) when it
  // cannot be written.
  static std::unique_ptr<PcapWriter> create(const std::string& path);
  ~PcapWriter();
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Adds one datagram of `size` bytes (at most 65507) from `from` to `to`.
  // False when the file cannot be written.
  bool write(const sockaddr_in& from, const sockaddr_in& to, const unsigned char* data,
             std::size_t size);

 private:
  explicit PcapWriter(std::FILE* file) : mFile(file) {}
  std::FILE* const mFile;
  unsigned short mIpId = 0;
};

#endif  // KEYD_SIM_PCAP_H
