#include "util.h"

#include <fcntl.h>
#include <pwd.h>
#include <poll.h>
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

namespace {

// The length of the well-formed UTF-8 sequence at the start of text, or 0.
std::size_t utf8Length(std::string_view text) {
  const unsigned char lead = static_cast<unsigned char>(text[0]);
  std::size_t length;
  unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;   // no overlong forms
    if (lead == 0xed) high = 0x9f;  // no surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xbf)) return 0;
  }
  return length;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text[0]);
    std::size_t length = c < 0x80 ? 1 : utf8Length(text);
    if (length > 1) {
      // The C1 controls U+0080 to U+009F, which some terminals obey as
      // they obey ESC.
      const bool c1 = c == 0xc2 && static_cast<unsigned char>(text[1]) <= 0x9f;
      result.append(c1 ? "?" : text.substr(0, length));
    } else {
      length = 1;
      // A byte of 0x80 to 0x9F outside UTF-8 is a C1 control to a
      // terminal that speaks ISO 8859; above them are its letters.
      const bool control = (c < 0x20 && c != '\t') || (c >= 0x7f && c <= 0x9f);
      result += control ? '?' : static_cast<char>(c);
    }
    text.remove_prefix(length);
  }
  return result;
}

bool isBlank(int c) {
  // isspace() of a negative char is undefined.
  return c >= 0 && c < 128 && std::isspace(c) != 0;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
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

SignalGate::SignalGate(bool children) {
  sigset_t held;
  sigemptyset(&held);
  for (int sig : kStopSignals) sigaddset(&held, sig);
  if (children) sigaddset(&held, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &held, &original_);
  waitMask_ = original_;
  for (int sig : kStopSignals) sigdelset(&waitMask_, sig);
  if (children) sigdelset(&waitMask_, SIGCHLD);
}

SignalGate::~SignalGate() {
  const int savedErrno = errno;
  pthread_sigmask(SIG_SETMASK, &original_, nullptr);
  errno = savedErrno;
}

int SignalGate::Poll(pollfd* fds, nfds_t count, int timeoutMs) const {
  const timespec timeout{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000};
  return ppoll(fds, count, timeoutMs < 0 ? nullptr : &timeout, &waitMask_);
}

void SignalGate::Wait(int fd, short events,
                      const std::optional<Clock::time_point>& deadline) const {
  Clock::duration left = std::chrono::seconds(1);
  if (deadline) left = std::clamp(*deadline - Clock::now(), Clock::duration::zero(), left);
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  const timespec timeout{static_cast<time_t>(nanoseconds / 1000000000),
                         static_cast<long>(nanoseconds % 1000000000)};
  pollfd watched{fd, events, 0};
  ppoll(&watched, fd >= 0 ? 1 : 0, &timeout, &waitMask_);
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool SyncDescriptor(int fd) {
  int rc;
  do {
    rc = fsync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 || errno == EINVAL;
}

bool SyncDirectory(const std::string& dir) {
  UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd && SyncDescriptor(fd.get());
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
