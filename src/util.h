// The ground floor: what every module of pelliton uses and nothing of the
// project's own.  The program name and the one printer of diagnostics,
// the process-wide flags, allocation that never returns null, the home
// directory and the names relative to it, and owners for descriptors and
// streams.
#ifndef PELLITON_UTIL_H
#define PELLITON_UTIL_H

#include <poll.h>
#include <signal.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace pelliton {

// Every diagnostic begins with this name, whatever the program was started as.
inline constexpr const char* programName = "pelliton";

extern int verbose;                        // -v: progress lines on stderr
extern volatile sig_atomic_t keepRunning;  // cleared by a signal, a failed
                                           // delivery or a lost connection
// Signals caught so far.  The handler counts before it clears keepRunning,
// so whoever finds keepRunning clear by a signal finds it counted.
extern volatile sig_atomic_t signalsCaught;
// Set where the run fails to do part of its work (no connection, a lost or
// silent connection, an answer out of step, an article that holds its
// newsgroup, a failed delivery); never cleared.  Such a run still saves
// its newsrc, and ends with status 1.
extern int runFailed;
// The signals that stop a run: SIGHUP, SIGINT, SIGQUIT and SIGTERM.  The
// run frame catches them; whoever waits must not miss one.
inline constexpr int kStopSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// The one printer of everything pelliton says on standard error.
//
// Diag: "pelliton: " and the formatted text; the caller ends the line.
void Diag(const char* format, ...) __attribute__((format(printf, 1, 2)));
// DiagErrno: perror's form, "pelliton: <text of errno>\n".
void DiagErrno();
// DiagPlain: the formatted text alone, for the few lines that carry no
// program name.
void DiagPlain(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Progress: the formatted text alone, and only under -v.  Progress lines
// may end without a line feed; a later one completes them.
void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Text from a server made safe to print on a terminal: every control
// character other than tab is shown as '?': the C0 controls, DEL, and the
// C1 controls, whether UTF-8 (U+0080 to U+009F) or single bytes 0x80 to
// 0x9F outside UTF-8.  UTF-8 text and the letters of ISO 8859 stay.
std::string printable(std::string_view text);

// A blank: an ASCII white-space character (space, tab, newline, vertical
// tab, form feed, carriage return).  Bytes from 128 up never are, so that
// the bytes of UTF-8 text are never taken for separators.
bool isBlank(int c);
// Byte for byte, but for the case of ASCII letters, as strcasecmp compares.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);
char* skipBlanks(char* p);
const char* skipBlanks(const char* p);

// One "%d" of scanf, for 64-bit numbers: blanks, an optional sign, at
// least one digit, and p moved behind them.  False, with p unmoved, when
// there is no number.  A number beyond the range is held at its end
// (never wrapped) and *overflow, when given, says so.
bool ScanNumber(const char*& p, long long& number, bool* overflow = nullptr);

// Allocation that never returns null.  The first allocation of a run that
// fails is survived (see OutOfMemory) and tried again; when memory runs out
// once more they print "pelliton: malloc() failed" (or strdup(),
// realloc()) and exit with status 1.
void* mymalloc(std::size_t size);
char* mystrdup(const char* str);
void* myrealloc(void* ptr, std::size_t size);
// Keeps a reserve of memory for the first allocation that fails, and makes
// operator new fail the same way as mymalloc.  Called at the start of every
// run; a reserve already given back is taken anew.
void InstallOutOfMemoryHandler();
// Where an allocation failed; `what` names the call ("malloc()").  The
// first time in a run the reserve is given back, so that the run can wind
// down and save its progress as after a failed delivery: one message,
// runFailed set, keepRunning cleared, and the caller may try again (or drop
// what it was doing).  Once the reserve is gone it prints "<what> failed"
// and ends the program with status 1, as it always did.
void OutOfMemory(const char* what);

// The home directory for relative file names: the password database's
// entry for the real user id, or "/" without one.  Tests replace the
// look-up so that they never touch the real home directory.
using HomeLookup = std::string (*)();
void SetHomeLookup(HomeLookup lookup);  // null restores the default
std::string HomeDirectory();

// The name that myfopen opens for path: unchanged when it begins with "/",
// "./" or "../", else joined to the home directory.  Empty when the joined
// name would exceed 1023 characters.
std::optional<std::string> ResolvePath(const char* path);
// fopen of ResolvePath(path); null when that fails or the name is too long.
// Prints nothing.
FILE* myfopen(const char* path, const char* mode);

// Holds back the signals that end a run, and SIGCHLD unless told not to
// (a wait with no child to hear of), everywhere but in its waits, for as
// long as it lives: a signal that arrives just before a wait still ends
// that wait instead of being noticed only after it.
class SignalGate {
 public:
  using Clock = std::chrono::steady_clock;

  explicit SignalGate(bool children = true);
  // Leaves errno as it was, for the caller of a wait to look at.
  ~SignalGate();
  SignalGate(const SignalGate&) = delete;
  SignalGate& operator=(const SignalGate&) = delete;

  // The mask that was in force before: what a child process starts with.
  const sigset_t& original() const { return original_; }

  // Waits until `fd` (when not -1) shows one of the poll(2) `events`, a
  // signal has been handled, or the deadline (when given) has passed; at
  // most a second, so that a signal taken by another thread of a host
  // process (a test) is noticed all the same.
  void Wait(int fd, short events, const std::optional<Clock::time_point>& deadline) const;
  // ppoll(2) with the held signals let in: its result, -1 with EINTR when
  // a signal came.  timeoutMs < 0 waits for ever.
  int Poll(pollfd* fds, nfds_t count, int timeoutMs) const;

 private:
  sigset_t original_;
  sigset_t waitMask_;
};

// A name in the file system that its owner made and removes when it goes,
// unless it was kept: a temporary file, a lock file, a message not yet
// delivered.
class OwnedName {
 public:
  OwnedName() = default;
  explicit OwnedName(std::string path) : path_(std::move(path)) {}
  ~OwnedName() { Remove(); }
  OwnedName(const OwnedName&) = delete;
  OwnedName& operator=(const OwnedName&) = delete;

  // Takes over a name; one held before is removed first.
  void Set(std::string path) {
    Remove();
    path_ = std::move(path);
  }
  // The name stays; it is no longer ours to remove.
  void Keep() { path_.clear(); }
  void Remove();
  const std::string& path() const { return path_; }
  bool empty() const { return path_.empty(); }

 private:
  std::string path_;
};

// Owns a descriptor: closes it when it goes, unless it was released.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_;
};

// The directory that path lies in: "." for a bare name, "/" for a name in
// the root.
std::string DirectoryOf(const std::string& path);
// fsync where it promises anything, through interruptions: file systems
// that cannot sync say EINVAL, and give no better promise anyway.  False
// with errno set.
bool SyncDescriptor(int fd);
// Makes the names in a directory durable.  False with errno set; from
// open(2) when the directory cannot be opened.
bool SyncDirectory(const std::string& dir);

// Owns a stream: fcloses it when it goes, unless it was released.  Close()
// is for callers that must see whether the last of the data got out.
class UniqueFile {
 public:
  explicit UniqueFile(FILE* stream = nullptr) : stream_(stream) {}
  ~UniqueFile() { reset(); }
  UniqueFile(UniqueFile&& other) noexcept : stream_(other.release()) {}
  UniqueFile& operator=(UniqueFile&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFile(const UniqueFile&) = delete;
  UniqueFile& operator=(const UniqueFile&) = delete;

  FILE* get() const { return stream_; }
  explicit operator bool() const { return stream_ != nullptr; }
  FILE* release() {
    FILE* stream = stream_;
    stream_ = nullptr;
    return stream;
  }
  void reset(FILE* stream = nullptr);
  // fflush and fclose; false when either failed.  The stream is gone
  // either way.
  bool Close();

 private:
  FILE* stream_;
};

}  // namespace pelliton

#endif  // PELLITON_UTIL_H
