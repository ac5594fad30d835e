// Entering the sandbox: the re-execution under unshare(1) and, inside, the
// loopback and the /etc/ram mount.
#include "sandbox.h"

#include <fcntl.h>
#include <sys/wait.h>

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace keydsandbox {

namespace {

constexpr const char* kInsideMark = "KEYD_SANDBOX_RAM";

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "sandbox: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(kUnavailable);
}

void makeDirs(const std::string& path) {
  for (size_t pos = 1; pos != std::string::npos;) {
    pos = path.find('/', pos + 1);
    std::string part = path.substr(0, pos);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) fail("cannot create " + part);
  }
}

void loopbackUp() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("socket");
  ifreq req{};
  std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  if (::ioctl(fd, SIOCGIFFLAGS, &req) != 0) fail("SIOCGIFFLAGS lo");
  req.ifr_flags |= IFF_UP;
  if (::ioctl(fd, SIOCSIFFLAGS, &req) != 0) fail("SIOCSIFFLAGS lo");
  ::close(fd);
}

// Whether this process may make the namespaces: unshare(1) tries them in a
// child, so this process stays as it was, and a refusal becomes our own
// status instead of unshare's. The child execs at once: under
// ThreadSanitizer a forked child already runs the sanitizer's own thread,
// and the kernel refuses a new user namespace to a threaded caller.
bool namespacesAvailable() {
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (devNull >= 0) {
      ::dup2(devNull, 1);
      ::dup2(devNull, 2);
    }
    ::execlp("unshare", "unshare", "--user", "--map-root-user", "--mount", "--net", "true",
             static_cast<char*>(nullptr));
    _exit(127);
  }
  if (devNull >= 0) ::close(devNull);
  if (pid < 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::string enterSandbox(int argc, char** argv, const std::string& ramDir) {
  if (const char* inside = std::getenv(kInsideMark)) {
    std::string dir = inside;
    loopbackUp();
    if (::mkdir("/etc/ram", 0755) != 0 && errno != EEXIST)
      fail("/etc/ram is missing and cannot be created (run scripts/setup.sh as root)");
    if (::mount(dir.c_str(), "/etc/ram", nullptr, MS_BIND, nullptr) != 0)
      fail("cannot mount " + dir + " on /etc/ram");
    return dir;
  }
  if (!namespacesAvailable()) {
    errno = EPERM;
    fail("user, mount and network namespaces are not available here (unprivileged user "
         "namespaces disabled?)");
  }
  makeDirs(ramDir);
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) fail("readlink /proc/self/exe");
  self[n] = '\0';
  ::setenv(kInsideMark, ramDir.c_str(), 1);
  std::vector<const char*> args = {"unshare", "--user", "--map-root-user", "--mount",
                                   "--net", "--", self};
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  ::execvp("unshare", const_cast<char* const*>(args.data()));
  fail("cannot run unshare");
}

}  // namespace keydsandbox
