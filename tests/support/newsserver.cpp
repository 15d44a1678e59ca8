#include "newsserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>

#include "rawdeflate.h"

namespace testserver {
namespace {

using Clock = std::chrono::steady_clock;

// Long enough for the kernel to push a chunk out as a segment of its own,
// short enough that byte-by-byte tests stay quick.
constexpr auto kChunkPause = std::chrono::microseconds(200);
// Plaintext encrypted at a time: one full record.  Nothing more is
// encrypted while the ciphertext of the last piece waits for the socket,
// so a slow reader holds the server back as it does in plain text.
constexpr std::size_t kTlsPiece = 16384;
// A bomb goes out as the compressed form of this many bytes of 'a',
// repeated: a megabyte costs about a kilobyte on the wire.
constexpr std::size_t kBombUnit = 1 << 20;

struct StoredArticle {
  std::string header;
  std::string body;
};

struct Group {
  std::string name;
  std::map<int, StoredArticle> articles;
  int overviewLag = 0;
  bool rangeSet = false;
  int count = 0;
  int first = 1;
  int last = 0;
  int syntheticCount = 0;
  int matchEvery = 0;
};

struct Range {
  int count;
  int first;
  int last;
};

// What GROUP and LIST report: the override, else what the articles give; an
// empty group reports "0 1 0" as real servers do.
Range reportedRange(const Group& g) {
  if (g.rangeSet) return {g.count, g.first, g.last};
  if (g.syntheticCount > 0) return {g.syntheticCount, 1, g.syntheticCount};
  if (g.articles.empty()) return {0, 1, 0};
  return {static_cast<int>(g.articles.size()), g.articles.begin()->first,
          g.articles.rbegin()->first};
}

struct CannedReply {
  std::string raw;
  int times = -1;
};

struct CtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};

// The settings that the server loop reads once per pass.
struct Limits {
  std::string greeting = "200 testserver ready (posting ok)\r\n";
  int closeAfterCommands = 0;
  std::int64_t closeAfterBytes = -1;
  int chunkSize = 0;
  int stallAfter = -1;
  std::chrono::microseconds delay{0};
  TlsMode tlsMode = TlsMode::kOff;
  std::shared_ptr<SSL_CTX> tlsCtx;  // set whenever tlsMode is not kOff
  bool hangUpInHandshake = false;
  int socketBuffer = 0;
  bool readerModeSwitch = false;
  CompressSettings compress;
};

const std::vector<std::string> kInnOverviewFormat = {
    "Subject:", "From:", "Date:", "Message-ID:", "References:", "Bytes:", "Lines:", "Xref:full"};

// The server end of one TLS session over two memory buffers; the
// connection moves the ciphertext between them and its socket.
class ServerTls {
 public:
  explicit ServerTls(SSL_CTX* ctx) {
    ssl_ = SSL_new(ctx);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(in, -1);
    SSL_set_bio(ssl_, in, out);
    SSL_set_accept_state(ssl_);
    in_ = in;
    out_ = out;
  }
  ~ServerTls() { SSL_free(ssl_); }
  ServerTls(const ServerTls&) = delete;
  ServerTls& operator=(const ServerTls&) = delete;

  bool done() const { return done_; }

  // Takes ciphertext, drives the handshake and decrypts what it can into
  // *plain.  False when the session failed or the client ended it.
  bool Receive(const char* data, std::size_t n, std::string* plain) {
    BIO_write(in_, data, static_cast<int>(n));
    bool ok = true;
    if (!done_) {
      int rc = SSL_do_handshake(ssl_);
      if (rc == 1) {
        done_ = true;
      } else if (SSL_get_error(ssl_, rc) != SSL_ERROR_WANT_READ) {
        ok = false;
      }
    }
    while (ok && done_) {
      char buf[16384];
      int rc = SSL_read(ssl_, buf, sizeof buf);
      if (rc > 0) {
        plain->append(buf, static_cast<std::size_t>(rc));
        continue;
      }
      if (SSL_get_error(ssl_, rc) != SSL_ERROR_WANT_READ) ok = false;
      break;
    }
    ERR_clear_error();
    return ok;
  }
  void Encrypt(const char* data, std::size_t n) {
    SSL_write(ssl_, data, static_cast<int>(n));
    ERR_clear_error();
  }
  void CloseNotify() {
    if (done_) SSL_shutdown(ssl_);
    ERR_clear_error();
  }
  // Moves the queued ciphertext to the end of *raw.
  void TakeOutgoing(std::string* raw) {
    std::size_t pending = BIO_ctrl_pending(out_);
    if (pending == 0) return;
    std::size_t at = raw->size();
    raw->resize(at + pending);
    int n = BIO_read(out_, raw->data() + at, static_cast<int>(pending));
    raw->resize(at + static_cast<std::size_t>(n > 0 ? n : 0));
  }

 private:
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;   // owned by ssl_
  BIO* out_ = nullptr;  // owned by ssl_
  bool done_ = false;
};

struct Delayed {
  Clock::time_point due;
  std::string text;
  std::size_t bombAt = std::string::npos;  // where in text a bomb goes
};

struct Connection {
  int fd = -1;
  std::string in;   // plaintext received
  std::string out;  // plaintext to send
  std::size_t outPos = 0;
  std::uint64_t bytesQueued = 0;   // appended to `out` since accept
  std::uint64_t bytesWritten = 0;  // sent since accept
  // Where each response in `out` ends, counted in bytesQueued; a response
  // is outstanding until bytesWritten reaches its end.
  std::deque<std::uint64_t> responseEnds;
  std::deque<Delayed> delayed;
  int commands = 0;  // command lines received
  int answered = 0;  // command lines handled
  std::string group;
  std::string authUser;
  bool authenticated = false;
  bool transitMode = false;  // until MODE READER, where the server wants it
  bool stopReading = false;
  bool closeWhenFlushed = false;
  bool dead = false;
  Clock::time_point nextWrite{};

  // TLS: the session once it began, and its ciphertext on its way out.
  std::unique_ptr<ServerTls> tls;
  std::string rawOut;
  std::size_t rawOutPos = 0;
  bool startTlsWhenFlushed = false;  // STARTTLS answered with 382
  bool quitting = false;             // QUIT: end the session with close_notify
  bool closing = false;              // only the ciphertext left to send, then close

  // Compression: the input is inflated from the byte after COMPRESS on,
  // the output compressed once the 206 has left.
  std::unique_ptr<testutil::RawInflater> inflater;
  std::unique_ptr<testutil::RawDeflater> deflater;
  bool compressWhenFlushed = false;
  std::string zout;  // compressed, to send
  std::size_t zoutPos = 0;
  std::uint64_t compressed = 0;  // plaintext bytes compressed
  Clock::time_point nextEmptyBlock{};
  bool corrupted = false;
  // Bombs still to go: where in the plaintext (counted as bytesQueued
  // counts) and how many bytes.
  std::deque<std::pair<std::uint64_t, std::uint64_t>> bombs;

  bool hasOutput() const { return outPos < out.size() || zoutPos < zout.size(); }
  bool hasRawOutput() const { return rawOutPos < rawOut.size(); }
  // Plaintext can be encrypted and sent now.
  bool canWrite() const { return !closing && (!tls || (tls->done() && !hasRawOutput())); }
};

bool startsWithWord(std::string_view line, std::string_view key) {
  if (line.size() < key.size() || line.compare(0, key.size(), key) != 0) return false;
  return line.size() == key.size() || line[key.size()] == ' ' || line[key.size()] == '\t';
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Splits "VERB arg rest" at blanks.
std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> result;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) result.push_back(line.substr(start, i - start));
  }
  return result;
}

// Appends text (lines joined by "\n") as RFC 3977 multi-line data: CR LF
// line ends and a dot doubled at the start of every line that has one.
void appendStuffed(std::string& dst, std::string_view text) {
  if (text.empty()) return;
  std::size_t pos = 0;
  for (;;) {
    std::size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? nl : nl - pos);
    if (!line.empty() && line[0] == '.') dst += '.';
    dst.append(line);
    dst += "\r\n";
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
}

std::string messageIdOf(const std::string& header, const std::string& group, int number) {
  constexpr std::string_view kField = "message-id:";
  std::size_t pos = 0;
  while (pos <= header.size()) {
    std::size_t nl = header.find('\n', pos);
    std::string_view line(header.data() + pos,
                          (nl == std::string::npos ? header.size() : nl) - pos);
    if (line.size() > kField.size() && equalsIgnoreCase(line.substr(0, kField.size()), kField)) {
      std::string_view value = line.substr(kField.size());
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
      while (!value.empty() && (value.back() == ' ' || value.back() == '\r'))
        value.remove_suffix(1);
      if (!value.empty()) return std::string(value);
    }
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
  return "<" + std::to_string(number) + "." + group + "@testserver>";
}

void setNoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void setBuffers(int fd, int bytes) {
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

}  // namespace

struct NewsServer::Impl {
  // Content and settings; the server thread takes it once per pass and once
  // per command.
  mutable std::mutex mu;
  std::vector<std::unique_ptr<Group>> groups;
  Limits limits;
  std::map<std::string, CannedReply> replies;
  std::string user;
  std::string password;
  bool requireAuth = false;
  bool ipv6 = false;
  std::vector<std::string> overviewFormat = kInnOverviewFormat;

  mutable std::mutex logMu;
  mutable std::condition_variable logChanged;
  std::vector<LogEntry> log;
  std::string plainReceived;
  std::size_t logged = 0;
  int openConnections = 0;
  bool keepLog = true;
  std::function<void(const LogEntry&)> sink;

  int listenFd = -1;
  int wakeRead = -1;
  int wakeWrite = -1;
  int boundPort = -1;
  std::atomic<bool> running{false};
  std::atomic<int> connections{0};
  std::atomic<std::uint64_t> bytesSent{0};
  std::atomic<std::uint64_t> wireSent{0};
  std::atomic<std::uint64_t> wireReceived{0};
  std::thread thread;
  std::list<Connection> conns;  // server thread only

  Group* findGroup(std::string_view name) {
    for (auto& g : groups)
      if (g->name == name) return g.get();
    return nullptr;
  }
  Group& groupNamed(const std::string& name) {
    if (Group* g = findGroup(name)) return *g;
    groups.push_back(std::make_unique<Group>());
    groups.back()->name = name;
    return *groups.back();
  }

  void wake() {
    if (wakeWrite >= 0) {
      char c = 0;
      [[maybe_unused]] ssize_t n = write(wakeWrite, &c, 1);
    }
  }

  // --- The server thread ---------------------------------------------------

  void run();
  void acceptAll(const Limits& lim);
  void readFrom(Connection& c, const Limits& lim);
  void handleLines(Connection& c, const Limits& lim);
  void handleCommand(Connection& c, std::string_view line, const Limits& lim);
  void respond(Connection& c, std::string_view line, std::string& dst);
  void respondArticle(Connection& c, std::string_view verb, const std::vector<std::string_view>& w,
                      std::string& dst);
  void respondOverview(Connection& c, std::string_view verb,
                       const std::vector<std::string_view>& w, std::string& dst);
  void respondCapabilities(const Connection& c, std::string& dst);
  bool findArticle(const Group& g, int n, std::string* header, std::string* body) const;
  void pump(Connection& c, const Limits& lim, Clock::time_point now);
  bool takeInput(Connection& c, std::string_view bytes);
  void compressOut(Connection& c, const Limits& lim);
  void writeOut(Connection& c, const Limits& lim, Clock::time_point now);
  bool flushRaw(Connection& c);
  void startTls(Connection& c, const Limits& lim);
  void hangUp(Connection& c);
  void closeConnection(Connection& c);
  void record(const LogEntry& entry);
};

void NewsServer::Impl::record(const LogEntry& entry) {
  std::lock_guard<std::mutex> lock(logMu);
  if (keepLog) log.push_back(entry);
  ++logged;
  if (sink) sink(entry);
  logChanged.notify_all();
}

void NewsServer::Impl::closeConnection(Connection& c) {
  if (c.fd < 0) return;
  // Reading what the client has already sent keeps the kernel from
  // answering the close with a reset, which could discard data in flight.
  char buf[4096];
  for (int i = 0; i < 64; ++i) {
    ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) break;
  }
  shutdown(c.fd, SHUT_WR);
  close(c.fd);
  c.fd = -1;
  c.dead = true;
  std::lock_guard<std::mutex> lock(logMu);
  --openConnections;
  logChanged.notify_all();
}

// The server's own end of a connection: what was encrypted still leaves
// before the socket closes.  Without TLS, or with nothing pending, at once.
void NewsServer::Impl::hangUp(Connection& c) {
  if (c.tls && c.hasRawOutput() && !c.dead) {
    c.closing = true;
    c.stopReading = true;
    return;
  }
  closeConnection(c);
}

// Sends pending ciphertext as far as the socket takes it; false after the
// connection was closed on an error.
bool NewsServer::Impl::flushRaw(Connection& c) {
  while (c.hasRawOutput()) {
    ssize_t sent = send(c.fd, c.rawOut.data() + c.rawOutPos, c.rawOut.size() - c.rawOutPos,
                        MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      closeConnection(c);
      return false;
    }
    c.rawOutPos += static_cast<std::size_t>(sent);
    wireSent += static_cast<std::uint64_t>(sent);
  }
  c.rawOut.clear();
  c.rawOutPos = 0;
  return true;
}

void NewsServer::Impl::startTls(Connection& c, const Limits& lim) {
  c.startTlsWhenFlushed = false;
  // Whatever came after STARTTLS before the handshake is thrown away.
  c.in.clear();
  if (!lim.tlsCtx) {
    closeConnection(c);
    return;
  }
  c.tls = std::make_unique<ServerTls>(lim.tlsCtx.get());
}

void NewsServer::Impl::acceptAll(const Limits& lim) {
  for (;;) {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    setNoDelay(fd);
    if (lim.socketBuffer > 0) setBuffers(fd, lim.socketBuffer);
    ++connections;
    {
      std::lock_guard<std::mutex> lock(logMu);
      ++openConnections;
    }
    Connection& c = conns.emplace_back();
    c.fd = fd;
    c.out = lim.greeting;
    c.bytesQueued = c.out.size();
    c.transitMode = lim.readerModeSwitch;
    if (lim.tlsMode == TlsMode::kImplicit) startTls(c, lim);
  }
}

void NewsServer::Impl::readFrom(Connection& c, const Limits& lim) {
  char buf[65536];
  for (;;) {
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) {
      wireReceived += static_cast<std::uint64_t>(n);
      if (!c.tls) {
        {
          std::lock_guard<std::mutex> lock(logMu);
          if (keepLog) plainReceived.append(buf, static_cast<std::size_t>(n));
        }
        if (!takeInput(c, std::string_view(buf, static_cast<std::size_t>(n)))) {
          closeConnection(c);
          return;
        }
      } else {
        if (!c.tls->done() && lim.hangUpInHandshake) {
          closeConnection(c);
          return;
        }
        std::string plain;
        bool ok = c.tls->Receive(buf, static_cast<std::size_t>(n), &plain);
        c.tls->TakeOutgoing(&c.rawOut);
        if (!takeInput(c, plain)) {
          closeConnection(c);
          return;
        }
        if (!ok) {
          // A failed handshake, a damaged record or the client's
          // close_notify: what it sent before is still handled, and the
          // alert that says why goes out before the close.
          handleLines(c, lim);
          if (flushRaw(c)) closeConnection(c);
          return;
        }
      }
      if (static_cast<std::size_t>(n) < sizeof buf) return;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // The client went away.  What it sent before is still logged (and
    // answered into the void), so that the log is complete once the
    // connection is gone.
    handleLines(c, lim);
    closeConnection(c);
    return;
  }
}

// Plaintext of the connection (after TLS), inflated once compression is
// on; false when it is no DEFLATE.
bool NewsServer::Impl::takeInput(Connection& c, std::string_view bytes) {
  if (!c.inflater) {
    c.in.append(bytes);
    return true;
  }
  return c.inflater->Inflate(bytes, &c.in);
}

void NewsServer::Impl::handleLines(Connection& c, const Limits& lim) {
  std::size_t pos = 0;
  // Nothing is answered between the 206 and the start of compression.
  while (!c.dead && !c.stopReading && !c.startTlsWhenFlushed && !c.compressWhenFlushed) {
    if (lim.stallAfter >= 0 && c.answered >= lim.stallAfter) break;
    std::size_t nl = c.in.find('\n', pos);
    if (nl == std::string::npos) break;
    std::string_view line(c.in.data() + pos, nl - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = nl + 1;
    const bool inflating = c.inflater != nullptr;
    handleCommand(c, line, lim);
    if (!inflating && c.inflater) {
      // What came after COMPRESS was compressed already.
      std::string rest = c.in.substr(pos);
      c.in.clear();
      pos = 0;
      if (!takeInput(c, rest)) {
        closeConnection(c);
        return;
      }
    }
  }
  if (c.stopReading) {
    c.in.clear();
  } else {
    c.in.erase(0, pos);
  }
}

void NewsServer::Impl::handleCommand(Connection& c, std::string_view line, const Limits& lim) {
  Clock::time_point arrival = Clock::now();
  ++c.commands;
  while (!c.responseEnds.empty() && c.responseEnds.front() <= c.bytesWritten)
    c.responseEnds.pop_front();
  LogEntry entry;
  entry.command = std::string(line);
  entry.outstanding = static_cast<int>(c.delayed.size() + c.responseEnds.size()) + 1;
  entry.tls = c.tls != nullptr;
  record(entry);

  if (lim.closeAfterCommands > 0 && c.commands == lim.closeAfterCommands) {
    c.stopReading = true;
    c.closeWhenFlushed = true;
    return;
  }
  ++c.answered;
  std::vector<std::string_view> w = words(line);
  bool quit = !w.empty() && equalsIgnoreCase(w[0], "QUIT");

  // A bomb goes behind the status line of its answer, while compression
  // is on.
  const bool bomb = c.deflater && !lim.compress.bombCommand.empty() &&
                    startsWithWord(line, lim.compress.bombCommand);
  if (lim.delay.count() == 0 && c.delayed.empty()) {
    std::size_t before = c.out.size();
    respond(c, line, c.out);
    std::size_t crlf = c.out.find("\r\n", before);
    if (bomb && crlf != std::string::npos)
      c.bombs.emplace_back(c.bytesQueued + (crlf + 2 - before), lim.compress.bombBytes);
    c.bytesQueued += c.out.size() - before;
    c.responseEnds.push_back(c.bytesQueued);
  } else {
    Delayed d;
    d.due = arrival + lim.delay;
    respond(c, line, d.text);
    std::size_t crlf = d.text.find("\r\n");
    if (bomb && crlf != std::string::npos) d.bombAt = crlf + 2;
    c.delayed.push_back(std::move(d));
  }
  if (quit) {
    c.stopReading = true;
    c.closeWhenFlushed = true;
    c.quitting = true;
  }
}

void NewsServer::Impl::respond(Connection& c, std::string_view line, std::string& dst) {
  std::lock_guard<std::mutex> lock(mu);
  for (auto it = replies.begin(); it != replies.end(); ++it) {
    if (!startsWithWord(line, it->first)) continue;
    dst += it->second.raw;
    // A canned 382 still starts TLS, so that tests can put plain text
    // behind it.
    if (limits.tlsMode != TlsMode::kOff && !c.tls && equalsIgnoreCase(line, "STARTTLS") &&
        it->second.raw.compare(0, 3, "382") == 0)
      c.startTlsWhenFlushed = true;
    if (it->second.times > 0 && --it->second.times == 0) replies.erase(it);
    return;
  }

  std::vector<std::string_view> w = words(line);
  if (w.empty()) {
    dst += "500 unknown command\r\n";
    return;
  }
  std::string_view verb = w[0];
  auto needsAuth = [&] { return requireAuth && !c.authenticated; };

  if (c.inflater && (equalsIgnoreCase(verb, "AUTHINFO") || equalsIgnoreCase(verb, "STARTTLS") ||
                     equalsIgnoreCase(verb, "MODE"))) {
    dst += "502 Not possible once compression is active\r\n";
  } else if (equalsIgnoreCase(verb, "COMPRESS") && limits.compress.offer) {
    if (c.inflater) {
      dst += "502 Compression already active\r\n";
    } else if (w.size() != 2 || w[1] != "DEFLATE") {
      dst += "503 Compression algorithm not supported\r\n";
    } else {
      dst += "206 Compression active\r\n";
      c.inflater = std::make_unique<testutil::RawInflater>();
      c.compressWhenFlushed = true;
    }
  } else if (equalsIgnoreCase(verb, "QUIT")) {
    dst += "205 closing connection\r\n";
  } else if (equalsIgnoreCase(verb, "STARTTLS") && limits.tlsMode != TlsMode::kOff) {
    if (c.tls || c.startTlsWhenFlushed) {
      dst += "502 Already using a security layer\r\n";
    } else if (c.authenticated) {
      dst += "502 Already authenticated without the use of a security layer\r\n";
    } else {
      dst += "382 Begin TLS negotiation now\r\n";
      c.startTlsWhenFlushed = true;
    }
  } else if (equalsIgnoreCase(verb, "MODE")) {
    if (w.size() == 2 && equalsIgnoreCase(w[1], "READER")) {
      c.transitMode = false;
      dst += "200 reader mode, posting ok\r\n";
    }
    else
      dst += "501 unknown MODE variant\r\n";
  } else if (equalsIgnoreCase(verb, "AUTHINFO")) {
    if (w.size() >= 2 && equalsIgnoreCase(w[1], "USER")) {
      c.authUser = w.size() >= 3 ? std::string(w[2]) : std::string();
      dst += "381 password required\r\n";
    } else if (w.size() >= 2 && equalsIgnoreCase(w[1], "PASS")) {
      std::string given = w.size() >= 3 ? std::string(w[2]) : std::string();
      bool userOk = user.empty() || c.authUser.empty() || c.authUser == user;
      if (password.empty() || (given == password && userOk)) {
        c.authenticated = true;
        dst += "281 authentication accepted\r\n";
      } else {
        dst += "481 authentication failed\r\n";
      }
    } else {
      dst += "501 unknown AUTHINFO variant\r\n";
    }
  } else if (equalsIgnoreCase(verb, "CAPABILITIES")) {
    respondCapabilities(c, dst);
  } else if (equalsIgnoreCase(verb, "LIST") && w.size() == 2 &&
             equalsIgnoreCase(w[1], "OVERVIEW.FMT")) {
    dst += "215 Order of fields in overview database.\r\n";
    std::string text;
    for (const std::string& field : overviewFormat) text += (text.empty() ? "" : "\n") + field;
    appendStuffed(dst, text);
    dst += ".\r\n";
  } else if (equalsIgnoreCase(verb, "OVER") || equalsIgnoreCase(verb, "XOVER")) {
    if (needsAuth())
      dst += "480 authentication required\r\n";
    else
      respondOverview(c, verb, w, dst);
  } else if (equalsIgnoreCase(verb, "LIST")) {
    if (needsAuth()) {
      dst += "480 authentication required\r\n";
    } else if (w.size() > 2 || (w.size() == 2 && !equalsIgnoreCase(w[1], "ACTIVE"))) {
      dst += "501 unknown LIST variant\r\n";
    } else {
      dst += "215 list of newsgroups follows\r\n";
      std::string text;
      for (auto& g : groups) {
        auto [count, first, last] = reportedRange(*g);
        (void)count;
        if (!text.empty()) text += '\n';
        text += g->name + " " + std::to_string(last) + " " + std::to_string(first) + " y";
      }
      appendStuffed(dst, text);
      dst += ".\r\n";
    }
  } else if (equalsIgnoreCase(verb, "GROUP")) {
    if (needsAuth()) {
      dst += "480 authentication required\r\n";
    } else if (w.size() != 2) {
      dst += "501 syntax: GROUP newsgroup\r\n";
    } else if (Group* g = findGroup(w[1])) {
      auto [count, first, last] = reportedRange(*g);
      c.group = g->name;
      dst += "211 " + std::to_string(count) + " " + std::to_string(first) + " " +
             std::to_string(last) + " " + g->name + "\r\n";
    } else {
      dst += "411 no such newsgroup\r\n";
    }
  } else if (equalsIgnoreCase(verb, "HEAD") || equalsIgnoreCase(verb, "BODY") ||
             equalsIgnoreCase(verb, "ARTICLE")) {
    if (needsAuth())
      dst += "480 authentication required\r\n";
    else
      respondArticle(c, verb, w, dst);
  } else {
    dst += "500 unknown command\r\n";
  }
}

void NewsServer::Impl::respondArticle(Connection& c, std::string_view verb,
                                      const std::vector<std::string_view>& w, std::string& dst) {
  Group* g = c.group.empty() ? nullptr : findGroup(c.group);
  if (g == nullptr) {
    dst += "412 no newsgroup selected\r\n";
    return;
  }
  if (w.size() != 2) {
    dst += "501 syntax: " + std::string(verb) + " number\r\n";
    return;
  }
  std::string arg(w[1]);
  char* end = nullptr;
  errno = 0;
  long number = std::strtol(arg.c_str(), &end, 10);
  if (end == arg.c_str() || *end != '\0' || errno != 0 || number < 0 || number > 0x7fffffff) {
    dst += "501 bad article number\r\n";
    return;
  }
  int n = static_cast<int>(number);
  std::string header, body;
  if (!findArticle(*g, n, &header, &body)) {
    dst += "423 no such article number in this group\r\n";
    return;
  }
  std::string id = messageIdOf(header, g->name, n);
  if (equalsIgnoreCase(verb, "HEAD")) {
    dst += "221 " + std::to_string(n) + " " + id + "\r\n";
    appendStuffed(dst, header);
  } else if (equalsIgnoreCase(verb, "BODY")) {
    dst += "222 " + std::to_string(n) + " " + id + "\r\n";
    appendStuffed(dst, body);
  } else {
    dst += "220 " + std::to_string(n) + " " + id + "\r\n";
    appendStuffed(dst, header);
    dst += "\r\n";
    appendStuffed(dst, body);
  }
  dst += ".\r\n";
}

bool NewsServer::Impl::findArticle(const Group& g, int n, std::string* header,
                                   std::string* body) const {
  auto it = g.articles.find(n);
  if (it != g.articles.end()) {
    *header = it->second.header;
    *body = it->second.body;
    return true;
  }
  if (n >= 1 && n <= g.syntheticCount) {
    *header = SyntheticHeader(g.name, n, g.matchEvery);
    *body = SyntheticBody(g.name, n);
    return true;
  }
  return false;
}

void NewsServer::Impl::respondCapabilities(const Connection& c, std::string& dst) {
  dst += "101 Capability list:\r\nVERSION 2\r\n";
  if (c.transitMode) {
    dst += "MODE-READER\r\n";
  } else if (!requireAuth || c.authenticated) {
    // As INN: reading, and the overview with it, only once the client may.
    dst += "READER\r\nOVER\r\n";
  }
  dst += "LIST ACTIVE OVERVIEW.FMT\r\n";
  if (requireAuth && !c.authenticated) dst += "AUTHINFO USER\r\n";
  if (limits.compress.offer && !c.inflater) dst += "COMPRESS DEFLATE\r\n";
  dst += ".\r\n";
}

// "N", "N-" or "N-M".
void NewsServer::Impl::respondOverview(Connection& c, std::string_view verb,
                                       const std::vector<std::string_view>& w, std::string& dst) {
  Group* g = c.group.empty() ? nullptr : findGroup(c.group);
  if (g == nullptr) {
    dst += "412 no newsgroup selected\r\n";
    return;
  }
  const Range range = reportedRange(*g);
  long first = 0, last = 0;
  bool ok = w.size() == 2;
  if (ok) {
    std::string arg(w[1]);
    char* end = nullptr;
    first = std::strtol(arg.c_str(), &end, 10);
    ok = end != arg.c_str() && first >= 0;
    if (ok && *end == '\0') {
      last = first;
    } else if (ok && *end == '-' && end[1] == '\0') {
      last = range.last;
    } else if (ok && *end == '-') {
      char* end2 = nullptr;
      last = std::strtol(end + 1, &end2, 10);
      ok = end2 != end + 1 && *end2 == '\0';
    } else {
      ok = false;
    }
  }
  if (!ok) {
    dst += "501 syntax: " + std::string(verb) + " range\r\n";
    return;
  }
  // The overview lags behind the spool by the group's last few articles.
  int highest = g->syntheticCount;
  if (!g->articles.empty()) highest = std::max(highest, g->articles.rbegin()->first);
  last = std::min<long>(last, static_cast<long>(highest) - g->overviewLag);
  std::string text;
  for (long n = std::max(first, 1L); n <= last; ++n) {
    // Stored articles are sparse; synthetic ones are dense up to their count.
    if (n > g->syntheticCount) {
      auto it = g->articles.lower_bound(static_cast<int>(n));
      if (it == g->articles.end() || it->first > last) break;
      n = it->first;
    }
    std::string header, body;
    if (!findArticle(*g, static_cast<int>(n), &header, &body)) continue;
    if (!text.empty()) text += '\n';
    text += OverviewLine(static_cast<int>(n), header, body, overviewFormat);
  }
  if (text.empty() && equalsIgnoreCase(verb, "OVER")) {
    dst += "423 no articles in that range\r\n";
    return;
  }
  dst += "224 overview information follows\r\n";
  appendStuffed(dst, text);
  dst += ".\r\n";
}

// The plaintext waiting in out, compressed into zout: all of it behind one
// flush, or flushEvery bytes at a time; bombs put in, and the stream
// broken off, where the settings say.  Plaintext counts as written once
// compressed.
void NewsServer::Impl::compressOut(Connection& c, const Limits& lim) {
  const CompressSettings& z = lim.compress;
  while (c.outPos < c.out.size() && !c.corrupted) {
    std::size_t n = c.out.size() - c.outPos;
    if (z.flushEvery > 0) n = std::min<std::size_t>(n, static_cast<std::size_t>(z.flushEvery));
    if (lim.closeAfterBytes >= 0) {
      std::int64_t left = lim.closeAfterBytes - static_cast<std::int64_t>(c.bytesWritten);
      if (left <= 0) break;
      n = std::min<std::size_t>(n, static_cast<std::size_t>(left));
    }
    if (!c.bombs.empty()) {
      const std::uint64_t to = c.bombs.front().first - c.bytesWritten;
      if (to == 0) {
        // Every copy after the first refers back only to bytes of 'a', so
        // the same compressed bytes serve again and again.
        const std::uint64_t bytes = c.bombs.front().second;
        c.bombs.pop_front();
        if (bytes >= kBombUnit) {
          const std::string unit = c.deflater->Compress(std::string(kBombUnit, 'a'));
          for (std::uint64_t i = 0; i < bytes / kBombUnit; ++i) c.zout += unit;
        }
        if (bytes % kBombUnit != 0)
          c.zout += c.deflater->Compress(std::string(bytes % kBombUnit, 'a'));
        c.compressed += bytes;
        bytesSent += bytes;
        continue;
      }
      n = std::min<std::size_t>(n, static_cast<std::size_t>(to));
    }
    bool corruptNow = false;
    if (z.corruptAfter >= 0) {
      const std::uint64_t limit = static_cast<std::uint64_t>(z.corruptAfter);
      const std::uint64_t left = c.compressed >= limit ? 0 : limit - c.compressed;
      if (left <= n) {
        n = static_cast<std::size_t>(left);
        corruptNow = true;
      }
    }
    if (n > 0) c.zout += c.deflater->Compress(std::string_view(c.out).substr(c.outPos, n));
    c.outPos += n;
    c.bytesWritten += n;
    bytesSent += n;
    c.compressed += n;
    // A block of the reserved type: no decompressor goes past it.
    if (corruptNow) {
      c.zout += "\xff\xff\xff\xff";
      c.corrupted = true;
    }
  }
  // Nothing goes out after the corruption.
  if (c.corrupted) c.outPos = c.out.size();
}

void NewsServer::Impl::writeOut(Connection& c, const Limits& lim, Clock::time_point now) {
  if (c.tls && !flushRaw(c)) return;
  if (c.deflater) compressOut(c, lim);
  // Once compression is on, the compressed stream is what chunks cut and
  // TLS seals.
  std::string& src = c.deflater ? c.zout : c.out;
  std::size_t& pos = c.deflater ? c.zoutPos : c.outPos;
  while (pos < src.size() && !c.dead && c.canWrite()) {
    if (lim.chunkSize > 0 && now < c.nextWrite) return;
    std::size_t n = src.size() - pos;
    if (lim.chunkSize > 0) n = std::min<std::size_t>(n, static_cast<std::size_t>(lim.chunkSize));
    if (lim.closeAfterBytes >= 0 && !c.deflater) {
      std::int64_t left = lim.closeAfterBytes - static_cast<std::int64_t>(c.bytesWritten);
      if (left <= 0) {
        hangUp(c);
        return;
      }
      n = std::min<std::size_t>(n, static_cast<std::size_t>(left));
    }
    ssize_t sent;
    if (c.tls) {
      // Each piece becomes records of its own, so that chunks stay chunks.
      n = std::min(n, kTlsPiece);
      c.tls->Encrypt(src.data() + pos, n);
      c.tls->TakeOutgoing(&c.rawOut);
      sent = static_cast<ssize_t>(n);
    } else {
      sent = send(c.fd, src.data() + pos, n, MSG_NOSIGNAL);
      if (sent > 0) wireSent += static_cast<std::uint64_t>(sent);
    }
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      closeConnection(c);
      return;
    }
    pos += static_cast<std::size_t>(sent);
    if (!c.deflater) {
      c.bytesWritten += static_cast<std::uint64_t>(sent);
      bytesSent += static_cast<std::uint64_t>(sent);
    }
    if (c.tls && !flushRaw(c)) return;
    if (lim.closeAfterBytes >= 0 && !c.deflater &&
        static_cast<std::int64_t>(c.bytesWritten) >= lim.closeAfterBytes) {
      hangUp(c);
      return;
    }
    if (lim.chunkSize > 0) {
      c.nextWrite = now + kChunkPause;
      break;
    }
  }
  for (auto [buf, at] : {std::pair<std::string*, std::size_t*>{&c.out, &c.outPos},
                         std::pair<std::string*, std::size_t*>{&c.zout, &c.zoutPos}}) {
    if (*at == buf->size()) {
      buf->clear();
      *at = 0;
    } else if (*at > (1u << 20) && *at > buf->size() / 2) {
      buf->erase(0, *at);
      *at = 0;
    }
  }
}

void NewsServer::Impl::pump(Connection& c, const Limits& lim, Clock::time_point now) {
  if (c.dead) return;
  if (c.closing) {
    if (flushRaw(c) && !c.hasRawOutput()) closeConnection(c);
    return;
  }
  while (!c.delayed.empty() && c.delayed.front().due <= now) {
    if (c.delayed.front().bombAt != std::string::npos && c.deflater)
      c.bombs.emplace_back(c.bytesQueued + c.delayed.front().bombAt, lim.compress.bombBytes);
    c.out += c.delayed.front().text;
    c.bytesQueued += c.delayed.front().text.size();
    c.responseEnds.push_back(c.bytesQueued);
    c.delayed.pop_front();
  }
  if (lim.closeAfterBytes >= 0 &&
      static_cast<std::int64_t>(c.bytesWritten) >= lim.closeAfterBytes &&
      c.zoutPos == c.zout.size()) {
    hangUp(c);
    return;
  }
  writeOut(c, lim, now);
  if (c.dead || c.closing || !c.delayed.empty() || c.hasOutput()) return;
  // The 382 has left in plain text: from here on the bytes are TLS.
  if (c.startTlsWhenFlushed) startTls(c, lim);
  // The 206 has left uncompressed: from here on the output is compressed.
  if (c.compressWhenFlushed) {
    c.compressWhenFlushed = false;
    c.deflater = std::make_unique<testutil::RawDeflater>(Z_DEFAULT_COMPRESSION);
    // Commands that came meanwhile wait for no further event.
    handleLines(c, lim);
    writeOut(c, lim, now);
  }
  // Behind a flush the stream stands at a block boundary, where an empty
  // stored block changes nothing of what the client inflates.
  if (!c.dead && c.deflater && !c.corrupted && lim.compress.emptyBlockMs > 0 && !c.hasOutput() &&
      now >= c.nextEmptyBlock) {
    c.nextEmptyBlock = now + std::chrono::milliseconds(lim.compress.emptyBlockMs);
    c.zout.append("\x00\x00\x00\xff\xff", 5);
    writeOut(c, lim, now);
  }
  if (!c.dead && c.closeWhenFlushed) {
    if (c.tls && c.quitting) {
      c.tls->CloseNotify();
      c.tls->TakeOutgoing(&c.rawOut);
      flushRaw(c);
    }
    hangUp(c);
  }
}

void NewsServer::Impl::run() {
  std::vector<pollfd> fds;
  while (running.load()) {
    Limits lim;
    {
      std::lock_guard<std::mutex> lock(mu);
      lim = limits;
    }
    Clock::time_point now = Clock::now();
    for (Connection& c : conns) {
      if (!c.dead) handleLines(c, lim);
      pump(c, lim, now);
    }
    conns.remove_if([](const Connection& c) { return c.dead; });

    fds.clear();
    fds.push_back({wakeRead, POLLIN, 0});
    fds.push_back({listenFd, POLLIN, 0});
    std::optional<Clock::time_point> deadline;
    auto earliest = [&](Clock::time_point t) {
      if (!deadline || t < *deadline) deadline = t;
    };
    for (Connection& c : conns) {
      short events = POLLRDHUP;
      bool stalled = lim.stallAfter >= 0 && c.answered >= lim.stallAfter;
      // A stall holds back commands, not the handshake that precedes them.
      bool handshaking = c.tls && !c.tls->done();
      if (!c.stopReading && (!stalled || handshaking)) events |= POLLIN;
      if (c.hasRawOutput()) {
        events |= POLLOUT;
      } else if (c.hasOutput() && c.canWrite()) {
        if (lim.chunkSize > 0 && c.nextWrite > now)
          earliest(c.nextWrite);
        else
          events |= POLLOUT;
      }
      if (!c.delayed.empty()) earliest(c.delayed.front().due);
      if (c.deflater && lim.compress.emptyBlockMs > 0) earliest(c.nextEmptyBlock);
      fds.push_back({c.fd, events, 0});
    }
    timespec ts{};
    timespec* timeout = nullptr;
    if (deadline) {
      auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(*deadline - now);
      if (wait.count() < 0) wait = std::chrono::nanoseconds(0);
      ts.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
      ts.tv_nsec = static_cast<long>(wait.count() % 1000000000);
      timeout = &ts;
    }
    int ready = ppoll(fds.data(), fds.size(), timeout, nullptr);
    if (ready < 0) continue;
    // Settings may have changed while we waited; what happens now follows
    // the newest ones.
    {
      std::lock_guard<std::mutex> lock(mu);
      lim = limits;
    }
    if (fds[0].revents & POLLIN) {
      char buf[64];
      while (read(wakeRead, buf, sizeof buf) > 0) {
      }
    }
    if (fds[1].revents & POLLIN) acceptAll(lim);
    std::size_t i = 2;
    for (Connection& c : conns) {
      if (i >= fds.size()) break;
      short rev = fds[i++].revents;
      if (c.dead || rev == 0) continue;
      if (rev & POLLIN) {
        readFrom(c, lim);
      } else if (rev & (POLLRDHUP | POLLHUP | POLLERR)) {
        // The client is gone while we are not reading (stalled or closing).
        closeConnection(c);
      }
    }
  }
  for (Connection& c : conns) closeConnection(c);
  conns.clear();
}

NewsServer::NewsServer() : impl_(std::make_unique<Impl>()) {}

NewsServer::~NewsServer() { Stop(); }

int NewsServer::Start() {
  if (impl_->running.load()) return impl_->boundPort;
  bool ipv6;
  int buffers;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    ipv6 = impl_->ipv6;
    buffers = impl_->limits.socketBuffer;
  }
  int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::perror("testserver: socket");
    return -1;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (buffers > 0) setBuffers(fd, buffers);
  sockaddr_storage addr{};
  socklen_t len;
  if (ipv6) {
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&addr);
    a6->sin6_family = AF_INET6;
    a6->sin6_addr = in6addr_loopback;
    len = sizeof *a6;
  } else {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&addr);
    a4->sin_family = AF_INET;
    a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *a4;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::perror("testserver: bind");
    close(fd);
    return -1;
  }
  int boundPort = ipv6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port)
                       : ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  int pipeFds[2];
  if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
    std::perror("testserver: pipe");
    close(fd);
    return -1;
  }
  impl_->listenFd = fd;
  impl_->wakeRead = pipeFds[0];
  impl_->wakeWrite = pipeFds[1];
  impl_->boundPort = boundPort;
  impl_->connections = 0;
  impl_->running = true;
  impl_->thread = std::thread([this] { impl_->run(); });
  return impl_->boundPort;
}

void NewsServer::Stop() {
  if (!impl_->running.exchange(false)) return;
  impl_->wake();
  impl_->thread.join();
  close(impl_->listenFd);
  close(impl_->wakeRead);
  close(impl_->wakeWrite);
  impl_->listenFd = impl_->wakeRead = impl_->wakeWrite = -1;
}

int NewsServer::port() const { return impl_->boundPort; }

void NewsServer::SetIPv6(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->ipv6 = on;
}

std::string NewsServer::host() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->ipv6 ? "::1" : "127.0.0.1";
}

bool NewsServer::SetTls(const TlsSettings& settings, std::string* error) {
  std::shared_ptr<SSL_CTX> ctx;
  if (settings.mode != TlsMode::kOff) {
    ERR_clear_error();
    ctx.reset(SSL_CTX_new(TLS_server_method()), CtxFree());
    bool old = settings.maxVersion != 0 && settings.maxVersion < TLS1_2_VERSION;
    // The protocols before TLS 1.2 need SHA-1, which the default security
    // level forbids.
    if (ctx && old) SSL_CTX_set_security_level(ctx.get(), 0);
    const char* failed = nullptr;
    if (!ctx)
      failed = "SSL_CTX_new";
    else if (SSL_CTX_set_min_proto_version(ctx.get(), old ? TLS1_VERSION : TLS1_2_VERSION) != 1 ||
             SSL_CTX_set_max_proto_version(ctx.get(), settings.maxVersion) != 1)
      failed = "protocol versions";
    else if (SSL_CTX_use_certificate_chain_file(ctx.get(), settings.chainFile.c_str()) != 1)
      failed = settings.chainFile.c_str();
    else if (SSL_CTX_use_PrivateKey_file(ctx.get(), settings.keyFile.c_str(),
                                         SSL_FILETYPE_PEM) != 1 ||
             SSL_CTX_check_private_key(ctx.get()) != 1)
      failed = settings.keyFile.c_str();
    if (failed != nullptr) {
      if (error) {
        char buf[256] = "unknown error";
        if (unsigned long code = ERR_peek_last_error()) ERR_error_string_n(code, buf, sizeof buf);
        *error = std::string(failed) + ": " + buf;
      }
      ERR_clear_error();
      return false;
    }
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->limits.tlsMode = settings.mode;
    impl_->limits.tlsCtx = std::move(ctx);
  }
  impl_->wake();
  return true;
}

std::string NewsServer::PlainReceived() const {
  std::lock_guard<std::mutex> lock(impl_->logMu);
  return impl_->plainReceived;
}

void NewsServer::HangUpInHandshake(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->limits.hangUpInHandshake = on;
}

void NewsServer::SetSocketBuffers(int bytes) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->limits.socketBuffer = bytes;
}

void NewsServer::AddGroup(const std::string& group) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->groupNamed(group);
}

void NewsServer::AddArticle(const std::string& group, int number, const std::string& header,
                            const std::string& body) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->groupNamed(group).articles[number] = StoredArticle{header, body};
}

void NewsServer::RemoveArticle(const std::string& group, int number) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->groupNamed(group).articles.erase(number);
}

void NewsServer::SetGroupRange(const std::string& group, int count, int first, int last) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Group& g = impl_->groupNamed(group);
  g.rangeSet = true;
  g.count = count;
  g.first = first;
  g.last = last;
}

void NewsServer::AddSyntheticGroup(const std::string& group, int count, int matchEvery) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Group& g = impl_->groupNamed(group);
  g.syntheticCount = count;
  g.matchEvery = matchEvery;
}

std::string NewsServer::SyntheticHeader(const std::string& group, int number, int matchEvery) {
  std::string n = std::to_string(number);
  std::string h;
  h.reserve(900);
  h += "Path: bench.example!testserver!not-for-mail\n";
  h += "From: Bench Poster <poster@bench.example>\n";
  h += "Newsgroups: " + group + "\n";
  const bool match = matchEvery > 0 && number % matchEvery == 0;
  h += "Subject: Synthetic article " + n + " in " + group + (match ? " (match)" : "") + "\n";
  h += "Date: Mon, 01 Jan 2024 00:00:00 +0000\n";
  h += "Organization: Pelliton benchmark spool\n";
  h += "Message-ID: <" + n + "." + group + "@bench.example>\n";
  h += "References: <" + std::to_string(number + 1000000) + "." + group + "@bench.example> <" +
       std::to_string(number + 2000000) + "." + group + "@bench.example>\n";
  h += "User-Agent: pelliton-testserver\n";
  if (match) h += "X-Bench: match\n";
  for (int i = 1; h.size() < 780; ++i)
    h += "X-Filler-" + std::to_string(i) +
         ": the quick brown fox jumps over the lazy dog 0123456789\n";
  h += "Lines: 30";
  return h;
}

std::string NewsServer::SyntheticBody(const std::string& group, int number) {
  std::string b;
  b.reserve(2200);
  for (int i = 1; i <= 30; ++i) {
    char line[128];
    std::snprintf(line, sizeof line,
                  "Line %02d of article %d in %s: pack my box with five dozen liquor jugs",
                  i, number, group.c_str());
    if (i > 1) b += '\n';
    b += line;
  }
  return b;
}

bool NewsServer::LoadSpool(const std::string& dir, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<fs::path> groupDirs;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_directory()) groupDirs.push_back(it->path());
  if (ec) {
    if (error) *error = dir + ": " + ec.message();
    return false;
  }
  std::sort(groupDirs.begin(), groupDirs.end());
  for (const fs::path& gdir : groupDirs) {
    std::string group = gdir.filename().string();
    AddGroup(group);
    for (fs::directory_iterator it(gdir, ec), end; !ec && it != end; it.increment(ec)) {
      std::string name = it->path().filename().string();
      auto isDigit = [](char ch) { return ch >= '0' && ch <= '9'; };
      if (name.empty() || !std::all_of(name.begin(), name.end(), isDigit)) continue;
      std::ifstream f(it->path(), std::ios::binary);
      std::stringstream ss;
      ss << f.rdbuf();
      std::string text = ss.str();
      std::string header, body;
      if (text.rfind("\n", 0) == 0) {
        body = text.substr(1);
      } else {
        std::size_t sep = text.find("\n\n");
        if (sep == std::string::npos) {
          header = text;
          if (!header.empty() && header.back() == '\n') header.pop_back();
        } else {
          header = text.substr(0, sep);
          body = text.substr(sep + 2);
        }
      }
      // The file's last line end is the end of the last body line, not an
      // empty line after it.
      if (!body.empty() && body.back() == '\n') body.pop_back();
      AddArticle(group, std::atoi(name.c_str()), header, body);
    }
    if (ec) {
      if (error) *error = gdir.string() + ": " + ec.message();
      return false;
    }
  }
  return true;
}

std::string NewsServer::OverviewLine(int number, const std::string& header,
                                     const std::string& body,
                                     const std::vector<std::string>& format) {
  // The header's fields, unfolded, each name with its first value.
  std::vector<std::pair<std::string, std::string>> fields;
  std::size_t pos = 0;
  while (pos < header.size()) {
    std::size_t nl = header.find('\n', pos);
    std::string line = header.substr(pos, nl == std::string::npos ? nl : nl - pos);
    pos = nl == std::string::npos ? header.size() : nl + 1;
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      if (!fields.empty()) fields.back().second += line;
      continue;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    fields.emplace_back(line.substr(0, colon), value);
  }
  auto valueOf = [&](std::string_view name) -> std::string {
    for (const auto& [field, value] : fields) {
      if (!equalsIgnoreCase(field, name)) continue;
      std::string v = value;
      std::size_t start = v.find_first_not_of(" \t");
      v = start == std::string::npos ? "" : v.substr(start);
      std::replace(v.begin(), v.end(), '\t', ' ');
      return v;
    }
    return "";
  };
  std::size_t bodyLines = body.empty() ? 0 : std::count(body.begin(), body.end(), '\n') + 1;
  std::string line = std::to_string(number);
  for (const std::string& entry : format) {
    line += '\t';
    std::string_view e = entry;
    if (equalsIgnoreCase(e, ":bytes") || equalsIgnoreCase(e, "Bytes:")) {
      line += std::to_string(header.size() + body.size() + 2 * bodyLines + 4);
    } else if (equalsIgnoreCase(e, ":lines") || equalsIgnoreCase(e, "Lines:")) {
      line += std::to_string(bodyLines);
    } else if (e.size() > 5 && equalsIgnoreCase(e.substr(e.size() - 5), ":full")) {
      std::string_view name = e.substr(0, e.size() - 5);
      std::string value = valueOf(name);
      if (!value.empty()) line += std::string(name) + ": " + value;
    } else if (!e.empty() && e.back() == ':') {
      line += valueOf(e.substr(0, e.size() - 1));
    }
  }
  return line;
}

void NewsServer::SetOverviewFormat(const std::vector<std::string>& fields) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->overviewFormat = fields;
}

void NewsServer::SetOverviewLag(const std::string& group, int count) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->groupNamed(group).overviewLag = count;
}

void NewsServer::SetReaderModeSwitch(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->limits.readerModeSwitch = on;
}

void NewsServer::SetCredentials(const std::string& user, const std::string& password) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->user = user;
  impl_->password = password;
}

void NewsServer::SetRequireAuth(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->requireAuth = on;
}

void NewsServer::SetGreeting(const std::string& raw) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->limits.greeting = raw;
}

void NewsServer::SetReply(const std::string& command, const std::string& raw, int times) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (times == 0) {
    impl_->replies.erase(command);
    return;
  }
  impl_->replies[command] = CannedReply{raw, times};
}

void NewsServer::ClearReply(const std::string& command) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->replies.erase(command);
}

void NewsServer::ClearReplies() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->replies.clear();
}

void NewsServer::CloseAfterCommands(int n) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->limits.closeAfterCommands = n;
  }
  impl_->wake();
}

void NewsServer::CloseAfterBytes(std::int64_t n) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->limits.closeAfterBytes = n;
  }
  impl_->wake();
}

void NewsServer::SetChunkSize(int k) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->limits.chunkSize = k;
  }
  impl_->wake();
}

void NewsServer::StallAfterCommands(int n) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->limits.stallAfter = n;
  }
  impl_->wake();
}

void NewsServer::SetDelay(std::chrono::microseconds delay) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->limits.delay = delay;
  }
  impl_->wake();
}

std::vector<LogEntry> NewsServer::Log() const {
  std::lock_guard<std::mutex> lock(impl_->logMu);
  return impl_->log;
}

std::vector<std::string> NewsServer::Commands() const {
  std::lock_guard<std::mutex> lock(impl_->logMu);
  std::vector<std::string> result;
  result.reserve(impl_->log.size());
  for (const LogEntry& e : impl_->log) result.push_back(e.command);
  return result;
}

void NewsServer::ClearLog() {
  std::lock_guard<std::mutex> lock(impl_->logMu);
  impl_->log.clear();
  impl_->plainReceived.clear();
  impl_->logged = 0;
}

void NewsServer::SetKeepLog(bool on) {
  std::lock_guard<std::mutex> lock(impl_->logMu);
  impl_->keepLog = on;
}

void NewsServer::SetLogSink(std::function<void(const LogEntry&)> sink) {
  std::lock_guard<std::mutex> lock(impl_->logMu);
  impl_->sink = std::move(sink);
}

bool NewsServer::WaitForLog(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->logMu);
  return impl_->logChanged.wait_for(lock, timeout, [&] { return impl_->logged >= count; });
}

bool NewsServer::WaitForIdle(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->logMu);
  return impl_->logChanged.wait_for(lock, timeout, [&] { return impl_->openConnections == 0; });
}

int NewsServer::ConnectionCount() const { return impl_->connections.load(); }

std::uint64_t NewsServer::BytesSent() const { return impl_->bytesSent.load(); }

std::uint64_t NewsServer::WireBytesSent() const { return impl_->wireSent.load(); }

std::uint64_t NewsServer::WireBytesReceived() const { return impl_->wireReceived.load(); }

void NewsServer::SetCompress(const CompressSettings& settings) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->limits.compress = settings;
  }
  impl_->wake();
}

}  // namespace testserver
