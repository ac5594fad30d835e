#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

}  // namespace

std::unique_ptr<Child> Child::start(const std::vector<std::string>& argv,
                                    const std::vector<int>& ignored,
                                    const std::vector<std::string>& env) {
  int in[2], out[2], err[2];
  if (argv.empty() || ::pipe2(in, O_CLOEXEC) != 0) return nullptr;
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return nullptr;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return nullptr;
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::setpgid(0, 0);
    ::signal(SIGPIPE, SIG_DFL);  // this process ignores it (below); the program must not
    for (int sig : ignored) ::signal(sig, SIG_IGN);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  for (int fd : {in[0], out[1], err[1]}) ::close(fd);
  std::unique_ptr<Child> c(new Child());
  c->mPid = pid;
  c->mIn = in[1];
  c->mOut = out[0];
  c->mErr = err[0];
  ::fcntl(c->mErr, F_SETFL, O_NONBLOCK);
  ::signal(SIGPIPE, SIG_IGN);  // writing to a dead child must fail the test, not end it
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

std::optional<std::string> Child::readLine(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto nl = mOutBuf.find('\n');
    if (nl != std::string::npos) {
      mSeen.push_back(mOutBuf.substr(0, nl));
      mOutBuf.erase(0, nl + 1);
      return mSeen.back();
    }
    pollfd p{mOut, POLLIN, 0};
    if (mOutEof || msLeft(deadline) <= 0 || ::poll(&p, 1, msLeft(deadline)) <= 0)
      return std::nullopt;
    char buf[4096];
    const ssize_t n = ::read(mOut, buf, sizeof buf);
    if (n <= 0)
      mOutEof = true;
    else
      mOutBuf.append(buf, static_cast<size_t>(n));
  }
}

std::optional<std::string> Child::waitForLine(const std::string& needle, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (msLeft(deadline) > 0) {
    auto line = readLine(msLeft(deadline));
    if (!line || line->find(needle) != std::string::npos) return line;
  }
  return std::nullopt;
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

std::string Child::drainStderr() {
  std::string all;
  char buf[4096];
  for (ssize_t n; (n = ::read(mErr, buf, sizeof buf)) > 0;) all.append(buf, static_cast<size_t>(n));
  return all;
}

bool Child::writeStdin(const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(mIn, text.data() + done, text.size() - done);
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

void Child::closeStdout() {
  if (mOut >= 0) ::close(mOut);
  mOut = -1;
  mOutEof = true;
}

void Child::signal(int sig) {
  if (!mStatus) ::kill(mPid, sig);
}

std::optional<int> Child::wait(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!mStatus) {
    int status = 0;
    if (::waitpid(mPid, &status, WNOHANG) == mPid)
      mStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    else if (msLeft(deadline) <= 0)
      return std::nullopt;
    else
      ::usleep(5000);
  }
  return mStatus;
}

std::string programPath(const std::string& name) { return std::string(KEYD_BIN_DIR) + "/" + name; }
std::string sourcePath(const std::string& relative) {
  return std::string(KEYD_SOURCE_DIR) + "/" + relative;
}

}  // namespace testsupport
