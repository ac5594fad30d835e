// Child: a program of ours started by a test, with its standard input,
// output and error on pipes, so tests talk to the real binaries.
//
// The test owns the Child; destroying it kills and reaps a process that is
// still running. One test thread uses a Child at a time.
#ifndef TESTS_SUPPORT_CHILD_H
#define TESTS_SUPPORT_CHILD_H

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// One settle time for the whole suite: how long a test lets a bus
// subscription or a freshly bound socket take effect when nothing can be
// polled for.
constexpr std::chrono::milliseconds kSettle{300};

class Child {
 public:
  // argv[0] is a path. The signals in `ignored` start out ignored in the
  // child (as a parent shell's `trap '' SIG` would leave them). Returns null
  // when the program cannot be started.
  static std::unique_ptr<Child> start(const std::vector<std::string>& argv,
                                      const std::vector<int>& ignored = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return mPid; }

  // The next line of standard output (without its newline), or nullopt when
  // none came within timeoutMs or the output ended.
  std::optional<std::string> readLine(int timeoutMs);
  // Reads lines until one contains `needle`; returns it, or nullopt.
  // Every line read on the way is kept in seenLines().
  std::optional<std::string> waitForLine(const std::string& needle, int timeoutMs);
  const std::vector<std::string>& seenLines() const { return mSeen; }

  // Everything written on standard error so far (non-blocking).
  std::string drainStderr();

  bool writeStdin(const std::string& text);
  void closeStdin();
  void signal(int sig);

  // Exit status (0..255), 128+signal when killed by a signal, or nullopt
  // when still running after timeoutMs.
  std::optional<int> wait(int timeoutMs);
  // Reads the rest of standard output after the process has ended.
  std::vector<std::string> readRemainingLines(int timeoutMs);

 private:
  Child() = default;
  bool fillBuffer(int timeoutMs);

  pid_t mPid = -1;
  int mIn = -1, mOut = -1, mErr = -1;
  std::string mOutBuf;
  bool mOutEof = false;
  std::optional<int> mStatus;
  std::vector<std::string> mSeen;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeTcpPort();
// A UDP port on 127.0.0.1 that was free a moment ago.
int freeUdpPort();
// Absolute path of one of the project's built programs.
std::string programPath(const std::string& name);
// Absolute path of a file of the source tree.
std::string sourcePath(const std::string& relative);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_CHILD_H
