// Programs of ours started by the tests, talked to through pipes, and the
// files of the source tree that tests read.
#include "child.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testsupport {

int msLeft(Clock::time_point deadline) {
  return std::max(0, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          deadline - Clock::now()).count()));
}

std::unique_ptr<Child> Child::start(const std::vector<std::string>& argv,
                                    const std::vector<int>& ignored,
                                    const std::vector<std::string>& env) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) return nullptr;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0), ::dup2(out[1], 1), ::dup2(err[1], 2);
    ::setpgid(0, 0);
    ::signal(SIGPIPE, SIG_DFL);  // this process ignores it (below); the program must not
    for (int sig : ignored) ::signal(sig, SIG_IGN);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  for (int fd : {in[0], out[1], err[1]}) ::close(fd);
  ::signal(SIGPIPE, SIG_IGN);  // writing to a dead child must fail the test, not end it
  std::unique_ptr<Child> c(new Child());
  c->mPid = pid, c->mIn = in[1], c->mOut = out[0], c->mErr = err[0];
  ::fcntl(c->mErr, F_SETFL, O_NONBLOCK);
  return pid < 0 ? nullptr : std::move(c);
}

Child::~Child() {
  if (!mStatus && mPid > 0) ::kill(-mPid, SIGKILL), ::kill(mPid, SIGKILL), wait(5000);
  for (int fd : {mIn, mOut, mErr})
    if (fd >= 0) ::close(fd);
}

std::optional<std::string> Child::readLine(int timeoutMs) {
  for (const auto deadline = after(timeoutMs);;) {
    if (const auto nl = mOutBuf.find('\n'); nl != std::string::npos) {
      std::string line = mOutBuf.substr(0, nl);
      mOutBuf.erase(0, nl + 1);
      return line;
    }
    pollfd p{mOut, POLLIN, 0};
    char buf[4096];
    ssize_t n = 0;
    if (mOut < 0 || ::poll(&p, 1, msLeft(deadline)) <= 0 || (n = ::read(mOut, buf, sizeof buf)) <= 0)
      return std::nullopt;
    mOutBuf.append(buf, static_cast<size_t>(n));
  }
}

std::optional<std::string> Child::waitForLine(const std::string& needle, int timeoutMs) {
  for (const auto deadline = after(timeoutMs);;) {
    auto line = readLine(msLeft(deadline));
    if (!line || line->find(needle) != std::string::npos) return line;
  }
}

std::vector<std::string> Child::readRemainingLines(int timeoutMs) {
  std::vector<std::string> lines;
  while (auto line = readLine(timeoutMs)) lines.push_back(*line);
  if (!mOutBuf.empty()) lines.push_back(mOutBuf);
  mOutBuf.clear();
  return lines;
}

std::string Child::drainStderr() {
  std::string all;
  char buf[4096];
  for (ssize_t n; (n = ::read(mErr, buf, sizeof buf)) > 0;) all.append(buf, static_cast<size_t>(n));
  return all;
}

bool Child::waitForStderr(const std::string& needle, int timeoutMs) {
  std::string err;
  for (const auto deadline = after(timeoutMs); err.find(needle) == std::string::npos;) {
    pollfd p{mErr, POLLIN, 0};
    if (::poll(&p, 1, msLeft(deadline)) <= 0) return false;
    const std::string more = drainStderr();
    if (more.empty()) return false;  // the program closed it
    err += more;
  }
  return true;
}

bool Child::writeStdin(const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(mIn, text.data() + done, text.size() - done);
    if (n <= 0 && errno != EINTR) return false;
    done += static_cast<size_t>(std::max<ssize_t>(n, 0));
  }
  return true;
}

void Child::closeStdin() { ::close(mIn), mIn = -1; }
void Child::closeStdout() { ::close(mOut), mOut = -1; }

void Child::signal(int sig) {
  if (!mStatus) ::kill(mPid, sig);
}

std::optional<int> Child::wait(int timeoutMs) {
  for (const auto deadline = after(timeoutMs); !mStatus; ::usleep(5000)) {  // polls the child
    int status = 0;
    if (::waitpid(mPid, &status, WNOHANG) == mPid)
      mStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    else if (msLeft(deadline) == 0)
      return std::nullopt;
  }
  return mStatus;
}

std::string programPath(const std::string& name) {
  // KEYD_PROGRAM_PATH: folders searched first, in order (an installed package's).
  std::istringstream dirs(std::getenv("KEYD_PROGRAM_PATH") ? std::getenv("KEYD_PROGRAM_PATH") : "");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (::access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return std::string(KEYD_BIN_DIR) + "/" + name;
}
std::string sourcePath(const std::string& relative) {
  return std::string(KEYD_SOURCE_DIR) + "/" + relative;
}

std::string readFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

std::vector<Row> readTable(const std::string& relative) {
  std::ifstream in(sourcePath(relative));
  std::vector<Row> rows;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    const size_t blank = std::min(line.find(' '), line.size());
    rows.push_back({number, line.substr(0, blank), line.substr(std::min(line.size(), blank + 1))});
  }
  if (rows.empty()) ADD_FAILURE() << "no rows in " << relative;
  return rows;
}

Bytes hexBytes(const std::string& text) {
  Bytes out;
  std::istringstream in(text.substr(0, text.find('#')));
  for (std::string t; in >> t;)
    out.insert(out.end(), t.size() > 2 ? std::stoi(t.substr(3)) : 1, std::stoul(t, nullptr, 16));
  return out;
}

ProtocolPage protocolPage() {
  std::ifstream in(sourcePath("docs/protocol.md"));
  ProtocolPage page;
  std::string last;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("<!-- example: ", 0) == 0) {
      last = line.substr(14, line.find(" -->") - 14);
      for (std::getline(in, line); std::getline(in, line) && line != "```";)
        for (unsigned char c : hexBytes(line)) page.examples[last].push_back(c);
    } else if (!last.empty() && line.rfind("    {", 0) == 0) {
      page.published[last] = line.substr(4);
    }
  }
  return page;
}

}  // namespace testsupport
