#include "dotlock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

namespace pelliton {
namespace {

using Clock = std::chrono::steady_clock;

// The lock and temporary names must fit the 1024-byte buffers that other
// programs following the same locking convention use.
constexpr std::size_t kMaxLockPathLength = 1023;
constexpr const char* kLockSuffix = ".lock";
constexpr const char* kTempSuffix = ".XXXXXX";
// A lock file untouched for this long belongs to a writer that died.
constexpr time_t kStaleLockSeconds = 300;
constexpr auto kLockRetryInterval = std::chrono::seconds(1);

bool isStale(const struct stat& st) { return time(nullptr) - st.st_mtime >= kStaleLockSeconds; }

bool sameFile(const char* a, const char* b) {
  struct stat statA, statB;
  if (stat(a, &statA) != 0 || stat(b, &statB) != 0) return false;
  return statA.st_dev == statB.st_dev && statA.st_ino == statB.st_ino;
}

}  // namespace

DotLock::DotLock(const std::string& mailbox, const char* target)
    : target_(target), lockName_(mailbox + kLockSuffix) {}

bool DotLock::Take() {
  if (lockName_.size() + std::char_traits<char>::length(kTempSuffix) > kMaxLockPathLength) {
    Diag("unable to open file '%s'\n", target_);
    return false;
  }
  // Signals are held back only once there is a wait to end: most locks
  // are taken at the first attempt.
  std::optional<SignalGate> gate;
  for (;;) {
    switch (TryOnce()) {
      case Attempt::kTaken:
        return true;
      case Attempt::kFailed:
        Diag("unable to open file '%s'\n", target_);
        return false;
      case Attempt::kBusy:
        break;
    }
    if (!gate) gate.emplace();
    if (!keepRunning) break;
    struct stat st;
    if (lstat(lockName_.c_str(), &st) == 0 && isStale(st) && !RemoveStaleLock(lockName_, st))
      return false;
    const auto until = Clock::now() + kLockRetryInterval;
    // Other signals (SIGCHLD of some child) only shorten the wait.
    while (keepRunning && Clock::now() < until) gate->Wait(-1, 0, until);
    if (!keepRunning) break;
  }
  gaveUp_ = true;
  Diag("unable to lock '%s' -- the run is stopping\n", target_);
  return false;
}

DotLock::Attempt DotLock::TryOnce() {
  std::string templ = lockName_ + kTempSuffix;
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  UniqueFd fd(mkostemp(buf.data(), O_CLOEXEC));
  if (!fd) return Attempt::kFailed;
  const OwnedName temp(buf.data());
  // Readable and writable by every program that may share the mailbox,
  // whatever our umask.
  fchmod(fd.get(), 0666);
  fd.reset();
  if (link(temp.path().c_str(), lockName_.c_str()) != 0) {
    // Only an existing lock file can go away or turn stale; any other
    // failure would repeat for ever.
    return errno == EEXIST ? Attempt::kBusy : Attempt::kFailed;
  }
  if (!sameFile(temp.path().c_str(), lockName_.c_str())) return Attempt::kBusy;
  held_.Set(lockName_);
  return Attempt::kTaken;
}

bool RemoveStaleLock(const std::string& lockName, const struct stat& examined) {
  // A lock taken afresh is a new file, or at least a new modification
  // time when its inode number was reused; either way it is not stale.
  // (No call removes a name only if it is a given file, so the look and
  // the removal follow each other as closely as they can.)
  struct stat now;
  if (lstat(lockName.c_str(), &now) != 0) return true;
  if (now.st_dev != examined.st_dev || now.st_ino != examined.st_ino ||
      now.st_mtim.tv_sec != examined.st_mtim.tv_sec ||
      now.st_mtim.tv_nsec != examined.st_mtim.tv_nsec || !isStale(now))
    return true;
  if (unlink(lockName.c_str()) == 0 || errno == ENOENT) return true;
  Diag("unable to remove stale lock file '%s' -- %s\n", lockName.c_str(), std::strerror(errno));
  return false;
}

}  // namespace pelliton
