#include "delivery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "pelliton.h"

namespace pelliton {
namespace {

// The lock and temporary names must fit the 1024-byte buffers that other
// programs following the same locking convention use.
constexpr std::size_t kMaxLockPathLength = 1023;
constexpr const char* kLockSuffix = ".lock";
constexpr const char* kTempSuffix = ".XXXXXX";
// A lock file untouched for this long belongs to a writer that died.
constexpr time_t kStaleLockSeconds = 300;

// What the caller hands over: header and body, each without its last line
// end, their lines already shaped for a mailbox.
struct Article {
  const char* header;
  std::size_t headerLen;
  const char* body;
  std::size_t bodyLen;
};

// The five pieces of one delivered message, in the order they are written.
// Made just before writing, since the separator line carries the time of
// delivery, not the time the lock was first asked for.
class Message {
 public:
  explicit Message(const Article& article) : separator_(SeparatorLine()) {
    Add(separator_.data(), separator_.size());
    Add(article.header, article.headerLen);
    Add(kBlankLine, 2);
    Add(article.body, article.bodyLen);
    Add(kBlankLine, 2);
  }
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  // Writes every byte, going on after short writes and interrupted calls,
  // so that a signal arriving while a command is slow to read does not cut
  // the message short.  Returns false after the first failed write.
  bool WriteTo(int fd) {
    std::size_t first = 0;
    while (first < pieces_.size()) {
      int count = static_cast<int>(std::min<std::size_t>(pieces_.size() - first, IOV_MAX));
      ssize_t written = writev(fd, &pieces_[first], count);
      if (written < 0 && errno == EINTR) continue;
      // Nothing accepted while bytes remain would only repeat for ever.
      if (written <= 0) return false;
      Consume(first, static_cast<std::size_t>(written));
    }
    return true;
  }

 private:
  static constexpr char kBlankLine[] = "\n\n";

  static std::string SeparatorLine() {
    time_t now = time(nullptr);
    // ctime's text carries its own line end.
    const char* date = std::ctime(&now);
    return std::string("From ") + kSenderAddress + " " +
           (date != nullptr ? date : "Thu Jan  1 00:00:00 1970\n");
  }

  void Add(const char* data, std::size_t len) {
    if (len == 0) return;
    pieces_.push_back(iovec{const_cast<char*>(data), len});
  }

  void Consume(std::size_t& first, std::size_t written) {
    while (written > 0 && first < pieces_.size()) {
      iovec& piece = pieces_[first];
      std::size_t used = std::min(written, piece.iov_len);
      piece.iov_base = static_cast<char*>(piece.iov_base) + used;
      piece.iov_len -= used;
      written -= used;
      if (piece.iov_len == 0) ++first;
    }
  }

  std::string separator_;
  std::vector<iovec> pieces_;
};

void SetCloseOnExec(int fd) {
  int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

void ReportUnableToOpen(const char* target) {
  std::fprintf(stderr, "%s: unable to open file '%s'\n", programName, target);
}

void ReportWriteError(const char* target) {
  std::fprintf(stderr, "%s: error writing to '%s'\n", programName, target);
}

// A command started with popen; it is closed and waited for on every path.
class CommandPipe {
 public:
  explicit CommandPipe(const char* command) : stream_(popen(command, "w")) {
    if (stream_ != nullptr) SetCloseOnExec(fileno(stream_));
  }
  ~CommandPipe() {
    if (stream_ != nullptr) pclose(stream_);
  }
  CommandPipe(const CommandPipe&) = delete;
  CommandPipe& operator=(const CommandPipe&) = delete;

  bool IsOpen() const { return stream_ != nullptr; }
  int fd() const { return fileno(stream_); }
  // pclose's result: 0 when the command exited with status 0.
  int Close() {
    int status = pclose(stream_);
    stream_ = nullptr;
    return status;
  }

 private:
  FILE* stream_;
};

int DeliverToPipe(const char* command, const Article& article) {
  // The command shares our output streams; what we printed must come first.
  std::fflush(stdout);
  std::fflush(stderr);
  CommandPipe pipe(command);
  if (!pipe.IsOpen()) {
    std::fprintf(stderr, "%s: unable to open pipe to '%s'\n", programName, command);
    return 0;
  }
  int result = 1;
  // Written straight to the descriptor: nothing waits in a stdio buffer
  // that only pclose would flush, where a failure could not be seen.
  if (!Message(article).WriteTo(pipe.fd())) {
    ReportWriteError(command);
    result = 0;
  }
  if (pipe.Close() != 0) {
    std::fprintf(stderr, "%s: pipe '%s' terminated abnormally\n", programName, command);
    result = 0;
  }
  return result;
}

// An open descriptor, closed when it goes.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// The temporary second name of a would-be lock file; it never outlives the
// attempt that made it.
class TemporaryName {
 public:
  explicit TemporaryName(std::string name) : name_(std::move(name)) {}
  ~TemporaryName() { unlink(name_.c_str()); }
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  const char* c_str() const { return name_.c_str(); }

 private:
  std::string name_;
};

bool SameFile(const char* a, const char* b) {
  struct stat statA, statB;
  if (stat(a, &statA) != 0 || stat(b, &statB) != 0) return false;
  return statA.st_dev == statB.st_dev && statA.st_ino == statB.st_ino;
}

void RemoveStaleLock(const std::string& lockName) {
  struct stat st;
  if (stat(lockName.c_str(), &st) != 0) return;
  if (time(nullptr) - st.st_mtime >= kStaleLockSeconds) unlink(lockName.c_str());
}

// "<mailbox>.lock", created by linking a uniquely named file to it, so that
// only one writer following the convention appends to the mailbox at a
// time.  The lock file is removed when the holder goes, if it was taken.
class MailboxLock {
 public:
  explicit MailboxLock(const char* mailbox)
      : lockName_(std::string(mailbox) + kLockSuffix) {}
  ~MailboxLock() {
    if (held_) unlink(lockName_.c_str());
  }
  MailboxLock(const MailboxLock&) = delete;
  MailboxLock& operator=(const MailboxLock&) = delete;

  // False when the names would not fit, or when an attempt could not be
  // made at all; a lock that someone else holds is waited for, without end.
  bool Take() {
    if (lockName_.size() + std::char_traits<char>::length(kTempSuffix) > kMaxLockPathLength)
      return false;
    for (;;) {
      switch (TryOnce()) {
        case Attempt::kTaken:
          held_ = true;
          return true;
        case Attempt::kFailed:
          return false;
        case Attempt::kBusy:
          break;
      }
      RemoveStaleLock(lockName_);
      sleep(1);
    }
  }

 private:
  enum class Attempt { kTaken, kBusy, kFailed };

  Attempt TryOnce() {
    std::string templ = lockName_ + kTempSuffix;
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    UniqueFd fd(mkstemp(buf.data()));
    if (fd.get() < 0) return Attempt::kFailed;
    TemporaryName temp(buf.data());
    SetCloseOnExec(fd.get());
    // Readable and writable by every program that may share the mailbox,
    // whatever our umask.
    fchmod(fd.get(), 0666);
    fd.Reset();
    if (link(temp.c_str(), lockName_.c_str()) != 0) {
      // Only an existing lock file can go away or turn stale; any other
      // failure would repeat for ever.
      return errno == EEXIST ? Attempt::kBusy : Attempt::kFailed;
    }
    return SameFile(temp.c_str(), lockName_.c_str()) ? Attempt::kTaken : Attempt::kBusy;
  }

  std::string lockName_;
  bool held_ = false;
};

// -1 when the mailbox is over the limit, 0 when it cannot be examined,
// 1 when a message may be appended.
int CheckMailboxSize(const char* mailbox, unsigned long sizeLimit) {
  struct stat st;
  if (stat(mailbox, &st) != 0) {
    if (errno == ENOENT) return 1;
    ReportUnableToOpen(mailbox);
    return 0;
  }
  if (sizeLimit != 0 && static_cast<unsigned long>(st.st_size) > sizeLimit) {
    std::fprintf(stderr, "%s: file size limit reached on '%s'\n", programName, mailbox);
    return -1;
  }
  return 1;
}

// A mailbox opened for appending; closed on every path.
class MailboxStream {
 public:
  explicit MailboxStream(const char* mailbox) : stream_(std::fopen(mailbox, "a")) {
    if (stream_ != nullptr) SetCloseOnExec(fileno(stream_));
  }
  ~MailboxStream() {
    if (stream_ != nullptr) std::fclose(stream_);
  }
  MailboxStream(const MailboxStream&) = delete;
  MailboxStream& operator=(const MailboxStream&) = delete;

  bool IsOpen() const { return stream_ != nullptr; }
  int fd() const { return fileno(stream_); }
  // Some file systems report a full disk or an exceeded quota only when
  // the data is flushed or the file closed.
  bool Close() {
    bool flushed = std::fflush(stream_) == 0;
    bool closed = std::fclose(stream_) == 0;
    stream_ = nullptr;
    return flushed && closed;
  }

 private:
  FILE* stream_;
};

void ReportUnableToAppend(const char* mailbox) {
  std::fprintf(stderr, "%s: unable to open file '%s' for appending\n", programName, mailbox);
}

// Best effort: a mailbox that cannot even be cut back is reported no
// better than by the write failure that led here.
void CutBack(int fd, off_t size) {
  while (ftruncate(fd, size) != 0 && errno == EINTR) {
  }
}

void CutBack(const char* path, off_t size) {
  while (truncate(path, size) != 0 && errno == EINTR) {
  }
}

// Appends under a lock that the caller holds.  A message that could not be
// written whole is cut away again, so the mailbox stays a sequence of whole
// messages and the article can be delivered again later.
int AppendToMailbox(const char* mailbox, const Article& article) {
  MailboxStream stream(mailbox);
  if (!stream.IsOpen()) {
    ReportUnableToAppend(mailbox);
    return 0;
  }
  struct stat st;
  if (fstat(stream.fd(), &st) != 0) {
    // Without the old size a failed write could not be undone.
    ReportUnableToAppend(mailbox);
    return 0;
  }
  const off_t oldSize = st.st_size;
  bool written = Message(article).WriteTo(stream.fd());
  if (!written) CutBack(stream.fd(), oldSize);
  bool closed = stream.Close();
  // The lock is still held, so the name still stands for our mailbox.
  if (written && !closed) CutBack(mailbox, oldSize);
  if (!written || !closed) {
    ReportWriteError(mailbox);
    return 0;
  }
  return 1;
}

int DeliverToMailbox(const ActionInfo* actInfo, const Article& article) {
  const char* mailbox = actInfo->target.c_str();
  MailboxLock lock(mailbox);
  if (!lock.Take()) {
    ReportUnableToOpen(mailbox);
    return 0;
  }
  int sizeCheck = CheckMailboxSize(mailbox, actInfo->sizeLimit);
  if (sizeCheck != 1) return sizeCheck;
  return AppendToMailbox(mailbox, article);
}

}  // namespace

int ProcessAction(const ActionInfo* actInfo, const char* header, int headerLen,
                  const char* body, int bodyLen) {
  assert(actInfo != NULL);
  assert(header != NULL);
  assert(body != NULL);
  assert(headerLen >= 0 && bodyLen >= 0);
  if (actInfo->target.empty()) return 1;
  if (actInfo->type != ACTION_TYPE_PIPE && actInfo->type != ACTION_TYPE_FILE) return 1;
  const Article article{header, static_cast<std::size_t>(headerLen), body,
                        static_cast<std::size_t>(bodyLen)};
  if (actInfo->type == ACTION_TYPE_PIPE) return DeliverToPipe(actInfo->target.c_str(), article);
  return DeliverToMailbox(actInfo, article);
}

}  // namespace pelliton
