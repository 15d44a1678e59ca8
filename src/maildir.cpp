#include "maildir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util.h"

namespace pelliton {
namespace {

constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kMessageMode = 0600;
// Names already taken in tmp/ or new/ (a clock set back, a recycled pid)
// are passed over; this many in a row means something else is wrong.
constexpr int kNameAttempts = 16;

std::string HostPart() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::strcpy(host, "localhost");
  std::string part;
  for (const char* p = host; *p != '\0'; ++p) {
    // Readers split the name at ":" for their flags, and "/" cannot stand
    // in a file name at all.
    if (*p == '/')
      part += "\\057";
    else if (*p == ':')
      part += "\\072";
    else
      part += *p;
  }
  return part;
}

// Makes `path` a directory unless it is one.  False with errno set.
bool EnsureDirectory(const std::string& path, bool& created) {
  if (mkdir(path.c_str(), kDirectoryMode) == 0) {
    // The umask must not take the owner's own rights away.
    chmod(path.c_str(), kDirectoryMode);
    created = true;
    return true;
  }
  const int err = errno;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  // Something stands there that is no directory ("file/"): stat says what.
  if (err != EEXIST) errno = err;
  return false;
}

std::string ParentOf(const std::string& dir) {
  std::string::size_type end = dir.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  std::string::size_type slash = dir.find_last_of('/', end);
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : dir.substr(0, slash);
}

// Whatever name it goes by ("/", "//", "/..", a link to it): making it a
// Maildir would put tmp, new and cur into the root of the file system.
bool IsRootDirectory(const std::string& dir) {
  struct stat st, root;
  return stat(dir.c_str(), &st) == 0 && stat("/", &root) == 0 && st.st_dev == root.st_dev &&
         st.st_ino == root.st_ino;
}

// The Maildir and its three subdirectories; the directory above it is not
// made, so that a mistyped path fails instead of growing a tree.
bool EnsureMaildir(const std::string& dir) {
  bool madeTop = false;
  if (!EnsureDirectory(dir, madeTop)) return false;
  bool madeSub = false;
  for (const char* sub : {"tmp", "new", "cur"})
    if (!EnsureDirectory(dir + sub, madeSub)) return false;
  // Best effort: a Maildir lost in a crash is made again by the next
  // delivery, and the message itself is synced on its own.
  if (madeTop) SyncDirectory(ParentOf(dir));
  if (madeTop || madeSub) SyncDirectory(dir);
  return true;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Moves `from` to `to` where the file system has no hard links, without
// ever replacing a file that stands at `to`.
bool RenameNoReplace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  if (errno != ENOENT) return false;
  return rename(from.c_str(), to.c_str()) == 0;
}

bool LinksUnsupported(int err) {
  return err == EPERM || err == ENOTSUP || err == EOPNOTSUPP || err == ENOSYS;
}

class Delivery {
 public:
  Delivery(const char* dir, std::string_view header, std::string_view body, bool bodyHasLines)
      : dir_(dir), header_(header), body_(body), bodyHasLines_(bodyHasLines) {}

  int Run() {
    if (IsRootDirectory(dir_)) {
      Diag("unable to deliver to Maildir '%s' -- the root directory cannot be a Maildir\n",
           dir_.c_str());
      return 0;
    }
    const bool delivered = Deliver();
    const int err = errno;
    // Whatever is not kept goes before the report, so that nothing of a
    // failed delivery is left in tmp/ or new/ once it is told.
    newEntry_.Remove();
    tmpEntry_.Remove();
    if (!delivered) {
      Diag("unable to deliver to Maildir '%s' -- %s\n", dir_.c_str(), std::strerror(err));
      return 0;
    }
    return 1;
  }

 private:
  // False with errno telling why.
  bool Deliver() {
    if (!EnsureMaildir(dir_)) return false;
    UniqueFd fd = CreateInTmp();
    if (!fd) return false;
    if (!WriteMessage(fd.get())) return false;
    if (fsync(fd.get()) != 0) return false;
    if (close(fd.release()) != 0) return false;
    newPath_ = dir_ + "new/" + name_;
    if (link(tmpPath_.c_str(), newPath_.c_str()) != 0) {
      if (!LinksUnsupported(errno) || !RenameNoReplace(tmpPath_, newPath_)) return false;
      tmpEntry_.Keep();  // renamed away: the name in tmp/ is no longer ours
    }
    newEntry_.Set(newPath_);
    if (!SyncDirectory(dir_ + "new")) return false;
    newEntry_.Keep();
    return true;
  }

  UniqueFd CreateInTmp() {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      name_ = MaildirUniqueName();
      struct stat st;
      if (lstat((dir_ + "new/" + name_).c_str(), &st) == 0) continue;
      tmpPath_ = dir_ + "tmp/" + name_;
      UniqueFd fd(open(tmpPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kMessageMode));
      if (fd) {
        tmpEntry_.Set(tmpPath_);
        return fd;
      }
      if (errno != EEXIST) return UniqueFd();
    }
    errno = EEXIST;
    return UniqueFd();
  }

  // Header and body come without their last line end.  A header ends at
  // its first empty line, so an empty one has no lines; an empty body is
  // one empty line unless it has none.
  bool WriteMessage(int fd) {
    if (!header_.empty() && !(WriteAll(fd, header_) && WriteAll(fd, "\n"))) return false;
    if (!WriteAll(fd, "\n")) return false;
    return !bodyHasLines_ || (WriteAll(fd, body_) && WriteAll(fd, "\n"));
  }

  const std::string dir_;
  const std::string_view header_;
  const std::string_view body_;
  const bool bodyHasLines_;
  std::string name_;
  std::string tmpPath_;
  std::string newPath_;
  // What Deliver() made and has not yet kept.
  OwnedName tmpEntry_;
  OwnedName newEntry_;
};

}  // namespace

bool IsMaildirTarget(std::string_view target) { return !target.empty() && target.back() == '/'; }

std::string MaildirUniqueName() {
  static unsigned long counter = 0;
  timeval now{};
  gettimeofday(&now, nullptr);
  char prefix[96];
  std::snprintf(prefix, sizeof prefix, "%lld.M%ldP%ldQ%lu.", static_cast<long long>(now.tv_sec),
                static_cast<long>(now.tv_usec), static_cast<long>(getpid()), ++counter);
  return prefix + HostPart();
}

int DeliverToMaildir(const char* dir, std::string_view header, std::string_view body,
                     bool bodyHasLines) {
  return Delivery(dir, header, body, bodyHasLines).Run();
}

}  // namespace pelliton
