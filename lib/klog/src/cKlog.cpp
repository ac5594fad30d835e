// cKlog: formatting and priority checks over log4cpp, plus the one-time
// configuration of log4cpp from the translator's configuration file.
#include "cKlog.h"

#include <log4cpp/Appender.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/Configurator.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/PropertyConfigurator.hh>
#include <log4cpp/SyslogAppender.hh>
#include <syslog.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

// Lines up to this size are formatted on the stack; longer ones on the heap.
constexpr std::size_t kStackLine = 512;

constexpr const char* kSyslogIdent = "keyd-translator";
// Syslog stamps the time itself. The name holds a '.', so it can never be
// the name of an appender defined in a configuration file.
constexpr const char* kSyslogAppenderName = "keyd-translator.syslog";
constexpr const char* kSyslogPattern = "%c: %p %m";

constexpr const char* kPropertyPrefix = "log4cpp.";
constexpr const char* kAppenderPrefix = "log4cpp.appender.";
constexpr const char* kCategoryPrefix = "log4cpp.category.";

// What init needs to know about the log4cpp part of a configuration file.
struct LogProperties {
  bool present = false;                 // at least one "log4cpp.*" key
  std::vector<std::string> appenders;   // names of the appenders it defines
  std::vector<std::string> categories;  // names of the categories it sets
};

// What one init put in place, so that the next one can take it away again
// and leave alone whatever else was attached to the categories.
struct InitState {
  std::mutex mutex;
  // The default syslog appender; the root category owns it.
  log4cpp::Appender* syslog = nullptr;
  // The appenders log4cpp's property configurator created, by name. It
  // attaches them to categories by reference and leaves them without an
  // owner: they are deleted here when the next init replaces them.
  std::vector<std::pair<std::string, log4cpp::Appender*>> configured;
  // Categories the configuration gave a priority of their own.
  std::vector<std::string> categories;
};

InitState& initState() {
  static InitState state;
  return state;
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The part of key after prefix, up to the next '.' when toDot is set.
std::string nameAfter(const std::string& key, const char* prefix, bool toDot) {
  const std::size_t start = std::char_traits<char>::length(prefix);
  return key.substr(start, toDot ? key.find('.', start) - start : std::string::npos);
}

// Reads the keys of a key=value file the way log4cpp does: blanks around
// the key do not count and '#' starts a comment.
LogProperties scanFile(const char* path) {
  LogProperties result;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t comment = line.find('#');
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos || (comment != std::string::npos && comment < equals)) {
      continue;
    }
    const std::size_t first = line.find_first_not_of(" \t");
    if (first >= equals) {
      continue;  // no key before the '='
    }
    const std::size_t last = line.find_last_not_of(" \t", equals - 1);
    const std::string key = line.substr(first, last - first + 1);
    if (!startsWith(key, kPropertyPrefix)) {
      continue;
    }
    result.present = true;
    if (startsWith(key, kAppenderPrefix)) {
      result.appenders.push_back(nameAfter(key, kAppenderPrefix, true));
    } else if (startsWith(key, kCategoryPrefix)) {
      result.categories.push_back(nameAfter(key, kCategoryPrefix, false));
    }
  }
  return result;
}

// Takes away what the previous init put in place: its appenders leave every
// category, the categories it set inherit again, the root is back at INFO.
// An appender log4cpp already destroyed on its own (it then no longer
// answers to its name) is skipped. Caller holds the init mutex.
void resetConfiguration(InitState& state) {
  log4cpp::Category& root = log4cpp::Category::getRoot();
  if (state.syslog != nullptr &&
      log4cpp::Appender::getAppender(kSyslogAppenderName) == state.syslog) {
    root.removeAppender(state.syslog);  // owned: this deletes it
  }
  state.syslog = nullptr;

  if (!state.configured.empty()) {
    const std::unique_ptr<std::vector<log4cpp::Category*>> categories(
        log4cpp::Category::getCurrentCategories());
    for (const auto& [name, appender] : state.configured) {
      if (log4cpp::Appender::getAppender(name) != appender) {
        continue;
      }
      for (log4cpp::Category* category : *categories) {
        category->removeAppender(appender);  // attached by reference: detaches only
      }
      delete appender;
    }
    state.configured.clear();
  }

  for (const std::string& name : state.categories) {
    if (log4cpp::Category* category = log4cpp::Category::exists(name)) {
      category->setPriority(log4cpp::Priority::NOTSET);
      category->setAdditivity(true);
    }
  }
  state.categories.clear();
  root.setPriority(log4cpp::Priority::INFO);
}

// Takes over what log4cpp built from the file, also after a configuration
// that failed half-way.
void adoptConfigured(InitState& state, const LogProperties& properties) {
  for (const std::string& name : properties.appenders) {
    log4cpp::Appender* appender = log4cpp::Appender::getAppender(name);
    const bool known = std::any_of(state.configured.begin(), state.configured.end(),
                                   [&](const auto& entry) { return entry.second == appender; });
    if (appender != nullptr && !known) {
      state.configured.emplace_back(name, appender);
    }
  }
  state.categories = properties.categories;
}

void applyDefault(InitState& state) {
  auto layout = std::make_unique<log4cpp::PatternLayout>();
  layout->setConversionPattern(kSyslogPattern);
  auto appender = std::make_unique<log4cpp::SyslogAppender>(kSyslogAppenderName, kSyslogIdent,
                                                            LOG_DAEMON);
  appender->setLayout(layout.release());
  log4cpp::Category& root = log4cpp::Category::getRoot();
  root.setPriority(log4cpp::Priority::INFO);
  state.syslog = appender.get();
  root.addAppender(appender.release());  // the root category owns it
}

}  // namespace

cKlog::cKlog(const char* category) : mCategory(log4cpp::Category::getInstance(category)) {}

void cKlog::debug(const char* format, ...) const {
  if (!mCategory.isPriorityEnabled(log4cpp::Priority::DEBUG)) {
    return;
  }
  va_list args;
  va_start(args, format);
  write(log4cpp::Priority::DEBUG, format, args);
  va_end(args);
}

void cKlog::info(const char* format, ...) const {
  if (!mCategory.isPriorityEnabled(log4cpp::Priority::INFO)) {
    return;
  }
  va_list args;
  va_start(args, format);
  write(log4cpp::Priority::INFO, format, args);
  va_end(args);
}

void cKlog::warn(const char* format, ...) const {
  if (!mCategory.isPriorityEnabled(log4cpp::Priority::WARN)) {
    return;
  }
  va_list args;
  va_start(args, format);
  write(log4cpp::Priority::WARN, format, args);
  va_end(args);
}

void cKlog::error(const char* format, ...) const {
  if (!mCategory.isPriorityEnabled(log4cpp::Priority::ERROR)) {
    return;
  }
  va_list args;
  va_start(args, format);
  write(log4cpp::Priority::ERROR, format, args);
  va_end(args);
}

bool cKlog::debugEnabled() const {
  return mCategory.isPriorityEnabled(log4cpp::Priority::DEBUG);
}

// Always hands log4cpp a std::string: its const char* overload of log() is
// itself a printf format and would expand the '%' of the formatted text.
void cKlog::write(int priority, const char* format, va_list args) const {
  va_list again;
  va_copy(again, args);
  char line[kStackLine];
  const int length = std::vsnprintf(line, sizeof line, format, args);
  if (length < 0) {
    // The format itself is broken: write it as it stands rather than lose it.
    mCategory.log(priority, std::string(format));
  } else if (static_cast<std::size_t>(length) < sizeof line) {
    mCategory.log(priority, std::string(line, static_cast<std::size_t>(length)));
  } else {
    std::string longLine(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(longLine.data(), longLine.size(), format, again);
    longLine.resize(static_cast<std::size_t>(length));
    mCategory.log(priority, longLine);
  }
  va_end(again);
}

bool cKlog::init(const char* path) {
  InitState& state = initState();
  const std::lock_guard<std::mutex> lock(state.mutex);
  resetConfiguration(state);

  const LogProperties properties = path != nullptr ? scanFile(path) : LogProperties{};
  if (properties.present) {
    // log4cpp reads the file itself; it skips the translator's own keys.
    bool applied = false;
    try {
      log4cpp::PropertyConfigurator::configure(path);
      applied = true;
    } catch (...) {
      // ConfigureFailure for bad properties, std exceptions from below it:
      // all mean the default applies.
    }
    adoptConfigured(state, properties);
    if (applied) {
      return true;
    }
    resetConfiguration(state);  // the failed attempt may have set up a part
  }
  applyDefault(state);
  return false;
}

log4cpp::Category& cKlog::getLog(const char* name) {
  return log4cpp::Category::getInstance(name);
}
