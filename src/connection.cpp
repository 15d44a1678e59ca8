#include "connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>

#include "pelliton.h"

namespace pelliton {

FILE* nntpInFile = nullptr;
FILE* nntpOutFile = nullptr;
int nntpTimeout = kDefaultTimeout;

namespace {

// Owns a descriptor until it is handed to a stream.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

struct StreamCloser {
  void operator()(FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};
using Stream = std::unique_ptr<FILE, StreamCloser>;

void reportTimeout() {
  std::fprintf(stderr, "%s: timeout talking to NNTP server\n", programName);
}

void reportExchangeError(int err) {
  if (err == EAGAIN || err == EWOULDBLOCK) {
    // SO_RCVTIMEO and SO_SNDTIMEO end a blocked read or write this way.
    reportTimeout();
    return;
  }
  std::fprintf(stderr, "%s: error talking to NNTP server -- %s\n", programName,
               std::strerror(err));
}

void reportClosedByServer() {
  std::fprintf(stderr, "%s: error talking to NNTP server -- connection closed by server\n",
               programName);
}

bool hasCode(const char* line, const char* code) { return std::strncmp(line, code, 3) == 0; }

// Bounds every blocking read and write on the socket by nntpTimeout.
void applyTimeout(int fd) {
  timeval tv{};
  tv.tv_sec = nntpTimeout;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Requests are whole lines, so Nagle would only hold them back; and a
// server that writes a status line and its text separately would otherwise
// wait for our delayed ACK on every exchange.
void disableNagle(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void rearmQuickAck([[maybe_unused]] int fd) {
#ifdef TCP_QUICKACK
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
#endif
}

// Connects with a bound wait (nntpTimeout seconds, 0 for none).  Returns 1,
// or 0 with errno set, or -1 on timeout.
int connectWithTimeout(int fd, const sockaddr_in& addr) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return 0;
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(nntpTimeout);
    for (;;) {
      int wait = -1;
      if (nntpTimeout > 0) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return -1;
        wait = left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
      }
      pollfd p{fd, POLLOUT, 0};
      int ready = poll(&p, 1, wait);
      if (ready > 0) break;
      if (ready == 0) return -1;
      if (errno != EINTR) return 0;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return 0;
    if (err != 0) {
      errno = err;
      return 0;
    }
  }
  if (fcntl(fd, F_SETFL, flags) < 0) return 0;
  return 1;
}

// Writes the whole text on the connection.  0 with errno set on failure.
int writeAll(const char* text, std::size_t len) {
  assert(nntpOutFile != NULL);
  int fd = fileno(nntpOutFile);
  while (len > 0) {
    // MSG_NOSIGNAL: a reset connection is an exchange failure, never the
    // end of the process.
    ssize_t n = send(fd, text, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    text += n;
    len -= static_cast<std::size_t>(n);
  }
  return 1;
}

int sendCommand(const std::string& line) { return nntpSendLine(line.c_str()); }

std::string withoutLineEnd(const char* line) {
  std::string text(line);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

void closeStreams() {
  if (nntpOutFile != nullptr) std::fclose(nntpOutFile);
  if (nntpInFile != nullptr) std::fclose(nntpInFile);
  nntpOutFile = nullptr;
  nntpInFile = nullptr;
}

// The address to connect to, from a dotted quad or the host database.
bool resolveHost(const char* host, in_addr* addr) {
  if (inet_aton(host, addr) != 0) return true;
  const hostent* entry = gethostbyname(host);
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list[0] == nullptr)
    return false;
  std::memcpy(addr, entry->h_addr_list[0], sizeof *addr);
  return true;
}

int openStreams(Descriptor& sock) {
  Descriptor dup(fcntl(sock.get(), F_DUPFD_CLOEXEC, 0));
  if (dup.get() < 0) {
    std::perror(programName);
    return 0;
  }
  Stream in(fdopen(sock.get(), "r"));
  if (!in) {
    std::perror(programName);
    return 0;
  }
  sock.release();
  setvbuf(in.get(), nullptr, _IOLBF, 0);
  Stream out(fdopen(dup.get(), "w"));
  if (!out) {
    std::perror(programName);
    return 0;
  }
  dup.release();
  setvbuf(out.get(), nullptr, _IOLBF, 0);
  nntpInFile = in.release();
  nntpOutFile = out.release();
  return 1;
}

int readGreeting() {
  char line[kResponseLineSize];
  if (!nntpReadStatusLine(line, sizeof line)) return 0;
  if (!hasCode(line, "200") && !hasCode(line, "201")) {
    std::fprintf(stderr, "%s: bad response from NNTP server\n", programName);
    return 0;
  }
  if (verbose) {
    std::string text = withoutLineEnd(line);
    std::fprintf(stderr, "Response from NNTP server:\n  %s%s", printable(text.c_str()).c_str(),
                 line + text.size());
    if (line[text.size()] == '\0') std::fputc('\n', stderr);
  }
  return 1;
}

}  // namespace

// Status lines are short; should a server send one longer than the
// buffer, its rest is read and dropped here, so that it is not taken for
// the answer to the next command.
int nntpReadStatusLine(char* buf, int size) {
  if (!nntpReadLine(buf, size)) return 0;
  std::size_t len = std::strlen(buf);
  if (len == 0 || buf[len - 1] == '\n' || static_cast<int>(len) < size - 1) return 1;
  char rest[kResponseLineSize];
  for (;;) {
    if (!nntpReadLine(rest, sizeof rest)) return 0;
    std::size_t restLen = std::strlen(rest);
    if (restLen == 0 || rest[restLen - 1] == '\n' ||
        static_cast<int>(restLen) < static_cast<int>(sizeof rest) - 1)
      return 1;
  }
}

int nntpConnect(ServerInfo* servInfo, int port) {
  assert(servInfo != NULL);
  nntpTimeout = servInfo->timeout;
  const std::string& host = servInfo->host ? *servInfo->host : servInfo->name;
  if (port == 0) port = servInfo->port;

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (!resolveHost(host.c_str(), &addr.sin_addr)) {
    std::fprintf(stderr, "%s: %s: unknown host\n", programName, host.c_str());
    return 0;
  }

  Descriptor sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (sock.get() < 0) {
    std::perror(programName);
    return 0;
  }
  if (verbose) std::fprintf(stderr, "Connecting to %s:%d... ", host.c_str(), port);
  int connected = connectWithTimeout(sock.get(), addr);
  if (connected < 0) {
    reportTimeout();
    return 0;
  }
  if (connected == 0) {
    std::perror(programName);
    return 0;
  }
  if (verbose) std::fprintf(stderr, "ok\n");
  disableNagle(sock.get());
  applyTimeout(sock.get());

  if (!openStreams(sock)) return 0;
  // A connection that failed here is never used again; nothing but the
  // descriptors would be left of it.
  if (!readGreeting() || !authServer(servInfo)) {
    closeStreams();
    return 0;
  }
  return 1;
}

int authServer(ServerInfo* servInfo) {
  assert(servInfo != NULL);
  if (!servInfo->password) return 1;
  if (verbose) std::fprintf(stderr, "Authenticating with NNTP server...\n");
  char line[kResponseLineSize];
  if (servInfo->user) {
    if (!sendCommand("AUTHINFO USER " + *servInfo->user + "\r\n")) return 0;
    if (!nntpReadStatusLine(line, sizeof line)) return 0;
    if (hasCode(line, "281")) return 1;
    if (!hasCode(line, "381")) {
      reportBadResponse(line);
      return 0;
    }
  }
  if (!sendCommand("AUTHINFO PASS " + *servInfo->password + "\r\n")) return 0;
  if (!nntpReadStatusLine(line, sizeof line)) return 0;
  if (hasCode(line, "281")) return 1;
  reportBadResponse(line);
  return 0;
}

int nntpListGroups() {
  if (verbose) std::fprintf(stderr, "Listing all newsgroups...\n");
  char line[kResponseLineSize];
  if (!nntpSendLine("LIST\r\n")) return 0;
  if (!nntpReadStatusLine(line, sizeof line)) return 0;
  if (!hasCode(line, "215")) {
    reportBadResponse(line);
    return 0;
  }
  // Only a piece that begins a line can be the end line: the tail of an
  // over-long line that happens to read ".\r\n" is data.
  bool atLineStart = true;
  for (;;) {
    if (!nntpReadLine(line, sizeof line)) return 0;
    std::size_t len = std::strlen(line);
    if (atLineStart && std::strcmp(line, ".\r\n") == 0) return 1;
    atLineStart = len > 0 && line[len - 1] == '\n';
    while (len > 0 && (line[len - 1] == '\r' || line[len - 1] == '\n')) line[--len] = '\0';
    std::puts(line);
  }
}

void MarkNewsgroups(const MarkListNode* markList) {
  if (markList != nullptr) {
    for (const MarkListNode* node = markList; node != nullptr; node = node->next) {
      NewsgroupInfo* ngInfo = FindNewsgroup(node->name);
      if (ngInfo == nullptr) {
        std::fprintf(stderr, "%s: group %s not defined in filters; skipping...\n", programName,
                     node->name);
        continue;
      }
      if (!MarkNewsgroup(ngInfo)) return;
    }
    return;
  }
  for (NewsgroupInfo* ngInfo : Nodes<NewsgroupInfo>(newsgroupList)) {
    if (ngInfo->actions.IsEmpty()) continue;
    if (!MarkNewsgroup(ngInfo)) return;
  }
}

int MarkNewsgroup(NewsgroupInfo* ngInfo) {
  assert(ngInfo != NULL);
  if (verbose) std::fprintf(stderr, "Marking all articles in group %s...\n", ngInfo->name.c_str());
  char line[kResponseLineSize];
  if (!sendCommand("GROUP " + ngInfo->name + "\r\n")) return 0;
  if (!nntpReadStatusLine(line, sizeof line)) return 0;
  // Read as long so that a number beyond int is refused, not wrapped.
  long first = 0, last = 0;
  if (hasCode(line, "211") && std::sscanf(line, "211 %*d %ld %ld", &first, &last) == 2 &&
      last >= INT_MIN && last < INT_MAX) {
    ngInfo->nextArticle = static_cast<int>(last) + 1;
    return 1;
  }
  reportBadResponse(line);
  return 1;
}

void nntpDisconnect() {
  assert(nntpOutFile != NULL);
  // The server may be gone already; QUIT is a courtesy, its failure is not
  // worth a word.
  static const char kQuit[] = "QUIT\r\n";
  writeAll(kQuit, sizeof kQuit - 1);
  std::fclose(nntpOutFile);
  nntpOutFile = nullptr;
  assert(nntpInFile != NULL);
  std::fclose(nntpInFile);
  nntpInFile = nullptr;
  if (verbose) std::fprintf(stderr, "Disconnected from NNTP server\n");
}

int nntpSendLine(const char* line) {
  assert(line != NULL);
  if (writeAll(line, std::strlen(line))) return 1;
  reportExchangeError(errno);
  return 0;
}

int nntpReadLine(char* buf, int size) {
  assert(buf != NULL && size > 1);
  assert(nntpInFile != NULL);
  int len = 0;
  while (len < size - 1) {
    errno = 0;
    int c = getc(nntpInFile);
    if (c == EOF) {
      if (ferror(nntpInFile)) {
        int err = errno;
        clearerr(nntpInFile);
        // A signal only prints its message; the answer is still wanted.
        if (err == EINTR) continue;
        reportExchangeError(err);
        return 0;
      }
      if (len == 0) {
        reportClosedByServer();
        return 0;
      }
      break;
    }
    buf[len++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buf[len] = '\0';
  rearmQuickAck(fileno(nntpInFile));
  return 1;
}

void reportBadResponse(const char* line) {
  std::fprintf(stderr, "%s: bad NNTP server response -- %s\n", programName,
               printable(withoutLineEnd(line).c_str()).c_str());
}

std::string printable(const char* text) {
  std::string result(text);
  for (char& ch : result) {
    unsigned char c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7f) ch = '?';
  }
  return result;
}

}  // namespace pelliton
