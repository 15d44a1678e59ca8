#include "atomicfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>

namespace pelliton {

bool FollowLinks(std::string& path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISLNK(st.st_mode)) return true;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1,
                       '\0');
    const ssize_t n = readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return false;
    if (static_cast<std::size_t>(n) >= target.size()) {
      errno = ENAMETOOLONG;
      return false;
    }
    target.resize(static_cast<std::size_t>(n));
    if (target.empty() || target[0] != '/') {
      const std::size_t slash = path.rfind('/');
      target = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + target;
    }
    path = target;
  }
  errno = ELOOP;
  return false;
}

namespace {

// The rename goes through the directory, so it would replace a file that
// its owner made read-only, or that is not ours to write, behind their
// back.  A file that is not there yet may be made.
bool mayReplace(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno == ENOENT;
  // The permission bits alone, since for root access(2) grants everything.
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    errno = EACCES;
    return false;
  }
  return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

// The replacement takes over the old file's owner and permission bits; a
// new file gets the mode that a plain create would give.
bool takeOverAttributes(int fd, const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    // Only a privileged run can give the file away, and only then does the
    // owner differ; a failure leaves the replacement as the runner's own.
    if ((st.st_uid != geteuid() || st.st_gid != getegid()) &&
        fchown(fd, st.st_uid, st.st_gid) != 0) {
    }
    return fchmod(fd, st.st_mode & 07777) == 0;
  }
  const mode_t mask = umask(0);
  umask(mask);
  return fchmod(fd, 0666 & ~mask) == 0;
}

}  // namespace

ReplacementFile::ReplacementFile(std::string path, std::string tempPrefix)
    : target_(std::move(path)), tempPrefix_(std::move(tempPrefix)) {}

ReplacementFile::~ReplacementFile() {
  if (!stream_ && fd_ >= 0) close(fd_);
  stream_.reset();
}

bool ReplacementFile::Create() {
  if (!FollowLinks(target_) || !mayReplace(target_)) return false;
  std::string templ = DirectoryOf(target_);
  if (templ.back() != '/') templ += '/';
  templ += tempPrefix_ + ".XXXXXX";
  fd_ = mkstemp(templ.data());
  if (fd_ < 0) return false;
  temp_.Set(templ);
  if (!takeOverAttributes(fd_, target_)) return false;
  stream_.reset(fdopen(fd_, "w"));
  return static_cast<bool>(stream_);
}

bool ReplacementFile::Commit() {
  if (std::fflush(stream_.get()) != 0 || std::ferror(stream_.get()) != 0) return false;
  if (fsync(fd_) != 0) return false;
  fd_ = -1;
  if (!stream_.Close()) return false;
  if (rename(temp_.path().c_str(), target_.c_str()) != 0) return false;
  temp_.Keep();
  // Makes the rename itself durable; the data is already safe, so a
  // failure here is not worth failing the run for.
  SyncDirectory(DirectoryOf(target_));
  return true;
}

}  // namespace pelliton
