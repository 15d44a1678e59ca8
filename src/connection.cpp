#include "connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
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
// Ciphertext read from the socket at a time: several full TLS records, so
// that one wake-up of the engine turns into as much plaintext as a read of
// the plain socket would.
constexpr std::size_t kRawChunk = 65536;

struct AddrinfoFree {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

// "[::1]" is how IPv6 literals are written beside a port; the brackets are
// no part of the address.
std::string withoutBrackets(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    return host.substr(1, host.size() - 2);
  return host;
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

int ServicePort(const char* service, int fallback) {
  const servent* entry = getservbyname(service, "tcp");
  if (entry == nullptr) return fallback;
  return ntohs(static_cast<uint16_t>(entry->s_port));
}

NntpConnection::NntpConnection(int timeoutSeconds) : timeoutSeconds_(timeoutSeconds) {}

std::vector<NntpConnection::Address> NntpConnection::Resolve(const std::string& hostText,
                                                             int port) {
  std::vector<Address> addresses;
  const std::string host = withoutBrackets(hostText);
  // A dotted quad goes by inet_aton, which also reads the short forms
  // ("127.1") that getaddrinfo may not.
  in_addr v4;
  if (inet_aton(host.c_str(), &v4) != 0) {
    Address a;
    auto* sin = reinterpret_cast<sockaddr_in*>(&a.storage);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(static_cast<uint16_t>(port));
    sin->sin_addr = v4;
    a.length = sizeof *sin;
    addresses.push_back(a);
    return addresses;
  }
  if (host.empty() || host.find('\0') != std::string::npos) return addresses;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
  const std::string service = std::to_string(port);
  addrinfo* found = nullptr;
  // An IPv6 literal is taken as it is; only a name is looked up.
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    hints.ai_flags = AI_NUMERICSERV;
    found = nullptr;
    rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  }
  if (rc != 0) return addresses;
  std::unique_ptr<addrinfo, AddrinfoFree> owner(found);
  for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) ||
        ai->ai_addrlen > sizeof(sockaddr_storage))
      continue;
    Address a;
    std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
    a.length = ai->ai_addrlen;
    addresses.push_back(a);
  }
  return addresses;
}

std::string NntpConnection::HostToVerify(const std::string& hostText) {
  std::string host = withoutBrackets(hostText);
  // A zone names the interface of a link-local address; the certificate
  // can only name the address.
  const std::size_t zone = host.find('%');
  if (zone != std::string::npos) {
    in6_addr v6;
    const std::string address = host.substr(0, zone);
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) return address;
  }
  return host;
}

int NntpConnection::Connect(const std::string& host, int port) {
  assert(!IsOpen());
  const std::vector<Address> addresses = Resolve(host, port);
  if (addresses.empty()) {
    Diag("%s: unknown host\n", host.c_str());
    return 0;
  }
  Progress("Connecting to %s:%d... ", host.c_str(), port);
  if (!ConnectAddresses(addresses)) return 0;
  Progress("ok\n");
  return 1;
}

int NntpConnection::ConnectAddresses(const std::vector<Address>& addresses) {
  assert(!IsOpen());
  // One timeout for the whole attempt: an address that swallows
  // connection requests must not grant the next one a fresh deadline.
  HoldDeadline();
  int lastError = EDESTADDRREQ;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const Address& address = addresses[i];
    const int family = reinterpret_cast<const sockaddr*>(&address.storage)->sa_family;
    UniqueFd sock(socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sock) {
      // A kernel without IPv6, say: the next address may still do.
      lastError = errno;
      continue;
    }
    // The connect finishes in the background; the wait for it is bounded
    // by the deadline like any other.
    if (connect(sock.get(), reinterpret_cast<const sockaddr*>(&address.storage),
                address.length) != 0) {
      if (errno != EINPROGRESS && errno != EINTR) {
        lastError = errno;
        continue;
      }
      socket_ = std::move(sock);
      // An address whose host is down may swallow the request without a
      // word: it gets its share of the time left, so that the addresses
      // after it are still tried.  The last one gets all that is left.
      const int waited = AwaitConnect(addresses.size() - i);
      if (waited == 0) {
        socket_.reset();
        ReleaseDeadline();
        return 0;
      }
      int err = ETIMEDOUT;
      if (waited > 0) {
        socklen_t len = sizeof err;
        if (getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      }
      if (err != 0) {
        socket_.reset();
        lastError = err;
        continue;
      }
    } else {
      socket_ = std::move(sock);
    }
    tcp_ = true;
    disableNagle(socket_.get());
    ReleaseDeadline();
    return 1;
  }
  ReleaseDeadline();
  errno = lastError;
  DiagErrno();
  return 0;
}

int NntpConnection::AwaitConnect(std::size_t addressesLeft) {
  if (addressesLeft <= 1 || timeoutSeconds_ <= 0) return AwaitSocket(POLLOUT);
  MillisecondsLeft();  // arms the deadline
  const Clock::time_point now = Clock::now();
  const Clock::time_point shareEnd =
      now + (deadline_ > now ? (deadline_ - now) / static_cast<long>(addressesLeft)
                             : Clock::duration::zero());
  for (;;) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(shareEnd - Clock::now());
    pollfd p{socket_.get(), POLLOUT, 0};
    const int ready =
        poll(&p, 1, static_cast<int>(std::clamp<long long>(wait.count(), 0, INT_MAX)));
    if (ready > 0) return 1;
    if (ready < 0 && errno != EINTR) {
      ReportFailure(errno);
      return 0;
    }
    if (Clock::now() >= shareEnd) return -1;
  }
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
  if (tls_ && IsOpen() && !tlsBroken_) {
    // close_notify tells the server that nothing was cut off; its own is
    // not waited for, the run is done with the connection.
    tls_->Shutdown();
    SendSessionOutput();
  }
  socket_.reset();
  DiscardBuffers();
  tls_.reset();
  tlsBroken_ = false;
  raw_.clear();
  endOfStream_ = false;
  ReleaseDeadline();
}

void NntpConnection::DiscardBuffers() {
  // A record dropped half-sent, or at all, breaks the session's sequence:
  // whatever came after would be garbage to the server.
  if (tls_ && wirePos_ < wire_.size()) tlsBroken_ = true;
  in_.clear();
  inPos_ = 0;
  out_.clear();
  outPos_ = 0;
  wire_.clear();
  wirePos_ = 0;
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
    const int savedErrno = errno;
    int one = 1;
    setsockopt(socket_.get(), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    errno = savedErrno;
  }
#endif
  return n;
}

ssize_t NntpConnection::WriteRaw(const char* data, std::size_t len) {
  // MSG_NOSIGNAL: a reset connection is a failed exchange, never the end of
  // the process.
  return send(socket_.get(), data, len, MSG_NOSIGNAL);
}

ssize_t NntpConnection::SendPending() {
  if (!tls_) {
    if (PendingOutput() == 0) return 0;
    const ssize_t n = WriteRaw(out_.data() + outPos_, PendingOutput());
    if (n > 0) ConsumeOutput(static_cast<std::size_t>(n));
    return n;
  }
  if (tlsBroken_) {
    errno = EPIPE;
    return -1;
  }
  if (wirePos_ == wire_.size() && outPos_ < out_.size()) {
    // Sealed only now, so that lines queued while the socket was full
    // leave together, in one record.
    const bool sealed = tls_->Write(std::string_view(out_).substr(outPos_));
    out_.clear();
    outPos_ = 0;
    CollectSessionOutput();
    if (!sealed) {
      errno = EPROTO;
      return -1;
    }
  }
  if (wirePos_ == wire_.size()) return 0;
  return WriteWire();
}

ssize_t NntpConnection::WriteWire() {
  const ssize_t n = WriteRaw(wire_.data() + wirePos_, wire_.size() - wirePos_);
  if (n > 0) {
    BytesMoved();
    wirePos_ += static_cast<std::size_t>(n);
    if (wirePos_ == wire_.size()) {
      wire_.clear();
      wirePos_ = 0;
    }
  }
  return n;
}

void NntpConnection::CollectSessionOutput() {
  if (!tls_->HasOutgoing()) return;
  if (wirePos_ == wire_.size()) {
    wire_.clear();
    wirePos_ = 0;
  }
  wire_ += tls_->TakeOutgoing();
}

void NntpConnection::SendSessionOutput() {
  if (!tls_->HasOutgoing()) return;
  CollectSessionOutput();
  if (tlsBroken_ || !IsOpen()) return;
  const int savedErrno = errno;
  while (WriteWire() < 0 && errno == EINTR) {
  }
  errno = savedErrno;
}

int NntpConnection::DrainOutput() {
  while (PendingOutput() > 0) {
    const ssize_t n = SendPending();
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!AwaitSocket(POLLOUT)) return 0;
      continue;
    }
    if (n == 0 && PendingOutput() == 0) break;
    if (n == 0) errno = EPIPE;
    return -1;
  }
  return 1;
}

long NntpConnection::ReadTls(char* buf, std::size_t cap) {
  bool socketRead = false;
  std::size_t got = 0;
  for (;;) {
    const long n = tls_->Read(buf + got, cap - got);
    SendSessionOutput();
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      if (got == cap) return static_cast<long>(got);
      continue;
    }
    // The end or a failure stays with the session and shows again at the
    // next call, after the plaintext before it has been handed out.
    if (got > 0) return static_cast<long>(got);
    if (n == -1) return kTlsEnd;
    if (n < -1) return kTlsFailed;
    if (socketRead) return 0;
    socketRead = true;
    if (raw_.empty()) raw_.resize(kRawChunk);
    const ssize_t r = ReadRaw(raw_.data(), raw_.size());
    if (r > 0) {
      BytesMoved();
      tls_->Feed(raw_.data(), static_cast<std::size_t>(r));
    } else if (r == 0) {
      tls_->PeerClosed();
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      return 0;
    } else {
      return kSocketFailed;
    }
  }
}

void NntpConnection::ReportTlsFailure() {
  Diag("error talking to NNTP server -- %s\n", printable(tls_->reason()).c_str());
}

// ---------------------------------------------------------------------------
// TLS

int NntpConnection::StartTls(std::unique_ptr<TlsSession> session, const std::string& host) {
  assert(IsOpen() && !tls_ && session);
  // Whatever came in plain text after the answer to STARTTLS was not sent
  // by the server that the certificate proves: it is dropped unread.
  in_.clear();
  inPos_ = 0;
  tls_ = std::move(session);
  HoldDeadline();
  auto fail = [&](const std::string& reason) {
    Diag("TLS handshake with %s failed -- %s\n", host.c_str(), printable(reason).c_str());
    Close();
    return 0;
  };
  for (;;) {
    const TlsSession::Step step = tls_->Handshake();
    // The alert of a failed handshake goes out if the socket takes it at
    // once; Close drops the session without close_notify.
    SendSessionOutput();
    if (step == TlsSession::Step::kFailed) {
      tlsBroken_ = true;
      return fail(tls_->reason());
    }
    const int drained = DrainOutput();
    if (drained == 0) {
      Close();
      return 0;
    }
    if (drained < 0) return fail(std::strerror(errno));
    if (step == TlsSession::Step::kDone) break;
    if (!AwaitSocket(POLLIN)) {
      Close();
      return 0;
    }
    if (raw_.empty()) raw_.resize(kRawChunk);
    const ssize_t r = ReadRaw(raw_.data(), raw_.size());
    if (r > 0) {
      tls_->Feed(raw_.data(), static_cast<std::size_t>(r));
    } else if (r == 0) {
      tls_->PeerClosed();
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      tlsBroken_ = true;
      return fail(std::strerror(errno));
    }
  }
  ReleaseDeadline();
  if (verbose) {
    // "TLSv1.3 TLS_AES_256_GCM_SHA384" shown as "TLSv1.3, TLS_AES_...".
    std::string description = tls_->Description();
    const std::size_t space = description.find(' ');
    if (space != std::string::npos) description.replace(space, 1, ", ");
    Progress("TLS established: %s, verified %s\n", description.c_str(),
             printable(HostToVerify(host)).c_str());
  }
  return 1;
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
    // Records that a read of the session queued (a key update, say) go
    // out while the answer is awaited.
    const bool flush = (events & POLLOUT) == 0 && wirePos_ < wire_.size() && !tlsBroken_;
    pollfd p{socket_.get(), static_cast<short>(events | (flush ? POLLOUT : 0)), 0};
    const int ready = poll(&p, 1, MillisecondsLeft());
    if (ready > 0) {
      if (flush && (p.revents & POLLOUT) != 0) SendPending();
      if ((p.revents & ~(flush ? POLLOUT : 0)) != 0) return 1;
      continue;
    }
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

void NntpConnection::ReportLost() { DiagPlain("server closed connection... aborting!\n"); }

void NntpConnection::ReportClosed() {
  Diag("error talking to NNTP server -- connection closed by server\n");
}

// ---------------------------------------------------------------------------
// The one-line exchanges

int NntpConnection::SendLine(std::string_view line) {
  assert(IsOpen());
  Queue(line);
  const int drained = DrainOutput();
  if (drained == 1) return 1;
  if (drained < 0) {
    if (errno == EPROTO && tls_ && !tls_->reason().empty())
      ReportTlsFailure();
    else
      ReportFailure(errno);
  }
  // A command cut short is no command; nothing of it is sent later.
  DiscardBuffers();
  return 0;
}

int NntpConnection::FillInput() {
  for (;;) {
    if (inPos_ == in_.size()) {
      in_.clear();
      inPos_ = 0;
    }
    if (tls_) {
      // The session may hold plaintext that the socket will never signal,
      // so it is asked before any wait.
      const std::size_t used = in_.size();
      in_.resize(used + kReadChunk);
      const long n = ReadTls(in_.data() + used, kReadChunk);
      const int savedErrno = errno;
      in_.resize(used + static_cast<std::size_t>(std::max<long>(n, 0)));
      if (n > 0) return 1;
      if (n == kTlsEnd) {
        endOfStream_ = true;
        return 1;
      }
      if (n == kTlsFailed) {
        ReportTlsFailure();
        return 0;
      }
      if (n == kSocketFailed) {
        ReportFailure(savedErrno);
        return 0;
      }
      if (!AwaitSocket(POLLIN)) return 0;
      continue;
    }
    if (!AwaitSocket(POLLIN)) return 0;
    const std::size_t used = in_.size();
    in_.resize(used + kReadChunk);
    const ssize_t n = ReadRaw(in_.data() + used, kReadChunk);
    const int savedErrno = errno;
    in_.resize(used + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n > 0) {
      BytesMoved();
      return 1;
    }
    if (n == 0) {
      endOfStream_ = true;
      return 1;
    }
    if (savedErrno == EAGAIN || savedErrno == EWOULDBLOCK || savedErrno == EINTR) continue;
    ReportFailure(savedErrno);
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
  for (;;) {
    const ssize_t n = SendPending();
    if (n < 0 && errno == EINTR) continue;
    // A short write means the socket is full: the rest waits until it
    // signals room again, rather than costing a write that would fail.
    return;
  }
}

long NntpConnection::Read(char* buf, std::size_t cap) {
  assert(cap > 0);
  if (inPos_ < in_.size()) {
    const std::size_t n = std::min(cap, in_.size() - inPos_);
    std::memcpy(buf, in_.data() + inPos_, n);
    inPos_ += n;
    if (inPos_ == in_.size()) {
      in_.clear();
      inPos_ = 0;
    }
    return static_cast<long>(n);
  }
  if (endOfStream_ || !IsOpen()) {
    ReportLost();
    return -1;
  }
  if (tls_) {
    const long n = ReadTls(buf, cap);
    const int savedErrno = errno;
    if (n >= 0) return n;
    if (n == kTlsFailed)
      ReportTlsFailure();
    else if (n == kSocketFailed)
      ReportFailure(savedErrno);
    else
      ReportLost();
    endOfStream_ = true;
    return -1;
  }
  const ssize_t n = ReadRaw(buf, cap);
  if (n > 0) {
    BytesMoved();
    return static_cast<long>(n);
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  if (n < 0)
    ReportFailure(errno);
  else
    ReportLost();
  endOfStream_ = true;
  return -1;
}

NntpConnection::WaitResult NntpConnection::Wait(bool pollOnly, Readiness& ready,
                                                sig_atomic_t signalsSeen) {
  ready = Readiness{};
  if (HasBufferedInput() || endOfStream_) {
    ready.readable = true;
    return WaitResult::kReady;
  }
  const bool pending = PendingOutput() > 0;
  pollfd p{socket_.get(), static_cast<short>(POLLIN | (pending ? POLLOUT : 0)), 0};
  // A signal that comes after the caller looked and before the wait began
  // would otherwise be noticed only when the server next sends something:
  // the stop signals are held while the count is compared, and let through
  // only inside ppoll, which then ends with EINTR.
  sigset_t stops;
  sigset_t original;
  sigemptyset(&stops);
  for (int sig : kStopSignals) sigaddset(&stops, sig);
  pthread_sigmask(SIG_BLOCK, &stops, &original);
  if (signalsSeen >= 0 && signalsCaught != signalsSeen) {
    pthread_sigmask(SIG_SETMASK, &original, nullptr);
    return WaitResult::kInterrupted;
  }
  const int waitMs = pollOnly ? 0 : MillisecondsLeft();
  timespec timeout{waitMs / 1000, static_cast<long>(waitMs % 1000) * 1000000};
  const int count = ppoll(&p, 1, waitMs < 0 ? nullptr : &timeout, &original);
  const int waitErrno = errno;
  pthread_sigmask(SIG_SETMASK, &original, nullptr);
  errno = waitErrno;
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
