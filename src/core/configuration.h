// configuration: the process-wide settings of the translator.
//
// One object per process, created by the first getInstance() call and never
// destroyed. Text getters return the held copy (null before the first set);
// it stays valid until the next set of that field.
// Threads: created and filled on the main thread during set-up, read by any
// thread afterwards. getInstance() must first be called during set-up.
#ifndef CORE_CONFIGURATION_H
#define CORE_CONFIGURATION_H

#include <optional>
#include <string>

#include <vector>

#include "cConfigFile.h"
#include "nlite.h"
#include "optionalText.h"

// The settings of the translator's file (besides its log4cpp.* lines) and
// of the bus daemon's file that the translator reads, with their defaults.
const std::vector<cConfigFile::Known>& translatorSettings();
const std::vector<cConfigFile::Known>& busSettings();
// Keys of the translator's file that its logging reads.
const std::vector<std::string>& loggingPrefixes();

// --check: reads both files (PATHs fixed) and prints every setting with
// where it came from and every problem; 0 when there is none, 1 otherwise.
int checkSettings(const char* translatorPath, const char* busPath);

class configuration {
 public:
  static configuration& getInstance();

  void setConfPath(const char* path);
  const char* getConfPath() const;
  void setHost(const char* host);
  const char* getHost() const;
  // Stores the comma-separated list and counts its items (1 + commas).
  void setSubscriptions(const char* subscriptions);
  const char* getSubscriptions() const;
  int getSubscriptionCount() const { return mSubscriptionCount; }

  void setChannelerPort(int port) { mChannelerPort = port; }
  int getChannelerPort() const { return mChannelerPort; }
  void setBroadcasterPort(int port) { mBroadcasterPort = port; }
  int getBroadcasterPort() const { return mBroadcasterPort; }
  void setPingTime(int seconds) { mPingTime = seconds; }
  int getPingTime() const { return mPingTime; }

  virtual ~configuration() = default;
  configuration(const configuration&) = delete;
  configuration& operator=(const configuration&) = delete;

 private:
  configuration() = default;

  std::optional<std::string> mConfPath;
  std::optional<std::string> mHost;
  std::optional<std::string> mSubscriptions;
  // Replaced during set-up by the bus daemon file's values or their defaults.
  int mChannelerPort = nlite::kDefaultChannelerPort;
  int mBroadcasterPort = nlite::kDefaultBroadcasterPort;
  int mSubscriptionCount = 0;
  int mPingTime = 0;  // set during set-up before any use
};

#endif  // CORE_CONFIGURATION_H
