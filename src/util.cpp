#include "util.h"

#include <pwd.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

namespace pelliton {

int verbose = 0;
volatile sig_atomic_t keepRunning = 0;
volatile sig_atomic_t signalsCaught = 0;
int runFailed = 0;

namespace {

void vprint(const char* prefix, const char* format, va_list args) {
  if (prefix != nullptr) std::fputs(prefix, stderr);
  std::vfprintf(stderr, format, args);
}

constexpr const char* kPrefix = "pelliton: ";

}  // namespace

void Diag(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprint(kPrefix, format, args);
  va_end(args);
}

void DiagErrno() { Diag("%s\n", std::strerror(errno)); }

void DiagPlain(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprint(nullptr, format, args);
  va_end(args);
}

void Progress(const char* format, ...) {
  if (!verbose) return;
  va_list args;
  va_start(args, format);
  vprint(nullptr, format, args);
  va_end(args);
}

std::string printable(std::string_view text) {
  std::string result(text);
  for (char& ch : result) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7f) ch = '?';
  }
  return result;
}

bool isBlank(int c) {
  // isspace() of a negative char is undefined.
  return c >= 0 && c < 128 && std::isspace(c) != 0;
}

const char* skipBlanks(const char* p) {
  while (isBlank(static_cast<unsigned char>(*p))) ++p;
  return p;
}

char* skipBlanks(char* p) {
  while (isBlank(static_cast<unsigned char>(*p))) ++p;
  return p;
}

bool ScanNumber(const char*& p, long long& number, bool* overflow) {
  const char* q = skipBlanks(p);
  const bool negative = *q == '-';
  if (*q == '+' || *q == '-') ++q;
  if (*q < '0' || *q > '9') return false;
  // Gathered as a negative number, whose range reaches one further.
  long long value = 0;
  bool held = false;
  for (; *q >= '0' && *q <= '9'; ++q) {
    const int digit = *q - '0';
    if (held || value < (LLONG_MIN + digit) / 10) {
      held = true;
      continue;
    }
    value = value * 10 - digit;
  }
  if (held) value = LLONG_MIN;
  if (!negative) {
    if (value == LLONG_MIN) held = true;
    value = value == LLONG_MIN ? LLONG_MAX : -value;
  }
  if (overflow != nullptr) *overflow = held;
  number = value;
  p = q;
  return true;
}

namespace {

// Enough for a run to wind down after memory ran out: to finish the
// articles on their way, disconnect and save its newsrc.  Never touched,
// so it costs address space, not memory.
constexpr std::size_t kMemoryReserve = 4 << 20;
void* memoryReserve = nullptr;

void newHandler() { OutOfMemory("malloc()"); }

}  // namespace

void OutOfMemory(const char* what) {
  if (memoryReserve != nullptr) {
    std::free(memoryReserve);
    memoryReserve = nullptr;
    Diag("%s failed -- out of memory, the run is stopping\n", what);
    runFailed = 1;
    keepRunning = 0;
    return;
  }
  Diag("%s failed\n", what);
  std::exit(1);
}

void InstallOutOfMemoryHandler() {
  if (memoryReserve == nullptr) memoryReserve = std::malloc(kMemoryReserve);
  std::set_new_handler(newHandler);
}

void* mymalloc(std::size_t size) {
  for (;;) {
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    OutOfMemory("malloc()");
  }
}

char* mystrdup(const char* str) {
  assert(str != NULL);
  for (;;) {
    if (char* copy = strdup(str)) return copy;
    OutOfMemory("strdup()");
  }
}

void* myrealloc(void* ptr, std::size_t size) {
  for (;;) {
    if (void* p = std::realloc(ptr, size == 0 ? 1 : size)) return p;
    OutOfMemory("realloc()");
  }
}

namespace {

std::string passwordDatabaseHome() {
  const passwd* pw = getpwuid(getuid());
  if (pw == nullptr || pw->pw_dir == nullptr || pw->pw_dir[0] == '\0') return "/";
  return pw->pw_dir;
}

HomeLookup homeLookup = passwordDatabaseHome;

bool startsWith(const char* s, const char* prefix) {
  return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

void SetHomeLookup(HomeLookup lookup) {
  homeLookup = lookup != nullptr ? lookup : passwordDatabaseHome;
}

std::string HomeDirectory() { return homeLookup(); }

std::optional<std::string> ResolvePath(const char* path) {
  assert(path != NULL);
  if (startsWith(path, "/") || startsWith(path, "./") || startsWith(path, "../"))
    return std::string(path);
  std::string joined = HomeDirectory();
  if (joined.empty() || joined.back() != '/') joined += '/';
  joined += path;
  // The joined name was always built in a 1024-byte buffer; a name that
  // does not fit is refused rather than opened shortened.
  if (joined.size() > 1023) return std::nullopt;
  return joined;
}

FILE* myfopen(const char* path, const char* mode) {
  assert(path != NULL);
  assert(mode != NULL);
  std::optional<std::string> name = ResolvePath(path);
  if (!name) return nullptr;
  return std::fopen(name->c_str(), mode);
}

SignalGate::SignalGate() {
  sigset_t held;
  sigemptyset(&held);
  for (int sig : kStopSignals) sigaddset(&held, sig);
  sigaddset(&held, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &held, &original_);
  waitMask_ = original_;
  for (int sig : kStopSignals) sigdelset(&waitMask_, sig);
  sigdelset(&waitMask_, SIGCHLD);
}

SignalGate::~SignalGate() { pthread_sigmask(SIG_SETMASK, &original_, nullptr); }

void SignalGate::Wait(int fd, const std::optional<Clock::time_point>& deadline) const {
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

void OwnedName::Remove() {
  if (!path_.empty()) unlink(path_.c_str());
  path_.clear();
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

void UniqueFile::reset(FILE* stream) {
  if (stream_ != nullptr) std::fclose(stream_);
  stream_ = stream;
}

bool UniqueFile::Close() {
  FILE* stream = release();
  if (stream == nullptr) return true;
  // Some file systems report a full disk or an exceeded quota only when
  // the data is flushed or the file closed.
  const bool flushed = std::fflush(stream) == 0;
  const bool closed = std::fclose(stream) == 0;
  return flushed && closed;
}

}  // namespace pelliton
