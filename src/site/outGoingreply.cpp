// outGoingreply: the lock-status reply's text and its JSON rendering.
#include "outGoingreply.h"

#include <cstdlib>

#include "optionalText.h"

void outGoingreply::setLockStatus(const char* text) { assignText(mLockStatus, text); }
const char* outGoingreply::getLockStatus() const { return textOf(mLockStatus); }

JsonPtr outGoingreply::toJSON() const {
  JsonPtr object(json_object());
  if (!object) std::abort();  // out of memory ends the process
  // A status that is not valid UTF-8 keeps its member, with U+FFFD for the
  // bytes that are not (jsonString).
  if (mLockStatus) json_object_set_new(object.get(), "LOCK_STATUS", jsonString(mLockStatus->c_str()));
  const char* rfid = mLock ? mLock->getIntValStr() : nullptr;
  if (rfid) json_object_set_new(object.get(), "RFID", jsonString(rfid));
  return object;
}
