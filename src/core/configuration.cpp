// configuration: the process-wide settings object and its text fields.
#include "configuration.h"

#include <algorithm>

configuration& configuration::getInstance() {
  // Never destroyed: threads that outlive main may still read it.
  static configuration* instance = new configuration();
  return *instance;
}

void configuration::setConfPath(const char* path) { mConfPath.emplace(path); }
const char* configuration::getConfPath() const { return textOf(mConfPath); }
void configuration::setHost(const char* host) { mHost.emplace(host); }
const char* configuration::getHost() const { return textOf(mHost); }

void configuration::setSubscriptions(const char* subscriptions) {
  mSubscriptions.emplace(subscriptions);
  mSubscriptionCount =
      1 + static_cast<int>(std::count(mSubscriptions->begin(), mSubscriptions->end(), ','));
}

const char* configuration::getSubscriptions() const { return textOf(mSubscriptions); }

const std::vector<cConfigFile::Known>& translatorSettings() {
  static const std::vector<cConfigFile::Known> known = {
      {"host", false, "127.0.0.1"}, {"pingTime", true, "10"}, {"subscriptions", false, "UNKNOWN"}};
  return known;
}

const std::vector<cConfigFile::Known>& busSettings() {
  static const std::vector<cConfigFile::Known> known = {
      {"nemba.channeler.port", true, std::to_string(nlite::kDefaultChannelerPort)},
      {"nemba.broadcaster.port", true, std::to_string(nlite::kDefaultBroadcasterPort)}};
  return known;
}

const std::vector<std::string>& loggingPrefixes() {
  static const std::vector<std::string> prefixes = {"log4cpp."};
  return prefixes;
}

int checkSettings(const char* translatorPath, const char* busPath) {
  cConfigFile translator, bus;
  translator.load(translatorPath, true);
  bus.load(busPath, true);
  // Both files are told whole, even when the first has problems.
  const bool good = translator.printCheck(stdout, translatorSettings(), loggingPrefixes());
  return bus.printCheck(stdout, busSettings(), {}) && good ? 0 : 1;
}
