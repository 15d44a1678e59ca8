#include "delivery.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "maildir.h"
#include "util.h"

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
// Once the run is stopping (a signal, a failed delivery, a lost
// connection) a command gets this long to take the rest of its message and
// end; then its pipe is closed and it is sent SIGTERM, and SIGKILL as long
// again later.
constexpr auto kCommandGrace = std::chrono::seconds(5);

// What the caller hands over: the header as received and the body
// unstuffed, each without its last line end.
struct Article {
  std::string_view header;
  std::string_view body;
};

// One message in mailbox form, as pieces that point into the article: the
// bytes that make sure the separator line starts a message of its own, the
// separator line, the header, an empty line, the body, an empty line.
// Lines of header and body that begin with "From " get a ">" in front, so
// that no line of the article can pass for a separator.  Made just before
// writing, since the separator line carries the time of delivery.
class MboxMessage {
 public:
  MboxMessage(const Article& article, std::string_view lead) : separator_(SeparatorLine()) {
    Add(lead);
    Add(separator_);
    AddQuoted(article.header);
    Add(kBlankLine);
    AddQuoted(article.body);
    Add(kBlankLine);
  }
  MboxMessage(const MboxMessage&) = delete;
  MboxMessage& operator=(const MboxMessage&) = delete;

  bool Done() const { return first_ == pieces_.size(); }

  // One writev of what is left: its result, errno as it set it.
  ssize_t WriteOnce(int fd) {
    int count = static_cast<int>(std::min<std::size_t>(pieces_.size() - first_, IOV_MAX));
    ssize_t written = writev(fd, &pieces_[first_], count);
    if (written > 0) Consume(static_cast<std::size_t>(written));
    return written;
  }

  // Every byte into a descriptor whose writes do not wait for a reader,
  // going on after short writes and interrupted calls: a signal does not
  // cut an ordinary append short.  False after the first failed write.
  bool WriteAll(int fd) {
    while (!Done()) {
      ssize_t written = WriteOnce(fd);
      if (written < 0 && errno == EINTR) continue;
      // Nothing accepted while bytes remain would only repeat for ever.
      if (written <= 0) return false;
    }
    return true;
  }

 private:
  static constexpr std::string_view kBlankLine = "\n\n";
  static constexpr std::string_view kQuote = ">";
  static constexpr std::string_view kFromLine = "From ";

  static std::string SeparatorLine() {
    time_t now = time(nullptr);
    // ctime's text carries its own line end.
    const char* date = std::ctime(&now);
    return std::string("From ") + kSenderAddress + " " +
           (date != nullptr ? date : "Thu Jan  1 00:00:00 1970\n");
  }

  void Add(std::string_view text) {
    if (text.empty()) return;
    pieces_.push_back(iovec{const_cast<char*>(text.data()), text.size()});
  }

  void AddQuoted(std::string_view text) {
    std::size_t start = 0;
    for (std::size_t pos = text.find(kFromLine); pos != std::string_view::npos;
         pos = text.find(kFromLine, pos + 1)) {
      if (pos != 0 && text[pos - 1] != '\n') continue;
      Add(text.substr(start, pos - start));
      Add(kQuote);
      start = pos;
    }
    Add(text.substr(start));
  }

  void Consume(std::size_t written) {
    while (written > 0 && first_ < pieces_.size()) {
      iovec& piece = pieces_[first_];
      std::size_t used = std::min(written, piece.iov_len);
      piece.iov_base = static_cast<char*>(piece.iov_base) + used;
      piece.iov_len -= used;
      written -= used;
      if (piece.iov_len == 0) ++first_;
    }
  }

  std::string separator_;
  std::vector<iovec> pieces_;
  std::size_t first_ = 0;
};

// Holds back the signals that end a run, and SIGCHLD, everywhere but in
// its waits: a signal that arrives just before a wait still ends that
// wait instead of being noticed only after it.
class SignalGate {
 public:
  SignalGate() {
    sigset_t held;
    sigemptyset(&held);
    for (int sig : kStopSignals) sigaddset(&held, sig);
    sigaddset(&held, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &held, &original_);
    waitMask_ = original_;
    for (int sig : kStopSignals) sigdelset(&waitMask_, sig);
    sigdelset(&waitMask_, SIGCHLD);
  }
  ~SignalGate() { pthread_sigmask(SIG_SETMASK, &original_, nullptr); }
  SignalGate(const SignalGate&) = delete;
  SignalGate& operator=(const SignalGate&) = delete;

  const sigset_t& original() const { return original_; }

  // Waits until `fd` (when not -1) can be written, a signal has been
  // handled, or the deadline (when given) has passed; at most a second, so
  // that a signal taken by another thread of a host process (a test) is
  // noticed all the same.
  void Wait(int fd, const std::optional<Clock::time_point>& deadline) const {
    Clock::duration left = std::chrono::seconds(1);
    if (deadline) left = std::clamp(*deadline - Clock::now(), Clock::duration::zero(), left);
    fd_set writable;
    FD_ZERO(&writable);
    int nfds = 0;
    if (fd >= 0 && fd < FD_SETSIZE) {
      FD_SET(fd, &writable);
      nfds = fd + 1;
    } else if (fd >= 0) {
      // A descriptor select cannot watch is tried again after a moment.
      left = std::min<Clock::duration>(left, std::chrono::milliseconds(10));
    }
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec timeout{static_cast<time_t>(nanoseconds / 1000000000),
                     static_cast<long>(nanoseconds % 1000000000)};
    pselect(nfds, nullptr, nfds > 0 ? &writable : nullptr, nullptr, &timeout, &waitMask_);
  }

 private:
  sigset_t original_;
  sigset_t waitMask_;
};

// The moment by which a delivery must be over once the run is stopping;
// none while the run goes on.
class GraceClock {
 public:
  const std::optional<Clock::time_point>& Deadline() {
    if (!keepRunning && !deadline_) deadline_ = Clock::now() + kCommandGrace;
    return deadline_;
  }
  bool Passed() { return Deadline() && Clock::now() >= *deadline_; }

 private:
  std::optional<Clock::time_point> deadline_;
};

// Lets SIGCHLD wake a wait while it is in place: its default is to be
// ignored, which would not end pselect.  Also makes sure the command can be
// waited for even if pelliton was started with SIGCHLD ignored.
class ChildSignal {
 public:
  ChildSignal() {
    struct sigaction action {};
    action.sa_handler = Ignore;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &action, &old_);
  }
  ~ChildSignal() { sigaction(SIGCHLD, &old_, nullptr); }
  ChildSignal(const ChildSignal&) = delete;
  ChildSignal& operator=(const ChildSignal&) = delete;

 private:
  static void Ignore(int) {}
  struct sigaction old_ {};
};

// A shell command reading the write end's data on its standard input,
// started as popen would, but with its pid at hand so that a command that
// neither reads nor ends can be ended.
class Command {
 public:
  Command() = default;
  ~Command() {
    // Only reached when Finish was not: never leave a zombie or a writer
    // behind.
    pipe_.reset();
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  bool Start(const char* command, const SignalGate& gate) {
    int fds[2];
    // Both ends close on exec: the command gets the read end as its
    // standard input and nothing else of ours.
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    UniqueFd readEnd(fds[0]);
    pipe_.reset(fds[1]);
    SetFlag(pipe_.get(), F_GETFL, F_SETFL, O_NONBLOCK);
    pid_t pid = fork();
    if (pid < 0) {
      pipe_.reset();
      return false;
    }
    if (pid == 0) RunChild(command, readEnd.get(), gate.original());
    pid_ = pid;
    return true;
  }

  int fd() const { return pipe_.get(); }

  // Closes the pipe and waits for the command; pclose's result: the wait
  // status, or -1 when the wait failed.
  int Finish(const SignalGate& gate, GraceClock& grace) {
    pipe_.reset();
    std::optional<Clock::time_point> killAt;
    bool killed = false;
    for (;;) {
      int status = 0;
      pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_ || (done < 0 && errno != EINTR)) {
        pid_ = -1;
        return done < 0 ? -1 : status;
      }
      if (!killAt && grace.Passed()) {
        kill(pid_, SIGTERM);
        killAt = Clock::now() + kCommandGrace;
      } else if (killAt && !killed && Clock::now() >= *killAt) {
        kill(pid_, SIGKILL);
        killed = true;
      }
      std::optional<Clock::time_point> until = killAt ? killAt : grace.Deadline();
      if (killed) until.reset();
      gate.Wait(-1, until);
    }
  }

 private:
  static void SetFlag(int fd, int get, int set, int flag) {
    int flags = fcntl(fd, get);
    if (flags >= 0) fcntl(fd, set, flags | flag);
  }

  // Between fork and exec only async-signal-safe calls.
  [[noreturn]] static void RunChild(const char* command, int readEnd, const sigset_t& mask) {
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGXFSZ, SIGCHLD})
      sigaction(sig, &standard, nullptr);
    // dup2 leaves the copy open across exec; a read end that already is
    // descriptor 0 must be told so itself.
    if (readEnd == STDIN_FILENO) {
      if (fcntl(readEnd, F_SETFD, 0) != 0) _exit(127);
    } else if (dup2(readEnd, STDIN_FILENO) < 0) {
      _exit(127);
    }
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
    _exit(127);
  }

  UniqueFd pipe_;
  pid_t pid_ = -1;
};

// Writes the message into the command while it takes it; after a signal
// only until the grace runs out.
bool WriteToCommand(Command& command, MboxMessage& message, const SignalGate& gate,
                    GraceClock& grace) {
  while (!message.Done()) {
    ssize_t written = message.WriteOnce(command.fd());
    if (written > 0 || (written < 0 && errno == EINTR)) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (grace.Passed()) return false;
      gate.Wait(command.fd(), grace.Deadline());
      continue;
    }
    return false;
  }
  return true;
}

int DeliverToPipe(const char* command, const Article& article) {
  // The command shares our output streams; what we printed must come first.
  std::fflush(stdout);
  std::fflush(stderr);
  SignalGate gate;
  ChildSignal childSignal;
  GraceClock grace;
  Command child;
  if (!child.Start(command, gate)) {
    Diag("unable to open pipe to '%s'\n", command);
    return 0;
  }
  int result = 1;
  MboxMessage message(article, "");
  if (!WriteToCommand(child, message, gate, grace)) {
    Diag("error writing to '%s'\n", command);
    result = 0;
  }
  if (child.Finish(gate, grace) != 0) {
    Diag("pipe '%s' terminated abnormally\n", command);
    result = 0;
  }
  return result;
}

void ReportUnableToOpen(const char* target) { Diag("unable to open file '%s'\n", target); }

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

// "<mailbox>.lock", created by linking a uniquely named file to it, so that
// only one writer following the convention appends to the mailbox at a
// time.  The lock file is removed when the holder goes, if it was taken.
class MailboxLock {
 public:
  explicit MailboxLock(const char* mailbox)
      : mailbox_(mailbox), lockName_(std::string(mailbox) + kLockSuffix) {}
  ~MailboxLock() {
    if (held_) unlink(lockName_.c_str());
  }
  MailboxLock(const MailboxLock&) = delete;
  MailboxLock& operator=(const MailboxLock&) = delete;

  // True once the lock is held; false after a message when the names would
  // not fit, an attempt could not be made at all, a stale lock could not be
  // removed, or a signal ended the wait.  A lock that someone else holds is
  // waited for as long as the run goes on.
  bool Take() {
    if (lockName_.size() + std::char_traits<char>::length(kTempSuffix) > kMaxLockPathLength) {
      ReportUnableToOpen(mailbox_);
      return false;
    }
    // Signals are held back only once there is a wait to end: most locks
    // are taken at the first attempt.
    std::optional<SignalGate> gate;
    for (;;) {
      switch (TryOnce()) {
        case Attempt::kTaken:
          held_ = true;
          return true;
        case Attempt::kFailed:
          ReportUnableToOpen(mailbox_);
          return false;
        case Attempt::kBusy:
          break;
      }
      if (!gate) gate.emplace();
      if (!keepRunning) return Interrupted();
      if (!RemoveIfStale()) return false;
      const auto until = Clock::now() + kLockRetryInterval;
      // Other signals (SIGCHLD of some child) only shorten the wait.
      while (keepRunning && Clock::now() < until) gate->Wait(-1, until);
      if (!keepRunning) return Interrupted();
    }
  }

 private:
  enum class Attempt { kTaken, kBusy, kFailed };

  Attempt TryOnce() {
    std::string templ = lockName_ + kTempSuffix;
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    UniqueFd fd(mkostemp(buf.data(), O_CLOEXEC));
    if (!fd) return Attempt::kFailed;
    TemporaryName temp(buf.data());
    // Readable and writable by every program that may share the mailbox,
    // whatever our umask.
    fchmod(fd.get(), 0666);
    fd.reset();
    if (link(temp.c_str(), lockName_.c_str()) != 0) {
      // Only an existing lock file can go away or turn stale; any other
      // failure would repeat for ever.
      return errno == EEXIST ? Attempt::kBusy : Attempt::kFailed;
    }
    return SameFile(temp.c_str(), lockName_.c_str()) ? Attempt::kTaken : Attempt::kBusy;
  }

  // False, after a message, when a stale lock file stays: waiting for it
  // would never end.
  bool RemoveIfStale() {
    struct stat st;
    if (stat(lockName_.c_str(), &st) != 0) return true;
    if (time(nullptr) - st.st_mtime < kStaleLockSeconds) return true;
    if (unlink(lockName_.c_str()) == 0 || errno == ENOENT) return true;
    Diag("unable to remove stale lock file '%s' -- %s\n", lockName_.c_str(), std::strerror(errno));
    return false;
  }

  bool Interrupted() {
    Diag("unable to lock '%s' -- the run is stopping\n", mailbox_);
    return false;
  }

  const char* mailbox_;
  std::string lockName_;
  bool held_ = false;
};

void ReportNotARegularFile(const char* mailbox) {
  Diag("unable to open file '%s' for appending -- not a regular file\n", mailbox);
}

// -1 when the mailbox is over the limit, 0 when it cannot be examined or
// is no regular file, 1 when a message may be appended.
int CheckMailbox(const char* mailbox, unsigned long sizeLimit) {
  struct stat st;
  if (stat(mailbox, &st) != 0) {
    if (errno == ENOENT) return 1;
    ReportUnableToOpen(mailbox);
    return 0;
  }
  if (!S_ISREG(st.st_mode)) {
    ReportNotARegularFile(mailbox);
    return 0;
  }
  if (sizeLimit != 0 && static_cast<unsigned long>(st.st_size) > sizeLimit) {
    Diag("file size limit reached on '%s'\n", mailbox);
    return -1;
  }
  return 1;
}

// Opened without ever waiting: a FIFO or a device put in the mailbox's
// place after it was examined must not block the run.  Read access, where
// there is any, lets the end of the mailbox be looked at.
UniqueFd OpenForAppend(const char* mailbox) {
  constexpr int kFlags = O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC;
  UniqueFd fd(open(mailbox, O_RDWR | kFlags, 0666));
  if (!fd && errno == EACCES) fd.reset(open(mailbox, O_WRONLY | kFlags, 0666));
  return fd;
}

// What must come before the separator line so that it starts a message of
// its own: a mailbox whose last message was torn, or that was edited by
// hand, may not end in an empty line.  Nothing when the end cannot be read.
std::string_view LeadFor(int fd, off_t size) {
  if (size == 0) return "";
  char tail[2];
  const off_t from = size >= 2 ? size - 2 : 0;
  const ssize_t wanted = static_cast<ssize_t>(size - from);
  if (pread(fd, tail, static_cast<std::size_t>(wanted), from) != wanted) return "";
  if (tail[wanted - 1] != '\n') return "\n\n";
  if (wanted == 1 || tail[0] == '\n') return "";
  return "\n";
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
// written whole is cut away again, with whatever was put before its
// separator line, so the mailbox stays as it was and the article can be
// delivered again later.
int AppendToMailbox(const char* mailbox, const Article& article) {
  UniqueFd fd = OpenForAppend(mailbox);
  if (!fd) {
    Diag("unable to open file '%s' for appending\n", mailbox);
    return 0;
  }
  struct stat st;
  int flags = -1;
  if (fstat(fd.get(), &st) != 0 || (flags = fcntl(fd.get(), F_GETFL)) < 0 ||
      fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    // Without the old size a failed write could not be undone.
    Diag("unable to open file '%s' for appending\n", mailbox);
    return 0;
  }
  if (!S_ISREG(st.st_mode)) {
    ReportNotARegularFile(mailbox);
    return 0;
  }
  const off_t oldSize = st.st_size;
  MboxMessage message(article, LeadFor(fd.get(), oldSize));
  const bool written = message.WriteAll(fd.get());
  if (!written) CutBack(fd.get(), oldSize);
  // Some file systems report a full disk or an exceeded quota only when
  // the file is closed.
  const bool closed = close(fd.release()) == 0;
  // The lock is still held, so the name still stands for our mailbox.
  if (written && !closed) CutBack(mailbox, oldSize);
  if (!written || !closed) {
    Diag("error writing to '%s'\n", mailbox);
    return 0;
  }
  return 1;
}

int DeliverToMailbox(const ActionInfo* actInfo, const Article& article) {
  const char* mailbox = actInfo->target.c_str();
  MailboxLock lock(mailbox);
  if (!lock.Take()) return 0;
  int checked = CheckMailbox(mailbox, actInfo->sizeLimit);
  if (checked != 1) return checked;
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
  const Article article{std::string_view(header, static_cast<std::size_t>(headerLen)),
                        std::string_view(body, static_cast<std::size_t>(bodyLen))};
  if (actInfo->type == ACTION_TYPE_PIPE) return DeliverToPipe(actInfo->target.c_str(), article);
  if (IsMaildirTarget(actInfo->target))
    return DeliverToMaildir(actInfo->target.c_str(), article.header, article.body);
  return DeliverToMailbox(actInfo, article);
}

}  // namespace pelliton
