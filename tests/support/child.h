// Child: a program of ours started by a test, with its standard input,
// output and error on pipes, so tests talk to the real binaries; below it,
// the files of the source tree that tests read (tables, the protocol page).
//
// The test owns the Child; destroying it kills and reaps a process that is
// still running. One test thread uses a Child at a time.
#ifndef TESTS_SUPPORT_CHILD_H
#define TESTS_SUPPORT_CHILD_H

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;
// The time `ms` milliseconds from now; the milliseconds left until `deadline` (0 once past).
inline Clock::time_point after(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }
int msLeft(Clock::time_point deadline);

class Child {
 public:
  // argv[0] is a path. The signals in `ignored` start out ignored in the
  // child; `env` ("NAME=VALUE") is added to its environment. Null when the
  // program cannot be started.
  static std::unique_ptr<Child> start(const std::vector<std::string>& argv,
                                      const std::vector<int>& ignored = {},
                                      const std::vector<std::string>& env = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The next line of standard output without its newline; nullopt when none
  // came within timeoutMs or the output ended.
  std::optional<std::string> readLine(int timeoutMs);
  // Reads lines until one contains `needle` and returns it, or nullopt.
  std::optional<std::string> waitForLine(const std::string& needle, int timeoutMs);
  // The rest of standard output, until it ends (or a line takes timeoutMs).
  std::vector<std::string> readRemainingLines(int timeoutMs);
  // Everything written on standard error since the last call (non-blocking).
  std::string drainStderr();
  // Reads standard error until it holds `needle`; false when it did not come in time.
  bool waitForStderr(const std::string& needle, int timeoutMs);

  bool writeStdin(const std::string& text);
  void closeStdin();
  // Closes the test's end of standard output: the program's next write
  // meets a reader that has gone.
  void closeStdout();
  void signal(int sig);
  // Exit status (0..255), 128+signal when killed by a signal, or nullopt
  // when still running after timeoutMs.
  std::optional<int> wait(int timeoutMs);

 private:
  Child() = default;
  pid_t mPid = -1;
  int mIn = -1, mOut = -1, mErr = -1;
  std::string mOutBuf;
  std::optional<int> mStatus;
};

// Path of one of the project's programs: the first executable NAME in the
// ':'-separated folders of KEYD_PROGRAM_PATH, else the built one.
std::string programPath(const std::string& name);
// Absolute path of a file of the source tree.
std::string sourcePath(const std::string& relative);
std::string readFile(const std::string& path);
// The rows of a table of the source tree: its lines but blanks and '#'
// comments, each as its number, its first word and the rest.
struct Row {
  int line;
  std::string verb, text;
};
std::vector<Row> readTable(const std::string& relative);
// "01 4F 78*3 # comment" -> 01 4F 78 78 78
Bytes hexBytes(const std::string& text);
// The worked examples of docs/protocol.md: the bytes of the ```hex block after
// each "<!-- example: NAME -->", and the publication shown after some of them.
struct ProtocolPage {
  std::map<std::string, Bytes> examples;
  std::map<std::string, std::string> published;
};
ProtocolPage protocolPage();

}  // namespace testsupport

#endif  // TESTS_SUPPORT_CHILD_H
