// The private world the demonstration, the end-to-end tests, the fuzz
// targets and the benchmarks run in: own user, mount and network namespaces,
// a loopback of their own (so port 5555 and the bus ports are free) and a
// directory of our choosing mounted on /etc/ram, where the translator reads
// its fixed configuration paths.
//
// Called first thing in main(), before any thread exists in this program.
// Every process started afterwards shares the sandbox.
#ifndef KEYD_SANDBOX_SANDBOX_H
#define KEYD_SANDBOX_SANDBOX_H

#include <string>

namespace keydsandbox {

// Exit status when this machine cannot make the namespaces (test runners
// count it as a skip).
constexpr int kUnavailable = 77;

// When not yet inside: creates ramDir if missing and re-executes this
// program through unshare(1), so the namespaces exist before any thread
// (sanitizer runtimes start threads early). Inside: brings the loopback up
// and mounts ramDir on /etc/ram. Returns normally only inside, with the
// ramDir path; on failure it prints why on stderr and exits with
// kUnavailable.
std::string enterSandbox(int argc, char** argv, const std::string& ramDir);

}  // namespace keydsandbox

#endif  // KEYD_SANDBOX_SANDBOX_H
