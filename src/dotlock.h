// The dot-lock of a mailbox: "<mailbox>.lock", made by linking a uniquely
// named file to that name, the convention that mail delivery agents and
// mail readers share, so that only one writer appends to the mailbox at a
// time.
#ifndef PELLITON_DOTLOCK_H
#define PELLITON_DOTLOCK_H

#include <sys/stat.h>

#include <string>

#include "util.h"

namespace pelliton {

class DotLock {
 public:
  // mailbox names the mailbox's real file, its symbolic links followed, so
  // that every name of one mailbox leads to the same lock; target is the
  // mailbox as the filter file names it, for messages.
  // The lock file, once taken, goes with the object.
  DotLock(const std::string& mailbox, const char* target);
  DotLock(const DotLock&) = delete;
  DotLock& operator=(const DotLock&) = delete;

  // True once the lock is held; false after a message when the names would
  // not fit, an attempt could not be made at all, a stale lock could not be
  // removed, or the run stopped during the wait.  A lock that someone else
  // holds is waited for, one attempt a second, as long as the run goes on;
  // one untouched for 300 seconds belongs to a writer that died and is
  // removed.
  bool Take();
  // Whether Take gave up because the run was stopping.
  bool GaveUp() const { return gaveUp_; }

 private:
  enum class Attempt { kTaken, kBusy, kFailed };
  Attempt TryOnce();

  const char* target_;
  std::string lockName_;
  OwnedName held_;
  bool gaveUp_ = false;
};

// Removes the lock file `lockName` if it still is the very file that was
// examined (`examined`, from lstat) and found stale.  Another waiter may
// have removed that file and a writer taken the lock afresh since: that
// lock is not touched.  False, after a message, when a stale lock file
// stays.
bool RemoveStaleLock(const std::string& lockName, const struct stat& examined);

}  // namespace pelliton

#endif  // PELLITON_DOTLOCK_H
