// What /proc tells about the processes and UDP sockets of this network
// namespace: the fault tests and the soak driver read their figures here.
// Plain functions returning values (-1 when not found); any thread.
#ifndef TESTS_FAULTS_PROCFS_H
#define TESTS_FAULTS_PROCFS_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace procfs {

// A child of this process's main thread that runs the program `comm`.
inline pid_t childPid(const std::string& comm) {
  std::ifstream in("/proc/self/task/" + std::to_string(::getpid()) + "/children");
  for (pid_t pid; in >> pid;) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (std::getline(f, name) && name == comm) return pid;
  }
  return -1;
}

// Resident memory in KiB.
inline long vmRssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// The UDP socket bound to 127.0.0.1:port: its receive queue in bytes, or
// (drops) the datagrams the kernel dropped for it.
inline long udpSocket(int port, bool drops) {
  std::ifstream in("/proc/net/udp");
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    std::string sl, loc, rem, st, queues, field;
    if (!(f >> sl >> loc >> rem >> st >> queues) || loc != local) continue;
    if (!drops) return std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
    long last = -1;
    while (f >> field) last = std::atol(field.c_str());  // the last column
    return last;
  }
  return -1;
}

// A counter of the "Udp:" lines of /proc/net/snmp, such as "RcvbufErrors".
inline long snmpUdp(const std::string& field) {
  std::ifstream in("/proc/net/snmp");
  for (std::string names, values; std::getline(in, names);) {
    if (names.rfind("Udp: ", 0) != 0 || !std::getline(in, values)) continue;
    std::istringstream n(names), v(values);
    for (std::string name, value; n >> name && v >> value;)
      if (name == field) return std::atol(value.c_str());
  }
  return -1;
}

}  // namespace procfs

#endif  // TESTS_FAULTS_PROCFS_H
