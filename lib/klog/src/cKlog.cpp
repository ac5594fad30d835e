// cKlog: formatting and priority checks over log4cpp, plus the one-time
// configuration of log4cpp from the translator's configuration file.
#include "cKlog.h"

#include <log4cpp/Appender.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/Configurator.hh>
#include <log4cpp/FileAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/PropertyConfigurator.hh>
#include <log4cpp/SyslogAppender.hh>
#include <sys/time.h>
#include <syslog.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cBufferedFileAppender.h"

namespace {

// Lines up to this size are formatted on the stack; longer ones on the heap.
constexpr std::size_t kStackLine = 512;

// Syslog stamps the time itself. The appender's name holds a '.', so it can
// never be the name of an appender defined in a configuration file.
constexpr const char* kSyslogAppenderSuffix = ".syslog";
constexpr const char* kSyslogPattern = "%c: %p %m";

constexpr const char* kPropertyPrefix = "log4cpp.";
constexpr const char* kAppenderPrefix = "log4cpp.appender.";
constexpr const char* kCategoryPrefix = "log4cpp.category.";

// What init needs to know about the log4cpp part of a configuration file.
struct LogProperties {
  bool readable = false;                // the file could be opened
  bool present = false;                 // at least one "log4cpp.*" key
  std::vector<std::string> appenders;   // names of the appenders it defines
  std::vector<std::string> categories;  // names of the categories it sets
};

// What the settings in force put in place, so that the next init or reload
// can take it away again and leave alone whatever else was attached to the
// categories. Every appender here is ours and attached by reference only,
// so log4cpp never deletes one on its own (short of its shutdown).
struct InitState {
  std::mutex mutex;
  // The default syslog appender, when the default is in force.
  log4cpp::Appender* syslog = nullptr;
  // The appenders log4cpp's property configurator created: it attaches
  // them by reference and leaves them without an owner.
  std::vector<log4cpp::Appender*> configured;
  // Categories the configuration gave a priority of their own.
  std::vector<std::string> categories;
  // The program's name in syslog, as init was told.
  std::string ident = "keyd-translator";
};

InitState& initState() {
  static InitState state;
  return state;
}

// Where the lines of each category go when cKlog writes them itself: the
// appenders of the category and of its parents as far as additivity goes,
// when every one of them is a cBufferedFileAppender that formats its lines
// itself and has no filter ("fast"). Lines of any other category go through
// log4cpp's Category::log. init and reload hold `lock` exclusively while
// they change appenders, and clear the table; a line written the fast way
// holds it shared, so no appender goes while a line is on its way to it.
struct Route {
  bool fast = false;
  std::vector<cBufferedFileAppender*> sinks;
};
struct Routes {
  std::shared_mutex lock;
  std::unordered_map<const log4cpp::Category*, Route> known;
  unsigned long generation = 0;  // counts the changes of init and reload
};

Routes& routes() {
  static Routes table;
  return table;
}

// The route of a category; caller holds the routes' lock (shared).
Route routeOf(log4cpp::Category& category) {
  Route route;
  route.fast = true;
  for (log4cpp::Category* c = &category; c != nullptr; c = c->getAdditivity() ? c->getParent() : nullptr) {
    for (log4cpp::Appender* appender : c->getAllAppenders()) {
      auto* buffered = dynamic_cast<cBufferedFileAppender*>(appender);
      if (!buffered || !buffered->formatsItself() || buffered->getFilter() != nullptr) {
        route.fast = false;
        return route;
      }
      route.sinks.push_back(buffered);
    }
  }
  route.fast = !route.sinks.empty();
  return route;
}

// Writes the line the fast way when the category's route allows it; false
// when log4cpp must write it.
bool writeFast(log4cpp::Category& category, int priority, std::string_view text) {
  Routes& table = routes();
  for (int attempt = 0; attempt < 2; ++attempt) {
    Route route;
    unsigned long generation;
    {
      std::shared_lock<std::shared_mutex> guard(table.lock);
      const auto known = table.known.find(&category);
      if (known != table.known.end()) {
        if (!known->second.fast) return false;
        timeval when;
        ::gettimeofday(&when, nullptr);  // the time a LoggingEvent would carry
        for (cBufferedFileAppender* sink : known->second.sinks)
          sink->appendLine(category.getName(), priority, text, when);
        return true;
      }
      generation = table.generation;
      route = routeOf(category);
    }
    std::unique_lock<std::shared_mutex> guard(table.lock);
    // A route found before init or reload changed the appenders is stale.
    if (table.generation == generation) table.known.emplace(&category, std::move(route));
  }
  return false;
}

// The FileAppenders the configuration made are taken over by
// cBufferedFileAppenders (in every category that holds them, and in the
// list); appenders a category owns, and appenders of other kinds, stay.
void bufferFileAppenders(std::vector<log4cpp::Appender*>& appenders) {
  const std::unique_ptr<std::vector<log4cpp::Category*>> categories(
      log4cpp::Category::getCurrentCategories());
  for (log4cpp::Appender*& appender : appenders) {
    if (typeid(*appender) != typeid(log4cpp::FileAppender)) continue;
    bool owned = false;
    for (log4cpp::Category* category : *categories) owned = owned || category->ownsAppender(appender);
    if (owned) continue;
    auto buffered = std::make_unique<cBufferedFileAppender>(
        std::unique_ptr<log4cpp::FileAppender>(static_cast<log4cpp::FileAppender*>(appender)));
    for (log4cpp::Category* category : *categories) {
      if (category->getAllAppenders().count(appender) == 0) continue;
      category->removeAppender(appender);  // attached by reference: detaches only
      category->addAppender(*buffered);
    }
    appender = buffered.release();
  }
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
  result.readable = static_cast<bool>(in);
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

// Takes the appender out of every category, then deletes it: a category
// lends it under its appender lock while it writes, so once it is out of
// all of them no thread can still be writing through it.
void destroyAppender(log4cpp::Appender* appender) {
  const std::unique_ptr<std::vector<log4cpp::Category*>> categories(
      log4cpp::Category::getCurrentCategories());
  for (log4cpp::Category* category : *categories) {
    category->removeAppender(appender);  // attached by reference: detaches only
  }
  delete appender;  // ours: log4cpp made it and handed it over without an owner
}

// A category the settings no longer name inherits again.
void releaseCategory(const std::string& name) {
  if (log4cpp::Category* category = log4cpp::Category::exists(name)) {
    category->setPriority(log4cpp::Priority::NOTSET);
    category->setAdditivity(true);
  }
}

// Takes away what the settings in force put in place: their appenders
// leave every category, the categories they set inherit again, the root is
// back at INFO. Caller holds the init mutex.
void resetConfiguration(InitState& state) {
  if (state.syslog != nullptr) {
    destroyAppender(state.syslog);
  }
  state.syslog = nullptr;
  for (log4cpp::Appender* appender : state.configured) {
    destroyAppender(appender);
  }
  state.configured.clear();
  for (const std::string& name : state.categories) {
    releaseCategory(name);
  }
  state.categories.clear();
  log4cpp::Category::getRoot().setPriority(log4cpp::Priority::INFO);
}

// What one run of log4cpp's property configurator left: the appenders it
// created (also when it failed half-way), and why it failed.
struct Configured {
  std::vector<log4cpp::Appender*> appenders;
  std::optional<std::string> failure;
};

// Runs log4cpp's property configurator on the file (it skips the
// translator's own keys). A new appender is told from one of the same name
// already in place by its address: both live while it runs.
Configured configureFrom(const char* path, const LogProperties& properties) {
  std::map<std::string, log4cpp::Appender*> before;
  for (const std::string& name : properties.appenders) {
    before[name] = log4cpp::Appender::getAppender(name);
  }
  Configured result;
  try {
    log4cpp::PropertyConfigurator::configure(path);
  } catch (const std::exception& e) {
    // ConfigureFailure for bad properties, std exceptions from below it.
    result.failure = e.what();
  } catch (...) {
    result.failure = "unknown failure";
  }
  for (const auto& [name, previous] : before) {
    log4cpp::Appender* appender = log4cpp::Appender::getAppender(name);
    if (appender != nullptr && appender != previous) {
      result.appenders.push_back(appender);
    }
  }
  return result;
}

// The priorities, additivity and lent appenders of every category, so a
// reload that fails can put them back. Appenders a category owns are not
// kept: the configurator deletes those of the categories it configures.
struct CategoryState {
  log4cpp::Category* category;
  log4cpp::Priority::Value priority;
  bool additive;
  std::vector<log4cpp::Appender*> lent;
};

std::vector<CategoryState> takeSnapshot() {
  std::vector<CategoryState> snapshot;
  const std::unique_ptr<std::vector<log4cpp::Category*>> categories(
      log4cpp::Category::getCurrentCategories());
  for (log4cpp::Category* category : *categories) {
    CategoryState state{category, category->getPriority(), category->getAdditivity(), {}};
    for (log4cpp::Appender* appender : category->getAllAppenders()) {
      if (!category->ownsAppender(appender)) {
        state.lent.push_back(appender);
      }
    }
    snapshot.push_back(std::move(state));
  }
  return snapshot;
}

// Puts every category back as the snapshot found it (one the configurator
// created inherits) and deletes the appenders of the failed attempt.
void restoreSnapshot(const std::vector<CategoryState>& snapshot,
                     const std::vector<log4cpp::Appender*>& attempt) {
  const std::unique_ptr<std::vector<log4cpp::Category*>> categories(
      log4cpp::Category::getCurrentCategories());
  for (log4cpp::Category* category : *categories) {
    for (log4cpp::Appender* appender : attempt) {
      category->removeAppender(appender);
    }
    const auto was = std::find_if(snapshot.begin(), snapshot.end(),
                                  [&](const CategoryState& s) { return s.category == category; });
    if (was == snapshot.end()) {
      category->setPriority(log4cpp::Priority::NOTSET);
      category->setAdditivity(true);
      continue;
    }
    category->setPriority(was->priority);
    category->setAdditivity(was->additive);
    const log4cpp::AppenderSet now = category->getAllAppenders();
    for (log4cpp::Appender* appender : was->lent) {
      if (now.count(appender) == 0) {
        category->addAppender(*appender);
      }
    }
  }
  for (log4cpp::Appender* appender : attempt) {
    delete appender;  // out of every category already
  }
}

void applyDefault(InitState& state) {
  auto layout = std::make_unique<log4cpp::PatternLayout>();
  layout->setConversionPattern(kSyslogPattern);
  auto appender = std::make_unique<log4cpp::SyslogAppender>(state.ident + kSyslogAppenderSuffix,
                                                            state.ident, LOG_DAEMON);
  appender->setLayout(layout.release());
  log4cpp::Category& root = log4cpp::Category::getRoot();
  root.setPriority(log4cpp::Priority::INFO);
  // Lent, not given: a reload must be able to put it back after log4cpp's
  // configurator has taken the root's appenders away.
  root.addAppender(*appender);
  state.syslog = appender.release();
}

}  // namespace

cKlog::cKlog(const char* category) : mCategory(log4cpp::Category::getInstance(category)) {}

void cKlog::debug(const char* format, ...) const {
  if (priority() < log4cpp::Priority::DEBUG) return;
  va_list args;
  va_start(args, format);
  write(log4cpp::Priority::DEBUG, format, args);
  va_end(args);
}

void cKlog::info(const char* format, ...) const {
  if (priority() < log4cpp::Priority::INFO) return;
  va_list args;
  va_start(args, format);
  write(log4cpp::Priority::INFO, format, args);
  va_end(args);
}

void cKlog::warn(const char* format, ...) const {
  if (priority() < log4cpp::Priority::WARN) return;
  va_list args;
  va_start(args, format);
  write(log4cpp::Priority::WARN, format, args);
  va_end(args);
}

void cKlog::error(const char* format, ...) const {
  if (priority() < log4cpp::Priority::ERROR) return;
  va_list args;
  va_start(args, format);
  write(log4cpp::Priority::ERROR, format, args);
  va_end(args);
}

// A cKlog's remembered priority of an older generation is looked up again.
std::atomic<unsigned long> cKlog::sSettings{1};

// log4cpp walks up the category's parents for every question; the answer
// changes only with init and reload, which count their ends in sSettings.
int cKlog::lookUpPriority() const {
  static_assert(kDebugPriority == log4cpp::Priority::DEBUG, "log4cpp's DEBUG");
  const unsigned long settings = sSettings.load(std::memory_order_acquire);
  const int chained = mCategory.getChainedPriority();
  if (chained < 0 || chained > 0xFFFF) return chained;  // not a value log4cpp names
  mPriority.store((settings << 16) | static_cast<unsigned long>(chained & 0xFFFF),
                  std::memory_order_relaxed);
  return chained;
}

// Always hands log4cpp a std::string: its const char* overload of log() is
// itself a printf format and would expand the '%' of the formatted text.
void cKlog::write(int priority, const char* format, va_list args) const {
  char line[kStackLine];
  std::string longLine;
  std::string_view text;
  if (std::strchr(format, '%') == nullptr) {
    text = format;  // what vsnprintf would make of it
  } else {
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(line, sizeof line, format, args);
    if (length < 0) {
      // The format itself is broken: write it as it stands rather than lose it.
      text = format;
    } else if (static_cast<std::size_t>(length) < sizeof line) {
      text = std::string_view(line, static_cast<std::size_t>(length));
    } else {
      longLine.assign(static_cast<std::size_t>(length) + 1, '\0');
      std::vsnprintf(longLine.data(), longLine.size(), format, again);
      longLine.resize(static_cast<std::size_t>(length));
      text = longLine;
    }
    va_end(again);
  }
  // One line is one line: a text from a peer cannot start another.
  std::string escaped;
  if (std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
    escaped = escapeControls(text);
    text = escaped;
  }
  if (!writeFast(mCategory, priority, text)) mCategory.log(priority, std::string(text));
}

std::string cKlog::escapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20) {
      out += c;
      continue;
    }
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default: {
        char code[7];
        std::snprintf(code, sizeof code, "\\u%04x", byte);
        out += code;
      }
    }
  }
  return out;
}

// Holds the routes' lock exclusively while init or reload changes the
// appenders, and forgets every route at the end.
class RouteChange {
 public:
  RouteChange() : mGuard(routes().lock) {}
  ~RouteChange() {
    routes().known.clear();
    ++routes().generation;
    cKlog::sSettings.fetch_add(1, std::memory_order_release);
  }
  RouteChange(const RouteChange&) = delete;
  RouteChange& operator=(const RouteChange&) = delete;

 private:
  std::unique_lock<std::shared_mutex> mGuard;
};

bool cKlog::init(const char* path, const char* ident) {
  InitState& state = initState();
  const std::lock_guard<std::mutex> lock(state.mutex);
  state.ident = ident;
  const RouteChange change;
  resetConfiguration(state);

  const LogProperties properties = path != nullptr ? scanFile(path) : LogProperties{};
  if (properties.present) {
    Configured configured = configureFrom(path, properties);
    state.configured = std::move(configured.appenders);
    state.categories = properties.categories;
    if (!configured.failure) {
      bufferFileAppenders(state.configured);
      return true;
    }
    resetConfiguration(state);  // the failed attempt may have set up a part
  }
  applyDefault(state);
  return false;
}

void cKlog::flush() { cBufferedFileAppender::flushAll(); }

void cKlog::finish() { cBufferedFileAppender::finishAll(); }

cKlog::Reload cKlog::reload(const char* path, std::string& failure) {
  InitState& state = initState();
  const std::lock_guard<std::mutex> lock(state.mutex);
  const RouteChange change;
  const LogProperties properties = path != nullptr ? scanFile(path) : LogProperties{};
  if (!properties.readable) {
    failure = "the file cannot be read";
    return Reload::kept;
  }
  if (!properties.present) {
    resetConfiguration(state);
    applyDefault(state);
    return Reload::defaulted;
  }
  // The new settings are built while the old ones are still in place, so
  // a failure can go back to them.
  const std::vector<CategoryState> snapshot = takeSnapshot();
  Configured configured = configureFrom(path, properties);
  if (configured.failure) {
    restoreSnapshot(snapshot, configured.appenders);
    failure = *configured.failure;
    return Reload::kept;
  }
  // What the previous settings put in place goes. (Deleting an old appender also drops the name it shares with a new
  // one from log4cpp's registry of names; nothing here looks it up again.)
  if (state.syslog != nullptr) {
    destroyAppender(state.syslog);
    state.syslog = nullptr;
  }
  for (log4cpp::Appender* appender : state.configured) {
    destroyAppender(appender);
  }
  for (const std::string& name : state.categories) {
    if (std::find(properties.categories.begin(), properties.categories.end(), name) ==
        properties.categories.end()) {
      releaseCategory(name);
    }
  }
  bufferFileAppenders(configured.appenders);
  state.configured = std::move(configured.appenders);
  state.categories = properties.categories;
  return Reload::applied;
}

void cKlog::setRootDebug(bool on) {
  InitState& state = initState();
  const std::lock_guard<std::mutex> lock(state.mutex);
  const RouteChange change;  // every logger asks for its priority again
  log4cpp::Category::getRoot().setPriority(on ? log4cpp::Priority::DEBUG
                                              : log4cpp::Priority::INFO);
}

log4cpp::Category& cKlog::getLog(const char* name) {
  return log4cpp::Category::getInstance(name);
}
