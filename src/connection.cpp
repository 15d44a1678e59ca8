#include "connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

namespace pelliton {
namespace {

// Bytes read from the socket at a time by the exchanges; a LIST of many
// newsgroups arrives in few reads.
constexpr std::size_t kReadChunk = 16384;

// The address to connect to, from a dotted quad or the host database.
bool resolveHost(const char* host, in_addr* addr) {
  if (inet_aton(host, addr) != 0) return true;
  const hostent* entry = gethostbyname(host);
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list[0] == nullptr)
    return false;
  std::memcpy(addr, entry->h_addr_list[0], sizeof *addr);
  return true;
}

bool setNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool isTcp(int fd) {
  int protocol = 0;
  socklen_t len = sizeof protocol;
  return getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) == 0 &&
         protocol == IPPROTO_TCP;
}

// Requests are whole lines, so Nagle would only hold them back.
void disableNagle(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

NntpConnection::NntpConnection(int timeoutSeconds) : timeoutSeconds_(timeoutSeconds) {}

int NntpConnection::Connect(const std::string& host, int port) {
  assert(!IsOpen());
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (!resolveHost(host.c_str(), &addr.sin_addr)) {
    Diag("%s: unknown host\n", host.c_str());
    return 0;
  }
  UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!sock) {
    DiagErrno();
    return 0;
  }
  Progress("Connecting to %s:%d... ", host.c_str(), port);
  // The connect finishes in the background; the wait for it is bounded by
  // the deadline like any other.
  if (connect(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      DiagErrno();
      return 0;
    }
    socket_ = std::move(sock);
    BytesMoved();
    if (!AwaitSocket(POLLOUT)) {
      Close();
      return 0;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) {
      errno = err;
      DiagErrno();
      Close();
      return 0;
    }
  } else {
    socket_ = std::move(sock);
  }
  Progress("ok\n");
  tcp_ = true;
  disableNagle(socket_.get());
  BytesMoved();
  return 1;
}

void NntpConnection::Adopt(UniqueFd socket) {
  assert(!IsOpen());
  socket_ = std::move(socket);
  setNonBlocking(socket_.get());
  fcntl(socket_.get(), F_SETFD, FD_CLOEXEC);
  tcp_ = isTcp(socket_.get());
  if (tcp_) disableNagle(socket_.get());
  BytesMoved();
}

void NntpConnection::Close() {
  socket_.reset();
  DiscardBuffers();
  endOfStream_ = false;
  deadlineArmed_ = false;
}

void NntpConnection::DiscardBuffers() {
  in_.clear();
  inPos_ = 0;
  out_.clear();
  outPos_ = 0;
}

// ---------------------------------------------------------------------------
// The socket

ssize_t NntpConnection::ReadRaw(char* buf, std::size_t cap) {
  const ssize_t n = recv(socket_.get(), buf, cap, 0);
#ifdef TCP_QUICKACK
  // A server that writes a status line and its text in two writes would
  // otherwise wait for our delayed ACK on every request; the kernel drops
  // back to delayed ACKs by itself, so it is armed again after each read.
  if (n > 0 && tcp_) {
    int one = 1;
    setsockopt(socket_.get(), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }
#endif
  return n;
}

ssize_t NntpConnection::WriteRaw(const char* data, std::size_t len) {
  // MSG_NOSIGNAL: a reset connection is a failed exchange, never the end of
  // the process.
  return send(socket_.get(), data, len, MSG_NOSIGNAL);
}

// ---------------------------------------------------------------------------
// The deadline

int NntpConnection::MillisecondsLeft() {
  if (timeoutSeconds_ <= 0) return -1;
  const Clock::time_point now = Clock::now();
  if (!deadlineArmed_) {
    deadline_ = now + std::chrono::seconds(timeoutSeconds_);
    deadlineArmed_ = true;
  }
  if (now >= deadline_) return 0;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - now).count();
  return static_cast<int>(std::min<long long>(left, INT_MAX));
}

bool NntpConnection::DeadlinePassed() const {
  return timeoutSeconds_ > 0 && deadlineArmed_ && Clock::now() >= deadline_;
}

int NntpConnection::AwaitSocket(short events) {
  for (;;) {
    pollfd p{socket_.get(), events, 0};
    const int ready = poll(&p, 1, MillisecondsLeft());
    if (ready > 0) return 1;
    if (ready < 0) {
      // A signal only prints its message; the answer is still wanted, and
      // the deadline stands, so that signals cannot keep a silent server
      // alive.
      if (errno == EINTR) continue;
      ReportFailure(errno);
      return 0;
    }
    if (DeadlinePassed()) {
      ReportTimeout();
      return 0;
    }
  }
}

void NntpConnection::ReportFailure(int error) {
  Diag("error talking to NNTP server -- %s\n", std::strerror(error));
}

void NntpConnection::ReportTimeout() { Diag("timeout talking to NNTP server\n"); }

void NntpConnection::ReportClosed() {
  Diag("error talking to NNTP server -- connection closed by server\n");
}

// ---------------------------------------------------------------------------
// The one-line exchanges

int NntpConnection::SendLine(std::string_view line) {
  assert(IsOpen());
  Queue(line);
  while (PendingOutput() > 0) {
    const ssize_t n = WriteRaw(out_.data() + outPos_, PendingOutput());
    if (n > 0) {
      ConsumeOutput(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (AwaitSocket(POLLOUT)) continue;
    } else {
      ReportFailure(n < 0 ? errno : EPIPE);
    }
    // A command cut short is no command; nothing of it is sent later.
    out_.clear();
    outPos_ = 0;
    return 0;
  }
  return 1;
}

int NntpConnection::FillInput() {
  for (;;) {
    if (!AwaitSocket(POLLIN)) return 0;
    if (inPos_ == in_.size()) {
      in_.clear();
      inPos_ = 0;
    }
    const std::size_t used = in_.size();
    in_.resize(used + kReadChunk);
    const ssize_t n = ReadRaw(in_.data() + used, kReadChunk);
    in_.resize(used + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n > 0) {
      BytesMoved();
      return 1;
    }
    if (n == 0) {
      endOfStream_ = true;
      return 1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
    ReportFailure(errno);
    return 0;
  }
}

int NntpConnection::ReadLine(char* buf, int size) {
  assert(buf != NULL && size > 1);
  assert(IsOpen());
  const std::size_t limit = static_cast<std::size_t>(size) - 1;
  for (;;) {
    const std::size_t available = in_.size() - inPos_;
    const char* start = in_.data() + inPos_;
    const void* lf = std::memchr(start, '\n', std::min(available, limit));
    std::size_t take = 0;
    if (lf != nullptr)
      take = static_cast<const char*>(lf) - start + 1;
    else if (available >= limit || (endOfStream_ && available > 0))
      take = std::min(available, limit);
    if (take > 0) {
      std::memcpy(buf, start, take);
      buf[take] = '\0';
      inPos_ += take;
      return 1;
    }
    if (endOfStream_) {
      ReportClosed();
      return 0;
    }
    if (!FillInput()) return 0;
  }
}

int NntpConnection::ReadStatusLine(char* buf, int size) {
  if (!ReadLine(buf, size)) return 0;
  std::size_t len = std::strlen(buf);
  if (len == 0 || buf[len - 1] == '\n' || static_cast<int>(len) < size - 1) return 1;
  char rest[kResponseLineSize];
  for (;;) {
    if (!ReadLine(rest, sizeof rest)) return 0;
    std::size_t restLen = std::strlen(rest);
    if (restLen == 0 || rest[restLen - 1] == '\n' ||
        static_cast<int>(restLen) < static_cast<int>(sizeof rest) - 1)
      return 1;
  }
}

void NntpConnection::SendQuietly(std::string_view line) {
  if (!IsOpen()) return;
  Queue(line);
  FlushPending();
}

// ---------------------------------------------------------------------------
// Non-blocking transfer

void NntpConnection::Queue(std::string_view bytes) { out_.append(bytes); }

void NntpConnection::ConsumeOutput(std::size_t count) {
  BytesMoved();
  outPos_ += count;
  if (outPos_ == out_.size()) {
    out_.clear();
    outPos_ = 0;
  } else if (outPos_ >= 65536) {
    out_.erase(0, outPos_);
    outPos_ = 0;
  }
}

void NntpConnection::FlushPending() {
  while (PendingOutput() > 0) {
    const ssize_t n = WriteRaw(out_.data() + outPos_, PendingOutput());
    if (n < 0 && errno == EINTR) continue;
    // A short write means the socket is full: the rest waits until it
    // signals room again, rather than costing a write that would fail.
    if (n > 0) ConsumeOutput(static_cast<std::size_t>(n));
    return;
  }
}

long NntpConnection::Read(char* buf, std::size_t cap) {
  assert(cap > 0);
  if (HasBufferedInput()) {
    const std::size_t n = std::min(cap, in_.size() - inPos_);
    std::memcpy(buf, in_.data() + inPos_, n);
    inPos_ += n;
    if (inPos_ == in_.size()) {
      in_.clear();
      inPos_ = 0;
    }
    return static_cast<long>(n);
  }
  if (endOfStream_ || !IsOpen()) return -1;
  const ssize_t n = ReadRaw(buf, cap);
  if (n > 0) {
    BytesMoved();
    return static_cast<long>(n);
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  endOfStream_ = true;
  return -1;
}

NntpConnection::WaitResult NntpConnection::Wait(bool pollOnly, Readiness& ready) {
  ready = Readiness{};
  if (HasBufferedInput() || endOfStream_) {
    ready.readable = true;
    return WaitResult::kReady;
  }
  const bool pending = PendingOutput() > 0;
  pollfd p{socket_.get(), static_cast<short>(POLLIN | (pending ? POLLOUT : 0)), 0};
  const int count = poll(&p, 1, pollOnly ? 0 : MillisecondsLeft());
  if (count < 0) {
    if (errno == EINTR) return WaitResult::kInterrupted;
    ReportFailure(errno);
    return WaitResult::kFailed;
  }
  if (count == 0) {
    if (!pollOnly && DeadlinePassed()) {
      ReportTimeout();
      return WaitResult::kFailed;
    }
    return WaitResult::kNothing;
  }
  // An error or a hang-up shows on the reading side, where Read reports it.
  ready.readable = (p.revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;
  ready.writable = pending && (p.revents & POLLOUT) != 0;
  return WaitResult::kReady;
}

}  // namespace pelliton
