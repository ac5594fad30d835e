// cKlog: the category logger every object of the translator carries.
//
// A thin layer over log4cpp. Each cKlog holds a reference to the log4cpp
// category named at construction; the category belongs to log4cpp and lives
// until the process exits. debug/info/warn/error take a printf-style format
// and write one line each; the priority is checked before anything is
// formatted, so a filtered line costs one comparison: each cKlog keeps the
// category's effective priority until init or reload changes priorities.
//
// A FileAppender of the configuration is taken over by an appender of ours
// that writes the same lines in blocks: at the latest 100 ms after a line,
// at once for a line of WARN and above (with every line before it), and
// at flush() and finish(). When every appender a category's lines reach is
// such an appender with a pattern it writes itself, cKlog hands it the line
// directly, without log4cpp's LoggingEvent; the line is the same.
//
// Threads: any thread may log through any cKlog at any time; log4cpp
// serialises the appenders. cKlog::init is called once, on the main thread,
// during set-up, before other threads log; cKlog::reload may run on any
// thread while the others log. The categories' priorities, appenders and
// additivity are changed through init and reload only. Nothing is ever written to
// standard error.
#ifndef KLOG_CKLOG_H
#define KLOG_CKLOG_H

#include <atomic>
#include <cstdarg>
#include <string>
#include <string_view>

namespace log4cpp {
class Category;
}

class cKlog {
 public:
  // category: the log4cpp category name, copied.
  explicit cKlog(const char* category);
  ~cKlog() = default;
  // The copy starts with the priority the original knows (looked up now
  // when it knows none), so short-lived copies ask log4cpp nothing.
  cKlog(const cKlog& other) : mCategory(other.mCategory) {
    other.priority();
    mPriority.store(other.mPriority.load(std::memory_order_relaxed), std::memory_order_relaxed);
  }
  cKlog& operator=(const cKlog&) = delete;

  void debug(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void info(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void warn(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void error(const char* format, ...) const __attribute__((format(printf, 2, 3)));

  // True when a line at debug priority would be written: lets a caller skip
  // building the arguments of a long run of debug lines. Inline: it is
  // asked for every record a report makes and releases.
  bool debugEnabled() const { return priority() >= kDebugPriority; }

  // Configures log4cpp from the "log4cpp.*" properties in the file at path
  // (the translator's own key=value lines in the same file are ignored).
  // When the file cannot be read, holds no log4cpp property, or its log4cpp
  // properties do not configure, the default applies: everything at INFO and
  // above goes to syslog (under the program's name `ident`, facility
  // daemon; a reload keeps that name).
  // Each call first takes away what the previous call set up (its appenders
  // and the priorities it gave); appenders attached by other code stay,
  // unless the file's log4cpp lines configure their category. Nothing throws.
  // Returns true when the file's own settings were applied.
  static bool init(const char* path, const char* ident = "keyd-translator");

  // What reload did.
  enum class Reload {
    applied,    // the file's log4cpp settings are in force
    defaulted,  // the file holds no log4cpp setting: the default is in force
    kept,       // the file cannot be read or does not configure: the
                // settings in force stay, and `failure` says why
  };
  // Applies the "log4cpp.*" properties of the file at path in place of the
  // settings in force, while other threads go on logging. The new settings
  // are built before the old ones are taken away: when they do not
  // configure, every category gets back its priority, additivity and the
  // appenders it held by reference. (An appender a category owned is lost
  // when the file configures that category: log4cpp deletes it.)
  static Reload reload(const char* path, std::string& failure);

  // The text with every control character (below 0x20) written as a JSON
  // string writes it (a line end as \n, ESC as \u001b); other bytes as they are. Every line
  // is written so, so a line end in a peer's text cannot start a line of
  // its own.
  static std::string escapeControls(std::string_view text);

  // Sets the root category's priority to DEBUG (on) or INFO, as a reload
  // would: every logger learns it at its next line. For programs that pick
  // their level themselves (the fuzz targets).
  static void setRootDebug(bool on);

  // The log4cpp category of that name; it belongs to log4cpp.
  static log4cpp::Category& getLog(const char* name);

  // Writes every line that waits in a block now.
  static void flush();
  // Writes every waiting line, and every later line at once: for a process
  // about to end without running its destructors. (One that ends with them
  // writes what waits by itself.)
  static void finish();

 private:
  friend class RouteChange;  // counts the ends of init and reload

  void write(int priority, const char* format, va_list args) const;
  // log4cpp's value of its DEBUG priority (checked where log4cpp is seen).
  static constexpr int kDebugPriority = 700;
  // Counts the ends of init and reload, from 1.
  static std::atomic<unsigned long> sSettings;

  // The category's effective (chained) priority, looked up again only
  // after init or reload.
  int priority() const {
    const unsigned long known = mPriority.load(std::memory_order_relaxed);
    if ((known >> 16) == sSettings.load(std::memory_order_acquire))
      return static_cast<int>(known & 0xFFFF);
    return lookUpPriority();
  }
  int lookUpPriority() const;

  log4cpp::Category& mCategory;
  // (settings generation << 16) | effective priority; generation 0 means
  // not looked up yet. Any thread may fill it in.
  mutable std::atomic<unsigned long> mPriority{0};
};

#endif  // KLOG_CKLOG_H
