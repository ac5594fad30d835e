#include "child.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testsupport {

namespace {

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int boundPort(int type) {
  int fd = ::socket(AF_INET, type, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

}  // namespace

std::unique_ptr<Child> Child::start(const std::vector<std::string>& argv,
                                    const std::vector<int>& ignored) {
  int in[2], out[2], err[2];
  if (argv.empty() || ::pipe2(in, O_CLOEXEC) != 0) return nullptr;
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return nullptr;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return nullptr;
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::setpgid(0, 0);
    for (int sig : ignored) ::signal(sig, SIG_IGN);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  std::unique_ptr<Child> c(new Child());
  c->mPid = pid;
  c->mIn = in[1];
  c->mOut = out[0];
  c->mErr = err[0];
  ::fcntl(c->mErr, F_SETFL, O_NONBLOCK);
  // A test that writes to a child that has died must fail, not die.
  ::signal(SIGPIPE, SIG_IGN);
  return c;
}

Child::~Child() {
  if (!mStatus && mPid > 0) {
    ::kill(-mPid, SIGKILL);
    ::kill(mPid, SIGKILL);
    wait(5000);
  }
  for (int fd : {mIn, mOut, mErr})
    if (fd >= 0) ::close(fd);
}

bool Child::fillBuffer(int timeoutMs) {
  if (mOutEof) return false;
  pollfd p{mOut, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return false;
  char buf[4096];
  ssize_t n = ::read(mOut, buf, sizeof buf);
  if (n <= 0) {
    mOutEof = true;
    return false;
  }
  mOutBuf.append(buf, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> Child::readLine(int timeoutMs) {
  const int64_t deadline = nowMs() + timeoutMs;
  for (;;) {
    auto nl = mOutBuf.find('\n');
    if (nl != std::string::npos) {
      std::string line = mOutBuf.substr(0, nl);
      mOutBuf.erase(0, nl + 1);
      mSeen.push_back(line);
      return line;
    }
    int64_t left = deadline - nowMs();
    if (left <= 0 || mOutEof) return std::nullopt;
    fillBuffer(static_cast<int>(left));
  }
}

std::optional<std::string> Child::waitForLine(const std::string& needle, int timeoutMs) {
  const int64_t deadline = nowMs() + timeoutMs;
  for (;;) {
    int64_t left = deadline - nowMs();
    if (left <= 0) return std::nullopt;
    auto line = readLine(static_cast<int>(left));
    if (!line) return std::nullopt;
    if (line->find(needle) != std::string::npos) return line;
  }
}

std::string Child::drainStderr() {
  std::string all;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(mErr, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
  return all;
}

bool Child::writeStdin(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(mIn, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Child::closeStdin() {
  if (mIn >= 0) ::close(mIn);
  mIn = -1;
}

void Child::signal(int sig) {
  if (!mStatus) ::kill(mPid, sig);
}

std::optional<int> Child::wait(int timeoutMs) {
  if (mStatus) return mStatus;
  const int64_t deadline = nowMs() + timeoutMs;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(mPid, &status, WNOHANG);
    if (r == mPid) {
      mStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return mStatus;
    }
    if (nowMs() >= deadline) return std::nullopt;
    ::usleep(5000);
  }
}

std::vector<std::string> Child::readRemainingLines(int timeoutMs) {
  std::vector<std::string> lines;
  while (auto line = readLine(timeoutMs)) lines.push_back(*line);
  if (!mOutBuf.empty()) {
    lines.push_back(mOutBuf);
    mSeen.push_back(mOutBuf);
    mOutBuf.clear();
  }
  return lines;
}

int freeTcpPort() { return boundPort(SOCK_STREAM); }
int freeUdpPort() { return boundPort(SOCK_DGRAM); }

std::string programPath(const std::string& name) { return std::string(KEYD_BIN_DIR) + "/" + name; }
std::string sourcePath(const std::string& relative) {
  return std::string(KEYD_SOURCE_DIR) + "/" + relative;
}

}  // namespace testsupport
