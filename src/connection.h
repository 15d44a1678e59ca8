// The one connection to the NNTP server.  An NntpConnection owns the
// connected socket from the connect to the close, and is the only code that
// touches it: the one-line exchanges read and write whole lines through it,
// and the request engine hands it request bytes and asks it for response
// bytes without ever blocking.  Every wait for the server is bounded by one
// deadline and ends at once on a stop signal, and this is the one place that
// reports a broken or silent connection.
//
// A TLS session, once started, sits between the socket and the buffers:
// the exchanges and the engine see plaintext only, and once it is there
// nothing ever leaves in plain text again.  Compression, once started,
// sits above TLS (compress, then encrypt) and below the buffers, and is
// just as invisible to them.
#ifndef PELLITON_CONNECTION_H
#define PELLITON_CONNECTION_H

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "compression.h"
#include "tls.h"
#include "util.h"

namespace pelliton {

// Size of the buffer that an answer line is read into: one read yields at
// most 1023 characters of a line, as fgets would.
constexpr int kResponseLineSize = 1024;

// The port of a service over TCP from the system's services database, or
// `fallback` when the database does not know it.
int ServicePort(const char* service, int fallback);

class NntpConnection {
 public:
  // timeoutSeconds bounds every wait for the server: the connect, each
  // answer, each wait of the request engine.  The clock restarts whenever
  // bytes move in either direction; signals do not restart it.  0 waits
  // for ever.
  explicit NntpConnection(int timeoutSeconds);
  NntpConnection(const NntpConnection&) = delete;
  NntpConnection& operator=(const NntpConnection&) = delete;

  // One address of the server, port included.
  struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
  };
  // The addresses of host, in the order in which they are to be tried: an
  // IPv4 literal as inet_aton reads it, an IPv6 literal (in brackets or
  // not, with a zone or not), both without any look-up; else every address
  // of the name, IPv4 and IPv6, as the resolver orders them with the
  // families interleaved (see InterleaveFamilies).  Empty when nothing
  // resolves.
  static std::vector<Address> Resolve(const std::string& host, int port);
  // The addresses in their order, but taking the families in turn, the
  // family of the first one first: a family that is broken on this host
  // then costs one attempt delay per address of the other, not all of its
  // own addresses.
  static std::vector<Address> InterleaveFamilies(const std::vector<Address>& addresses);
  // The name a TLS session verifies the server's certificate against: the
  // host as written, without the brackets or the zone of an IPv6 literal.
  static std::string HostToVerify(const std::string& host);

  // Connects over TCP to host and port, racing the addresses of host (see
  // ConnectAddresses).  Under -v it prints "Connecting to host:port... "
  // and "ok".  1 on success; 0 after a message ("<host>: unknown host",
  // "<host>: unknown zone '<zone>'", "<host>: link-local address needs a
  // zone...", the system's text for the last failed socket or connect, or
  // "timeout talking to NNTP server"), or without one when a stop signal
  // ended the wait.
  int Connect(const std::string& host, int port);
  // Races the addresses in their order: the next attempt starts when the
  // one before has not connected within kAttemptDelay, or at once when it
  // failed; the attempts started go on meanwhile, the first to connect
  // wins and the others are closed.  All of it within one timeout.  1 on
  // success; 0 after the last failure's message, or after the timeout's,
  // or without a word when a stop signal ended the wait.  Prints no
  // progress.
  int ConnectAddresses(const std::vector<Address>& addresses);
  // How long an attempt has to itself before the next address is tried
  // beside it: long enough for a connect across the world, short enough
  // that an address that swallows connection requests is not noticed.
  static constexpr std::chrono::milliseconds kAttemptDelay{250};
  // Takes over a socket that is connected already (tests, benchmarks).
  void Adopt(UniqueFd socket);
  bool IsOpen() const { return static_cast<bool>(socket_); }
  // Closes the socket and drops whatever is buffered.  QUIT is the
  // caller's to send; a TLS session is ended with close_notify first,
  // without waiting for the server's.
  void Close();

  // --- TLS ---------------------------------------------------------------

  // Runs the handshake of session on the open connection, within one
  // timeout (or until a stop signal), and from then on carries everything
  // through it.  host is the server's address text as the user wrote it,
  // for messages.  Input buffered before the handshake is dropped: nothing
  // that arrived in plain text can be taken for the server's words inside
  // the session.  Under -v prints "TLS established: <version>, <cipher>,
  // verified <name>".  1 on success; 0 after "TLS handshake with <host>
  // failed -- <reason>" or "timeout talking to NNTP server", or when
  // stopped, with the connection closed.
  int StartTls(std::unique_ptr<TlsSession> session, const std::string& host);
  bool IsTls() const { return static_cast<bool>(tls_); }

  // --- Compression -------------------------------------------------------

  // From now on every byte in both directions is raw DEFLATE (RFC 8054):
  // to be called right after the 206 answer to COMPRESS DEFLATE has been
  // read, with no request outstanding.  Whatever was read behind that
  // answer was compressed already and goes to the decompressor.  Each
  // write flushes the compressor, so that the server can decode every
  // request as it comes; one write of plaintext stays one write.  1; 0
  // after "error talking to NNTP server -- <reason>" when zlib cannot
  // start, with nothing changed.
  int StartCompression();

  // --- The one-line exchanges ------------------------------------------
  // Each waits for the server as long as the deadline allows.  Once the
  // run has caught a stop signal none of them waits any more (a signal
  // that comes just before a wait ends it as surely as one during it):
  // they fail without a message, the handler's line being enough, and
  // Stopped() says so.

  // True once a stop signal has ended a wait of the exchanges, the
  // connect or the TLS handshake.  The answer awaited was not read, so the
  // connection is out of step: nothing but QUIT is to follow.
  bool Stopped() const { return stopped_; }

  // Writes the whole line (its CR LF included).  1 on success; 0 after
  // "error talking to NNTP server -- <reason>" or "timeout talking to NNTP
  // server", or when stopped.
  int SendLine(std::string_view line);
  // Reads one answer line of at most size - 1 characters, as fgets does:
  // up to and including its line feed, or the first size - 1 characters of
  // a longer line, whose rest the next read returns.  1 on success; 0 after
  // "error talking to NNTP server -- <reason>" (also "-- connection closed
  // by server" when the stream ended before any character), or after
  // "timeout talking to NNTP server", or when stopped.
  int ReadLine(char* buf, int size);
  // ReadLine for a status line: the rest of a line longer than the buffer
  // is read and dropped, so that it is not taken for the answer to the next
  // command.  A line that the end of the stream cuts short is a closed
  // connection ("error talking to NNTP server -- connection closed by
  // server"); one that runs on past a megabyte is given up ("answer from
  // NNTP server too long").
  int ReadStatusLine(char* buf, int size);
  // Writes the line if the socket takes it at once, and reports nothing:
  // for QUIT, which is a courtesy to a server that may be gone.
  void SendQuietly(std::string_view line);

  // --- Non-blocking transfer, for the request engine --------------------

  // Appends request bytes to the output; nothing is written yet.
  void Queue(std::string_view bytes);
  // Bytes queued and not yet taken by the socket (with compression or
  // TLS, plaintext not yet compressed or sealed, and what they made of
  // it not yet sent).
  std::size_t PendingOutput() const {
    return out_.size() - outPos_ + zout_.size() - zoutPos_ + wire_.size() - wirePos_;
  }
  // Writes as much pending output as the socket takes now, in one write.
  // What it does not take stays pending; a broken connection shows on the
  // reading side.
  void FlushPending();
  // Response bytes into buf: > 0 the count, 0 nothing there now, -1 the
  // server closed the connection or reading failed, after a message:
  // "server closed connection... aborting!" at the end of the stream (or
  // of the compressed stream), else the reason.  Never more than cap
  // bytes, however much the compressed bytes received inflate to.
  long Read(char* buf, std::size_t cap);

  enum class WaitResult {
    kReady,        // see readable and writable
    kNothing,      // a poll found nothing to do
    kInterrupted,  // a signal arrived; the deadline stands
    kFailed,       // the wait failed or the deadline passed, after a message
  };
  struct Readiness {
    bool readable = false;
    bool writable = false;
  };
  // Waits until a Read has something to return (response bytes, or the end
  // of the stream) or, with output pending, until the socket takes more.
  // pollOnly looks without waiting; otherwise the wait ends at the
  // deadline with "timeout talking to NNTP server".  signalsSeen is the
  // count of signals caught that the caller has already looked at: when
  // another has come since, the wait ends at once with kInterrupted, even
  // if it came just before the wait began (-1: no such check).
  WaitResult Wait(bool pollOnly, Readiness& ready, sig_atomic_t signalsSeen = -1);
  // Forgets pending output and buffered input, after the engine has given
  // up on the connection.  A TLS session that loses records this way
  // sends nothing more.
  void DiscardBuffers();

 private:
  using Clock = std::chrono::steady_clock;

  // The socket itself.  A TLS session sits at this seam: it takes the
  // ciphertext that these two move, and turns it into the plaintext of in_
  // and out_; nothing above them changes.
  ssize_t ReadRaw(char* buf, std::size_t cap);
  ssize_t WriteRaw(const char* data, std::size_t len);

  // True when a Read can return something without touching the socket.
  // Decrypted or compressed data that the socket will never signal counts
  // too.
  bool HasBufferedInput() const {
    return inPos_ < in_.size() || (tls_ && tls_->HasBufferedInput()) ||
           (compression_ && compression_->HasBufferedInput());
  }

  // One write of pending output: > 0 bytes taken, 0 nothing pending, -1
  // failed with errno (EAGAIN: the socket is full; EPROTO: compressing or
  // sealing failed).  The plaintext queued is compressed and flushed, and
  // with TLS sealed, all of it at once, once what was made of the
  // plaintext before it is out.
  ssize_t SendPending();
  // The plaintext queued, compressed and flushed into zout_; false when
  // zlib failed.
  bool CompressPending();
  // Writes all pending output, waiting as the deadline allows.  1 when it
  // is out; 0 after the timeout's message or when stopped; -1 with errno,
  // unreported.
  int DrainOutput();
  // One write of buf from pos on: the result of the write; what the
  // socket took is used up.
  ssize_t WriteFrom(std::string& buf, std::size_t& pos);
  // One write of the ciphertext on the wire: the result of the write.
  ssize_t WriteWire();
  // Moves what the session has queued for the server to the wire.
  void CollectSessionOutput();
  // The same, and tries one write of the wire, so that no call of the session waits for its
  // output (a key update, an alert) longer than the socket does.
  void SendSessionOutput();
  // The layers of the input, from the socket up: each returns > 0, the
  // count; 0, nothing now; or one of these:
  static constexpr long kStreamEnd = -1;     // the stream ended
  static constexpr long kTlsFailed = -2;     // tls_->reason() says why
  static constexpr long kSocketFailed = -3;  // errno says why
  static constexpr long kCorrupt = -4;       // compression_->reason() says why
  static constexpr long kSilent = -5;        // the deadline passed with nothing said
  // Plaintext from the session: what it holds, else what one read of the
  // socket brings.
  long ReadTls(char* buf, std::size_t cap);
  // What the socket brings, through TLS when it is on.
  long ReadTransport(char* buf, std::size_t cap);
  // Plaintext: what the decompressor gives, fed by one read of the
  // transport when it has nothing; without compression, the transport.
  long ReadStream(char* buf, std::size_t cap);
  // The message for a failure of ReadStream (not for its end).
  void ReportStreamFailure(long code, int error);
  void ReportTlsFailure();

  // The deadline: armed when a wait begins and nothing is armed, disarmed
  // whenever bytes move, except while held: the connect over all addresses
  // and the handshake each get one timeout, however slowly bytes trickle.
  void BytesMoved() {
    if (!deadlineHeld_) deadlineArmed_ = false;
  }
  void HoldDeadline() {
    deadlineArmed_ = false;
    deadlineHeld_ = true;
  }
  void ReleaseDeadline() {
    deadlineHeld_ = false;
    deadlineArmed_ = false;
  }
  int MillisecondsLeft();
  bool DeadlinePassed() const;
  // Waits for the events on the socket until the deadline or a stop
  // signal; TLS records waiting to go out are sent meanwhile.  1 when they
  // came; 0 after a message, or when stopped.
  int AwaitSocket(short events);
  // Marks the connection stopped by a signal; 0, for the caller to return.
  int Stop() {
    stopped_ = true;
    return 0;
  }
  // Reads more into in_.  1 when bytes came or the stream ended; 0 after a
  // message, or when stopped.
  int FillInput();
  void ConsumeOutput(std::size_t count);
  void ReportFailure(int error);
  void ReportTimeout();
  void ReportClosed();
  void ReportLost();

  int timeoutSeconds_;
  UniqueFd socket_;
  bool tcp_ = false;       // TCP_QUICKACK applies
  bool endOfStream_ = false;
  bool stopped_ = false;
  std::string in_;         // received, not yet handed out
  std::size_t inPos_ = 0;  // in_ before this was handed out
  std::string out_;        // queued, not yet written (plaintext)
  std::size_t outPos_ = 0;
  std::unique_ptr<Compression> compression_;
  std::string zout_;         // compressed, not yet sealed or taken by the socket
  std::size_t zoutPos_ = 0;
  bool compressionBroken_ = false;  // compressed bytes were lost: nothing more is sent
  std::unique_ptr<TlsSession> tls_;
  std::string wire_;         // TLS records not yet taken by the socket
  std::size_t wirePos_ = 0;
  std::vector<char> raw_;    // ciphertext as it comes from the socket
  bool tlsBroken_ = false;   // records were lost: nothing more is sent
  bool deadlineArmed_ = false;
  bool deadlineHeld_ = false;
  Clock::time_point deadline_;
};

}  // namespace pelliton

#endif  // PELLITON_CONNECTION_H
