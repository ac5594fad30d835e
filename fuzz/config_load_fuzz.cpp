// Fuzz target: a configuration file of any bytes, loaded by cConfigFile as
// the translator and the bus daemon load theirs, then read with the keys
// they use. The file lives in memory (a memfd, opened by its /proc path).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cConfigFile.h"
#include "configuration.h"

namespace {

// A value is the rest of one line up to a comment: never a line end, never
// a '#', never longer than a line.
void checkValue(const char* value) {
  if (std::strlen(value) >= cConfigFile::kMaxLine || std::strpbrk(value, "\n#")) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int fd = memfd_create("keyd-config-fuzz", MFD_CLOEXEC);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0 || ftruncate(fd, 0) != 0 ||
      pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
    std::abort();

  cConfigFile conf;
  if (!conf.load(path.c_str())) std::abort();
  for (const char* key : {"host", "subscriptions", "log4cpp.rootCategory", ""}) {
    const char* value = conf.getString(key, nullptr);
    if (value) checkValue(value);
  }
  for (const char* key : {"pingTime", "nemba.channeler.port", "nemba.broadcaster.port"})
    conf.getInt(key, -1);
  configuration::getInstance().setSubscriptions(conf.getString("subscriptions", "UNKNOWN"));
  return 0;
}
