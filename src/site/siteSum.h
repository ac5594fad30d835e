// siteSum: the site summary, one key record as it is published on the bus as
// the site configuration and compared with the previous one.
// Ownership: the summary owns its key and texts; getKey and the text getters
// lend, toJSON returns a new value the caller owns.
// Threads: built, compared and deleted on the event pump thread; its key may
// be searched on the main thread while it is alive.
#ifndef SITE_SITESUM_H
#define SITE_SITESUM_H

#include <memory>
#include <optional>
#include <string>

#include "cKey.h"
#include "cKlog.h"
#include "kjson.h"

class siteSum {
 public:
  siteSum();
  ~siteSum();
  siteSum(const siteSum&) = delete;
  siteSum& operator=(const siteSum&) = delete;

  // Takes the key; given once, before the summary is rendered or compared.
  void setKey(std::unique_ptr<cKey> key) { mKey = std::move(key); }
  cKey* getKey() const { return mKey.get(); }
  // The text setters copy the text; nullptr leaves none. Neither text is
  // rendered or compared.
  void setSiteID(const char* text);
  const char* getSiteID() const;  // or nullptr
  void setSiteLabel(const char* text);
  const char* getSiteLabel() const;  // or nullptr

  // {"CFG": the key's rendering}; {} while there is no key.
  JsonPtr toJSON() const;
  // Appends the members of toJSON's document as json_dumps (flags 0) writes
  // them ("\"CFG\": {...}", or nothing while there is no key). False, with
  // out unchanged, when the rendering is toJSON's to decide.
  bool appendJSONMembers(std::string& out) const;
  // Compares the keys, this summary's key on the left.
  bool operator==(const siteSum& other) const;

 private:
  cKlog mLog;
  std::optional<std::string> mSiteID;
  std::optional<std::string> mSiteLabel;
  std::unique_ptr<cKey> mKey;
};

#endif  // SITE_SITESUM_H
