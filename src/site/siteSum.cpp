// siteSum: the site summary's texts, its JSON rendering and its comparison.
#include "siteSum.h"

#include <cstdlib>

#include "optionalText.h"

namespace {

// The category's logger, looked up once: a report makes a summary.
const cKlog& sumLog() {
  static const cKlog log("siteSum");
  return log;
}

}  // namespace

siteSum::siteSum() : mLog(sumLog()) {}

siteSum::~siteSum() {
  // Without its lines the members go by themselves.
  if (!mLog.debugEnabled()) return;
  mLog.debug("In SiteSum GARBAGE COLLECTOR");
  if (mSiteID) {
    mLog.debug("deleting  mSiteID");
    mSiteID.reset();
  }
  if (mSiteLabel) {
    mLog.debug("deleting  mSiteLabel");
    mSiteLabel.reset();
  }
  if (mKey) {
    mLog.debug("deleting  mKey");
    mKey.reset();
  }
}

void siteSum::setSiteID(const char* text) { assignText(mSiteID, text); }
const char* siteSum::getSiteID() const { return textOf(mSiteID); }
void siteSum::setSiteLabel(const char* text) { assignText(mSiteLabel, text); }
const char* siteSum::getSiteLabel() const { return textOf(mSiteLabel); }

JsonPtr siteSum::toJSON() const {
  JsonPtr object(json_object());
  if (!object) std::abort();  // out of memory ends the process
  if (mKey) json_object_set_new(object.get(), "CFG", mKey->toJSON().release());
  return object;
}

bool siteSum::appendJSONMembers(std::string& out) const {
  if (!mKey) return true;
  const size_t start = out.size();
  out += "\"CFG\": ";
  if (mKey->appendJSON(out)) return true;
  out.resize(start);
  return false;
}

bool siteSum::operator==(const siteSum& other) const {
  mLog.debug("CHECKING SITE SUMMES EQUAL");
  // Every summary gets its key right after construction; should one lack it,
  // two summaries without a key are equal and one without never equals one
  // with a key.
  bool val;
  if (mKey && other.mKey)
    val = *mKey == *other.mKey;
  else
    val = !mKey && !other.mKey;
  if (val)
    mLog.debug("SITE SUMMES RETURN VAL Is true");
  else
    mLog.debug("SITE SUMMES RETURN VAL Is false");
  return val;
}
