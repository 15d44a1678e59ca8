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
// Bytes of a status line past which it is taken for one without end.
constexpr std::size_t kStatusLineBound = 1 << 20;
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

int familyOf(const NntpConnection::Address& address) {
  return reinterpret_cast<const sockaddr*>(&address.storage)->sa_family;
}

// The run counts stop signals from the moment it catches them.  One is
// enough to end every wait but the drain of the request engine, which has
// its own count: after it the walk, the marking and the listing end, and
// the answer to QUIT is not read.
bool stopSignalCaught() { return signalsCaught != 0; }

// Where the zone of an IPv6 address begins ("fe80::1%eth0": at the '%'),
// or npos when host is no such address.
std::size_t zoneStart(const std::string& host) {
  const std::size_t zone = host.find('%');
  in6_addr v6;
  if (zone == std::string::npos || inet_pton(AF_INET6, host.substr(0, zone).c_str(), &v6) != 1)
    return std::string::npos;
  return zone;
}

// An address on the local link means nothing without the interface it is
// on, and the kernel refuses it with no more than "Invalid argument".
bool isLinkLocalWithoutZone(const std::string& host) {
  in6_addr v6;
  return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LINKLOCAL(&v6);
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
  return InterleaveFamilies(addresses);
}

std::vector<NntpConnection::Address> NntpConnection::InterleaveFamilies(
    const std::vector<Address>& addresses) {
  if (addresses.empty()) return addresses;
  const int first = familyOf(addresses.front());
  std::vector<const Address*> preferred;
  std::vector<const Address*> other;
  for (const Address& a : addresses) (familyOf(a) == first ? preferred : other).push_back(&a);
  std::vector<Address> ordered;
  ordered.reserve(addresses.size());
  for (std::size_t i = 0; i < preferred.size() || i < other.size(); ++i) {
    if (i < preferred.size()) ordered.push_back(*preferred[i]);
    if (i < other.size()) ordered.push_back(*other[i]);
  }
  return ordered;
}

std::string NntpConnection::HostToVerify(const std::string& hostText) {
  std::string host = withoutBrackets(hostText);
  // A zone names the interface of a link-local address; the certificate
  // can only name the address.
  const std::size_t zone = zoneStart(host);
  return zone != std::string::npos ? host.substr(0, zone) : host;
}

int NntpConnection::Connect(const std::string& host, int port) {
  assert(!IsOpen());
  const std::string address = withoutBrackets(host);
  const std::vector<Address> addresses = Resolve(host, port);
  if (addresses.empty()) {
    // An address is never looked up, so only its zone can be unknown: an
    // interface that does not exist, or a typing error in its name.
    const std::size_t zone = zoneStart(address);
    if (zone != std::string::npos)
      Diag("%s: unknown zone '%s'\n", host.c_str(), address.c_str() + zone + 1);
    else
      Diag("%s: unknown host\n", host.c_str());
    return 0;
  }
  if (isLinkLocalWithoutZone(address)) {
    Diag("%s: link-local address needs a zone, as in %s%%<interface>\n", host.c_str(),
         address.c_str());
    return 0;
  }
  Progress("Connecting to %s:%d... ", host.c_str(), port);
  if (!ConnectAddresses(addresses)) return 0;
  Progress("ok\n");
  return 1;
}

int NntpConnection::ConnectAddresses(const std::vector<Address>& addresses) {
  assert(!IsOpen());
  // One timeout for the whole race: the attempts share it, however many
  // addresses there are.
  HoldDeadline();
  MillisecondsLeft();  // arms it
  std::vector<UniqueFd> racing;
  std::vector<pollfd> polled;
  std::size_t next = 0;
  Clock::time_point nextStart = Clock::now();
  int lastError = EDESTADDRREQ;
  auto fail = [&](bool report) {
    ReleaseDeadline();
    if (report) {
      errno = lastError;
      DiagErrno();
    }
    return 0;
  };
  auto win = [&](UniqueFd sock) {
    // The attempts still racing are closed as racing goes.
    socket_ = std::move(sock);
    tcp_ = true;
    disableNagle(socket_.get());
    ReleaseDeadline();
    return 1;
  };
  for (;;) {
    while (next < addresses.size() && (racing.empty() || Clock::now() >= nextStart)) {
      const Address& address = addresses[next++];
      UniqueFd sock(socket(familyOf(address), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      if (!sock) {
        // A kernel without IPv6, say: the next address may still do.
        lastError = errno;
        continue;
      }
      if (connect(sock.get(), reinterpret_cast<const sockaddr*>(&address.storage),
                  address.length) == 0)
        return win(std::move(sock));
      if (errno != EINPROGRESS && errno != EINTR) {
        lastError = errno;
        continue;
      }
      racing.push_back(std::move(sock));
      nextStart = Clock::now() + kAttemptDelay;
    }
    if (racing.empty()) return fail(true);

    polled.clear();
    for (const UniqueFd& sock : racing) polled.push_back(pollfd{sock.get(), POLLOUT, 0});
    int waitMs = MillisecondsLeft();
    if (next < addresses.size()) {
      const auto untilNext =
          std::chrono::ceil<std::chrono::milliseconds>(nextStart - Clock::now()).count();
      const int untilNextMs = static_cast<int>(std::clamp<long long>(untilNext, 0, INT_MAX));
      waitMs = waitMs < 0 ? untilNextMs : std::min(waitMs, untilNextMs);
    }
    int ready;
    {
      const SignalGate held(false);
      if (stopSignalCaught()) {
        Stop();
        return fail(false);
      }
      ready = held.Poll(polled.data(), polled.size(), waitMs);
    }
    if (ready < 0) {
      if (errno == EINTR) continue;
      ReportFailure(errno);
      return fail(false);
    }
    if (ready == 0) {
      if (DeadlinePassed()) {
        ReportTimeout();
        return fail(false);
      }
      continue;
    }
    // The first address in the order that has connected wins, should
    // several have finished together.
    bool failed = false;
    for (std::size_t i = 0; i < polled.size(); ++i) {
      if (polled[i].revents == 0) continue;
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(racing[i].get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err == 0) return win(std::move(racing[i]));
      lastError = err;
      racing[i].reset();
      failed = true;
    }
    if (failed) {
      racing.erase(
          std::remove_if(racing.begin(), racing.end(), [](const UniqueFd& sock) { return !sock; }),
          racing.end());
      // A refusal says all there is to say about an address: the next one
      // need not wait for the delay.
      nextStart = Clock::now();
    }
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
  compression_.reset();
  compressionBroken_ = false;
  raw_.clear();
  endOfStream_ = false;
  ReleaseDeadline();
}

void NntpConnection::DiscardBuffers() {
  // A record dropped half-sent, or at all, breaks the session's sequence:
  // whatever came after would be garbage to the server.
  if (tls_ && wirePos_ < wire_.size()) tlsBroken_ = true;
  // So does compressed output dropped unsent: the server's decompressor
  // would miss what ours went on from.
  if (zoutPos_ < zout_.size()) compressionBroken_ = true;
  in_.clear();
  inPos_ = 0;
  out_.clear();
  outPos_ = 0;
  zout_.clear();
  zoutPos_ = 0;
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

bool NntpConnection::CompressPending() {
  zout_.clear();
  zoutPos_ = 0;
  const bool compressed = compression_->Compress(std::string_view(out_).substr(outPos_), &zout_);
  out_.clear();
  outPos_ = 0;
  if (!compressed) compressionBroken_ = true;
  return compressed;
}

ssize_t NntpConnection::SendPending() {
  if (tlsBroken_ || compressionBroken_) {
    errno = EPIPE;
    return -1;
  }
  // Compressed and sealed only now, so that lines queued while the socket
  // was full leave together, behind one flush and in one record.
  if (compression_ && outPos_ < out_.size() && zoutPos_ == zout_.size() &&
      wirePos_ == wire_.size() && !CompressPending()) {
    errno = EPROTO;
    return -1;
  }
  if (!tls_) {
    if (compression_) return zoutPos_ == zout_.size() ? 0 : WriteFrom(zout_, zoutPos_);
    if (PendingOutput() == 0) return 0;
    const ssize_t n = WriteRaw(out_.data() + outPos_, PendingOutput());
    if (n > 0) ConsumeOutput(static_cast<std::size_t>(n));
    return n;
  }
  std::string& plain = compression_ ? zout_ : out_;
  std::size_t& plainPos = compression_ ? zoutPos_ : outPos_;
  if (wirePos_ == wire_.size() && plainPos < plain.size()) {
    const bool sealed = tls_->Write(std::string_view(plain).substr(plainPos));
    plain.clear();
    plainPos = 0;
    CollectSessionOutput();
    if (!sealed) {
      errno = EPROTO;
      return -1;
    }
  }
  if (wirePos_ == wire_.size()) return 0;
  return WriteWire();
}

ssize_t NntpConnection::WriteFrom(std::string& buf, std::size_t& pos) {
  const ssize_t n = WriteRaw(buf.data() + pos, buf.size() - pos);
  if (n > 0) {
    BytesMoved();
    pos += static_cast<std::size_t>(n);
    if (pos == buf.size()) {
      buf.clear();
      pos = 0;
    }
  }
  return n;
}

ssize_t NntpConnection::WriteWire() { return WriteFrom(wire_, wirePos_); }

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
    if (n == -1) return kStreamEnd;
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

long NntpConnection::ReadTransport(char* buf, std::size_t cap) {
  if (tls_) return ReadTls(buf, cap);
  const ssize_t n = ReadRaw(buf, cap);
  if (n > 0) {
    BytesMoved();
    return static_cast<long>(n);
  }
  if (n == 0) return kStreamEnd;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  return kSocketFailed;
}

long NntpConnection::ReadStream(char* buf, std::size_t cap) {
  if (!compression_) return ReadTransport(buf, cap);
  // Bytes that inflate to nothing (empty blocks, sent for ever) are no
  // sign of a server at work: the deadline that they moved stands again
  // unless plaintext came, or the server would never be given up; and it
  // is looked at here, since a flood of them never leaves a wait that
  // would find it passed.
  const bool armed = deadlineArmed_;
  const Clock::time_point deadline = deadline_;
  const auto nothingSaid = [&] {
    deadlineArmed_ = armed;
    deadline_ = deadline;
    return DeadlinePassed() ? kSilent : 0L;
  };
  bool transportRead = false;
  for (;;) {
    // Never more than cap at a time: a bomb inflates no further than the
    // reader reads.
    const long n = compression_->Inflate(buf, cap);
    if (n > 0) return n;
    // A stream that the server ended is a connection that it closed.
    if (n == Compression::kEnd) return kStreamEnd;
    if (n == Compression::kCorrupt) return kCorrupt;
    if (transportRead) return nothingSaid();
    transportRead = true;
    std::size_t room = 0;
    char* space = compression_->InputSpace(&room);
    // A read that brings no compressed byte yet (a TLS record still on
    // its way) puts off the deadline as it always did.
    const long r = ReadTransport(space, room);
    if (r <= 0) return r;
    compression_->Fed(static_cast<std::size_t>(r));
  }
}

void NntpConnection::ReportStreamFailure(long code, int error) {
  if (code == kTlsFailed)
    ReportTlsFailure();
  else if (code == kCorrupt)
    Diag("error talking to NNTP server -- %s\n", printable(compression_->reason()).c_str());
  else if (code == kSilent)
    ReportTimeout();
  else
    ReportFailure(error);
}

void NntpConnection::ReportTlsFailure() {
  runFailed = 1;
  Diag("error talking to NNTP server -- %s\n", printable(tls_->reason()).c_str());
}

// ---------------------------------------------------------------------------
// Compression

int NntpConnection::StartCompression() {
  assert(IsOpen() && !compression_ && PendingOutput() == 0);
  std::string error;
  compression_ = Compression::Create(&error);
  if (!compression_) {
    Diag("error talking to NNTP server -- %s\n", printable(error).c_str());
    return 0;
  }
  // The server compresses from the byte after its answer on; what came
  // with the answer is the beginning of that.
  if (inPos_ < in_.size()) compression_->Feed(in_.data() + inPos_, in_.size() - inPos_);
  in_.clear();
  inPos_ = 0;
  return 1;
}

// ---------------------------------------------------------------------------
// TLS

int NntpConnection::StartTls(std::unique_ptr<TlsSession> session, const std::string& host) {
  // Compression sits above TLS, so TLS never starts below it.
  assert(IsOpen() && !tls_ && !compression_ && session);
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
    int ready;
    {
      const SignalGate held(false);
      if (stopSignalCaught()) return Stop();
      ready = held.Poll(&p, 1, MillisecondsLeft());
    }
    if (ready > 0) {
      if (flush && (p.revents & POLLOUT) != 0) SendPending();
      if ((p.revents & ~(flush ? POLLOUT : 0)) != 0) return 1;
      continue;
    }
    if (ready < 0) {
      // Any other signal leaves the deadline standing, so that a stream of
      // them cannot keep a silent server alive.
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

// Whatever the run was doing when the server broke off is left undone.
void NntpConnection::ReportFailure(int error) {
  runFailed = 1;
  Diag("error talking to NNTP server -- %s\n", std::strerror(error));
}

void NntpConnection::ReportTimeout() {
  runFailed = 1;
  Diag("timeout talking to NNTP server\n");
}

void NntpConnection::ReportLost() {
  runFailed = 1;
  DiagPlain("server closed connection... aborting!\n");
}

void NntpConnection::ReportClosed() {
  runFailed = 1;
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
    if (errno == EPROTO && compressionBroken_)
      Diag("error talking to NNTP server -- %s\n", printable(compression_->reason()).c_str());
    else if (errno == EPROTO && tls_ && !tls_->reason().empty())
      ReportTlsFailure();
    else
      ReportFailure(errno);
  }
  // A command cut short is no command; nothing of it is sent later.
  DiscardBuffers();
  return 0;
}

int NntpConnection::FillInput() {
  // A TLS session or the decompressor may hold plaintext that the socket
  // will never signal, so they are asked before any wait.
  const bool layered = tls_ || compression_;
  for (;;) {
    // A server that keeps sending (a long LIST over TLS) may never make
    // the exchange wait; the stop must not depend on it.
    if (stopSignalCaught()) return Stop();
    if (inPos_ == in_.size()) {
      in_.clear();
      inPos_ = 0;
    }
    if (!layered && !AwaitSocket(POLLIN)) return 0;
    const std::size_t used = in_.size();
    in_.resize(used + kReadChunk);
    const long n = ReadStream(in_.data() + used, kReadChunk);
    const int savedErrno = errno;
    in_.resize(used + static_cast<std::size_t>(std::max<long>(n, 0)));
    if (n > 0) return 1;
    if (n == kStreamEnd) {
      endOfStream_ = true;
      return 1;
    }
    if (n < 0) {
      ReportStreamFailure(n, savedErrno);
      return 0;
    }
    if (layered && !AwaitSocket(POLLIN)) return 0;
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
  // Only the end of the stream cuts a line short: an answer that the
  // server broke off is no answer, whatever its first characters say.
  auto complete = [this](const char* line, int lineSize) {
    const std::size_t len = std::strlen(line);
    if (len == 0 || line[len - 1] == '\n' || static_cast<int>(len) == lineSize - 1) return true;
    ReportClosed();
    return false;
  };
  if (!ReadLine(buf, size) || !complete(buf, size)) return 0;
  std::size_t len = std::strlen(buf);
  if (len == 0 || buf[len - 1] == '\n') return 1;
  char rest[kResponseLineSize];
  std::size_t dropped = 0;
  for (;;) {
    if (!ReadLine(rest, sizeof rest) || !complete(rest, sizeof rest)) return 0;
    const std::size_t restLen = std::strlen(rest);
    if (restLen == 0 || rest[restLen - 1] == '\n') return 1;
    // A status line fits in 512 bytes.  One that runs on without end
    // would hold the run, and the newsrc lock, for as long as the server
    // sends it.
    dropped += restLen;
    if (dropped > kStatusLineBound) {
      runFailed = 1;
      Diag("answer from NNTP server too long\n");
      return 0;
    }
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
  const long n = ReadStream(buf, cap);
  const int savedErrno = errno;
  if (n >= 0) return n;
  if (n == kStreamEnd)
    ReportLost();
  else
    ReportStreamFailure(n, savedErrno);
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
  int count;
  {
    const SignalGate held(false);
    if (signalsSeen >= 0 && signalsCaught != signalsSeen) return WaitResult::kInterrupted;
    count = held.Poll(&p, 1, pollOnly ? 0 : MillisecondsLeft());
  }
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
