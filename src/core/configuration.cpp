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
