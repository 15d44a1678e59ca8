#include "tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "util.h"

namespace pelliton {

namespace {

// Enough of the server's first bytes to quote the line of a server that
// answered in plain text.
constexpr std::size_t kFirstBytesKept = 128;
constexpr std::size_t kQuotedLineMax = 80;

struct CtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// Every public call begins and ends with an empty error queue, whatever
// path it leaves by.
class ErrorQueueGuard {
 public:
  ErrorQueueGuard() { ERR_clear_error(); }
  ~ErrorQueueGuard() { ERR_clear_error(); }
  ErrorQueueGuard(const ErrorQueueGuard&) = delete;
  ErrorQueueGuard& operator=(const ErrorQueueGuard&) = delete;
};

// The address an IP literal stands for, in network order; 0 bytes for a
// name.  IPv4 goes by inet_aton, as for the connection itself, so that
// "127.1" is checked as the address that was connected to, 127.0.0.1.
std::size_t ipLiteral(const std::string& host, unsigned char* addr) {
  in_addr v4;
  if (inet_aton(host.c_str(), &v4) != 0) {
    std::memcpy(addr, &v4, sizeof v4);
    return sizeof v4;
  }
  if (inet_pton(AF_INET6, host.c_str(), addr) == 1) return sizeof(in6_addr);
  return 0;
}

// The reason of the most recent OpenSSL error, or "" when the queue is empty.
// OpenSSL names an alert from the peer after the protocol version that
// introduced it ("sslv3 alert handshake failure"); said plainly instead.
std::string queuedReason() {
  unsigned long code = ERR_peek_last_error();
  if (code == 0) return std::string();
  const char* reason = ERR_reason_error_string(code);
  char buf[256];
  if (reason == nullptr) {
    ERR_error_string_n(code, buf, sizeof buf);
    reason = buf;
  }
  std::string text = reason;
  for (std::string_view prefix : {"sslv3 alert ", "tlsv1 alert ", "tlsv13 alert "}) {
    if (text.compare(0, prefix.size(), prefix) == 0)
      return "the server sent the alert \"" + text.substr(prefix.size()) + "\"";
  }
  return text;
}

int queuedReasonCode() {
  unsigned long code = ERR_peek_last_error();
  return code == 0 ? 0 : ERR_GET_REASON(code);
}

bool isProtocolVersionFailure(int reason) {
  switch (reason) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_VERSION_TOO_LOW:
    case SSL_R_WRONG_SSL_VERSION:
      return true;
    default:
      return false;
  }
}

// A TLS peer's first byte is a record type: change_cipher_spec, alert,
// handshake or application data.  Anything else is a server talking plain
// text, typically an NNTP error line.
bool looksLikeTls(const std::string& first) {
  if (first.empty()) return true;
  unsigned char type = static_cast<unsigned char>(first[0]);
  return type >= 0x14 && type <= 0x17;
}

std::string firstLine(const std::string& text) {
  std::string line = text.substr(0, text.find_first_of("\r\n"));
  if (line.size() > kQuotedLineMax) line.resize(kQuotedLineMax);
  return printable(line);
}


// A CA file larger than this is no CA file: the system's whole trust
// store is a few hundred kilobytes.
constexpr off_t kCaFileMax = 64 << 20;

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};

// The labels under which PEM files carry certificates.
bool isCertificateLabel(std::string_view label) {
  return label == "CERTIFICATE" || label == "TRUSTED CERTIFICATE" || label == "X509 CERTIFICATE";
}

// The label of a PEM boundary line such as "-----BEGIN CERTIFICATE-----";
// empty when the line is not one of the kind.
std::string_view boundaryLabel(std::string_view line, std::string_view kind) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  constexpr std::string_view kDashes = "-----";
  if (line.size() < 2 * kDashes.size() + kind.size() || line.substr(0, kDashes.size()) != kDashes ||
      line.substr(kDashes.size(), kind.size()) != kind ||
      line.substr(line.size() - kDashes.size()) != kDashes)
    return {};
  line.remove_prefix(kDashes.size() + kind.size());
  line.remove_suffix(kDashes.size());
  return line;
}

// Reads the whole CA file, which must be a regular file.  Empty reason on
// success.
std::string readCaFile(const std::string& path, std::string* text) {
  // Not blocking: a FIFO or a terminal named by mistake would otherwise
  // hold the run before anything could be said about it.
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) return std::strerror(errno);
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (st.st_size > kCaFileMax) return "too large for a file of certificates";
  text->clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::strerror(errno);
    if (n == 0) break;
    text->append(buf, static_cast<std::size_t>(n));
    if (text->size() > static_cast<std::size_t>(kCaFileMax))
      return "too large for a file of certificates";
  }
  return std::string();
}

// The lines of a text one at a time, without their line feeds.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text) : text_(text) {}
  bool Next(std::string_view* line) {
    if (pos_ >= text_.size()) return false;
    std::size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    *line = text_.substr(pos_, end - pos_);
    pos_ = end < text_.size() ? end + 1 : end;
    ++number_;
    return true;
  }
  std::size_t offset() const { return pos_; }  // where the next line begins
  int number() const { return number_; }       // of the line last read

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  int number_ = 0;
};

// Adds every certificate of the PEM file to the store.  Each block is read
// on its own, so that a damaged one is named by its line rather than
// spoiling the whole file without a word of where.  Blocks of other kinds
// (keys, CRLs) and text between blocks are passed over.  Empty reason on
// success.
std::string loadCaFile(X509_STORE* store, const std::string& path) {
  std::string text;
  if (std::string why = readCaFile(path, &text); !why.empty()) return why;
  int added = 0;
  LineCursor lines(text);
  std::size_t blockStart = 0;
  std::string_view line;
  while (blockStart = lines.offset(), lines.Next(&line)) {
    const std::string_view label = boundaryLabel(line, "BEGIN ");
    if (label.empty()) continue;
    const std::string where = "the block that begins on line " + std::to_string(lines.number());
    bool closed = false;
    while (!closed && lines.Next(&line)) closed = boundaryLabel(line, "END ") == label;
    if (!closed) return where + " has no \"-----END " + printable(label) + "-----\" line";
    if (!isCertificateLabel(label)) continue;
    std::unique_ptr<BIO, BioFree> bio(
        BIO_new_mem_buf(text.data() + blockStart, static_cast<int>(lines.offset() - blockStart)));
    if (!bio) return "out of memory";
    std::unique_ptr<X509, X509Free> cert(
        PEM_read_bio_X509_AUX(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) {
      const std::string reason = queuedReason();
      return where + " is no readable certificate" + (reason.empty() ? "" : " -- " + reason);
    }
    if (X509_STORE_add_cert(store, cert.get()) != 1)
      return where + " cannot be trusted -- " + queuedReason();
    ERR_clear_error();
    ++added;
  }
  if (added == 0) return "no PEM certificate could be read from it";
  return std::string();
}

}  // namespace

struct TlsSession::Handles {
  std::unique_ptr<SSL_CTX, CtxFree> ctx;
  std::unique_ptr<SSL, SslFree> ssl;
  BIO* in = nullptr;   // ciphertext from the server; owned by ssl
  BIO* out = nullptr;  // ciphertext for the server; owned by ssl
};

TlsSession::TlsSession() : h_(std::make_unique<Handles>()) {}

TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::Create(const std::string& host, const std::string& caFile,
                                               std::string* error) {
  ErrorQueueGuard guard;
  auto fail = [error](std::string text) -> std::unique_ptr<TlsSession> {
    if (error != nullptr) *error = std::move(text);
    return nullptr;
  };
  if (host.empty() || host.find('\0') != std::string::npos)
    return fail("no host name to verify the server's certificate against");

  std::unique_ptr<TlsSession> session(new TlsSession());
  Handles& h = *session->h_;
  h.ctx.reset(SSL_CTX_new(TLS_client_method()));
  if (!h.ctx) return fail("cannot set up TLS: " + queuedReason());
  SSL_CTX* ctx = h.ctx.get();
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1)
    return fail("cannot set up TLS: " + queuedReason());
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  // A TLS 1.2 server's request for a new handshake is declined: while one
  // ran, writing would have to wait for the server, and NNTP servers have
  // no use for it.  With it off, Write always queues everything at once.
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);

  if (caFile.empty()) {
    if (SSL_CTX_set_default_verify_paths(ctx) != 1)
      return fail("cannot load the system's trusted certificates: " + queuedReason());
  } else if (std::string why = loadCaFile(SSL_CTX_get_cert_store(ctx), caFile); !why.empty()) {
    return fail(caFile + ": " + why);
  }

  h.ssl.reset(SSL_new(ctx));
  if (!h.ssl) return fail("cannot set up TLS: " + queuedReason());
  SSL* ssl = h.ssl.get();
  h.in = BIO_new(BIO_s_mem());
  h.out = BIO_new(BIO_s_mem());
  if (h.in == nullptr || h.out == nullptr) {
    BIO_free(h.in);
    BIO_free(h.out);
    return fail("cannot set up TLS: out of memory");
  }
  // An empty input buffer means "more may come" until PeerClosed says
  // otherwise.
  BIO_set_mem_eof_return(h.in, -1);
  SSL_set_bio(ssl, h.in, h.out);
  SSL_set_connect_state(ssl);

  // The root's dot ends a fully qualified name without changing it:
  // certificates never carry it, and SNI must not (RFC 6066).
  std::string name = host;
  if (name.size() > 1 && name.back() == '.') name.pop_back();
  unsigned char addr[sizeof(in6_addr)];
  if (std::size_t len = ipLiteral(name, addr)) {
    if (X509_VERIFY_PARAM_set1_ip(SSL_get0_param(ssl), addr, len) != 1)
      return fail("cannot set up TLS: bad IP address " + printable(host));
  } else {
    // The name must be among the certificate's subject alternative names:
    // a subject common name that looks like a host name is never taken for
    // one (RFC 6125), whether or not the certificate has such names.
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS |
                               X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    if (SSL_set1_host(ssl, name.c_str()) != 1 ||
        SSL_set_tlsext_host_name(ssl, name.c_str()) != 1)
      return fail("cannot set up TLS: bad host name " + printable(host));
  }
  return session;
}

void TlsSession::Feed(const char* data, std::size_t n) {
  ErrorQueueGuard guard;
  if (!handshakeDone_ && firstBytes_.size() < kFirstBytesKept)
    firstBytes_.append(data, std::min(n, kFirstBytesKept - firstBytes_.size()));
  while (n > 0) {
    int piece = n > INT_MAX ? INT_MAX : static_cast<int>(n);
    int written = BIO_write(h_->in, data, piece);
    // A memory buffer refuses only when memory runs out.  The first time
    // the reserve is given back and the run winds down; the ciphertext
    // cannot be dropped without breaking the session, so it is tried
    // again.
    if (written <= 0) {
      OutOfMemory("malloc()");
      continue;
    }
    data += written;
    n -= static_cast<std::size_t>(written);
  }
}

void TlsSession::PeerClosed() {
  peerClosed_ = true;
  // From now on an empty input buffer reads as the end of the stream.
  BIO_set_mem_eof_return(h_->in, 0);
}

TlsSession::Step TlsSession::Handshake() {
  if (handshakeDone_) return Step::kDone;
  if (failed_) return Step::kFailed;
  ErrorQueueGuard guard;
  SSL* ssl = h_->ssl.get();
  int rc = SSL_do_handshake(ssl);
  if (rc == 1) {
    handshakeDone_ = true;
    firstBytes_.clear();
    return Step::kDone;
  }
  int err = SSL_get_error(ssl, rc);
  if (err == SSL_ERROR_WANT_READ && !peerClosed_) return Step::kWantInput;

  failed_ = true;
  long verify = SSL_get_verify_result(ssl);
  int code = queuedReasonCode();
  if (verify != X509_V_OK) {
    reason_ = X509_verify_cert_error_string(verify);
  } else if (!looksLikeTls(firstBytes_)) {
    reason_ = "the server did not answer in TLS: \"" + firstLine(firstBytes_) + "\"";
  } else if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_SYSCALL || err == SSL_ERROR_ZERO_RETURN ||
             code == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
    reason_ = "connection closed";
  } else if (isProtocolVersionFailure(code)) {
    reason_ = "no shared protocol version (TLS 1.2 or newer is required)";
  } else {
    std::string text = queuedReason();
    reason_ = text.empty() ? "unknown error" : text;
  }
  return Step::kFailed;
}

long TlsSession::Read(char* buf, std::size_t cap) {
  assert(handshakeDone_);
  if (failed_) return -2;
  if (cap == 0) return 0;
  ErrorQueueGuard guard;
  SSL* ssl = h_->ssl.get();
  int want = cap > INT_MAX ? INT_MAX : static_cast<int>(cap);
  int rc = SSL_read(ssl, buf, want);
  if (rc > 0) return rc;
  int err = SSL_get_error(ssl, rc);
  switch (err) {
    case SSL_ERROR_WANT_READ:
      return peerClosed_ && BIO_ctrl_pending(h_->in) == 0 ? -1 : 0;
    case SSL_ERROR_ZERO_RETURN:
    case SSL_ERROR_SYSCALL:
      return -1;
    default:
      if (queuedReasonCode() == SSL_R_UNEXPECTED_EOF_WHILE_READING) return -1;
      failed_ = true;
      reason_ = queuedReason();
      if (reason_.empty()) reason_ = "unknown error";
      return -2;
  }
}

bool TlsSession::HasBufferedInput() const {
  // Decrypted bytes not yet read, or ciphertext not yet looked at.  Not
  // SSL_has_pending: that also counts the start of a record that SSL_read
  // has already seen to be incomplete, and a caller would spin on it.
  return SSL_pending(h_->ssl.get()) > 0 || BIO_ctrl_pending(h_->in) > 0;
}

bool TlsSession::Write(std::string_view plain) {
  assert(handshakeDone_);
  if (failed_ || shutDown_) return false;
  ErrorQueueGuard guard;
  SSL* ssl = h_->ssl.get();
  while (!plain.empty()) {
    int piece = plain.size() > INT_MAX ? INT_MAX : static_cast<int>(plain.size());
    int rc = SSL_write(ssl, plain.data(), piece);
    if (rc <= 0) {
      failed_ = true;
      reason_ = queuedReason();
      if (reason_.empty()) reason_ = "cannot encrypt";
      return false;
    }
    plain.remove_prefix(static_cast<std::size_t>(rc));
  }
  return true;
}

bool TlsSession::HasOutgoing() const { return BIO_ctrl_pending(h_->out) > 0; }

std::string TlsSession::TakeOutgoing() {
  std::string bytes;
  std::size_t pending = BIO_ctrl_pending(h_->out);
  if (pending == 0) return bytes;
  bytes.resize(pending);
  std::size_t got = 0;
  while (got < pending) {
    int piece = pending - got > INT_MAX ? INT_MAX : static_cast<int>(pending - got);
    int n = BIO_read(h_->out, bytes.data() + got, piece);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

void TlsSession::Shutdown() {
  if (!handshakeDone_ || failed_ || shutDown_) return;
  ErrorQueueGuard guard;
  shutDown_ = true;
  // The first call queues close_notify; waiting for the server's answer
  // would gain nothing, the connection is closed right after.
  SSL_shutdown(h_->ssl.get());
}

bool TlsSession::CloseNotifyReceived() const {
  return (SSL_get_shutdown(h_->ssl.get()) & SSL_RECEIVED_SHUTDOWN) != 0;
}

std::string TlsSession::Description() const {
  if (!handshakeDone_) return std::string();
  SSL* ssl = h_->ssl.get();
  std::string text = SSL_get_version(ssl);
  if (const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl)) {
    text += ' ';
    text += SSL_CIPHER_get_name(cipher);
  }
  return text;
}

}  // namespace pelliton
