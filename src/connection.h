// The one connection to the NNTP server.  An NntpConnection owns the
// connected socket from the connect to the close, and is the only code that
// touches it: the one-line exchanges read and write whole lines through it,
// and the request engine hands it request bytes and asks it for response
// bytes without ever blocking.  Every wait for the server is bounded by one
// deadline, and this is the one place that reports a broken or silent
// connection.
#ifndef PELLITON_CONNECTION_H
#define PELLITON_CONNECTION_H

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "util.h"

namespace pelliton {

// Size of the buffer that an answer line is read into: one read yields at
// most 1023 characters of a line, as fgets would.
constexpr int kResponseLineSize = 1024;

class NntpConnection {
 public:
  // timeoutSeconds bounds every wait for the server: the connect, each
  // answer, each wait of the request engine.  The clock restarts whenever
  // bytes move in either direction; signals do not restart it.  0 waits
  // for ever.
  explicit NntpConnection(int timeoutSeconds);
  NntpConnection(const NntpConnection&) = delete;
  NntpConnection& operator=(const NntpConnection&) = delete;

  // Connects over TCP to host (a dotted IPv4 address or a host name) and
  // port.  Under -v it prints "Connecting to host:port... " and "ok".  1 on
  // success; 0 after a message ("<host>: unknown host", the system's text
  // for a failed socket or connect, or "timeout talking to NNTP server").
  int Connect(const std::string& host, int port);
  // Takes over a socket that is connected already (tests, benchmarks).
  void Adopt(UniqueFd socket);
  bool IsOpen() const { return static_cast<bool>(socket_); }
  // Closes the socket and drops whatever is buffered.  QUIT is the
  // caller's to send.
  void Close();

  // --- The one-line exchanges ------------------------------------------
  // Each waits for the server as long as the deadline allows, and goes on
  // waiting when a signal interrupts it.

  // Writes the whole line (its CR LF included).  1 on success; 0 after
  // "error talking to NNTP server -- <reason>" or "timeout talking to NNTP
  // server".
  int SendLine(std::string_view line);
  // Reads one answer line of at most size - 1 characters, as fgets does:
  // up to and including its line feed, or the first size - 1 characters of
  // a longer line, whose rest the next read returns.  1 on success; 0 after
  // "error talking to NNTP server -- <reason>" (also "-- connection closed
  // by server" when the stream ended before any character), or after
  // "timeout talking to NNTP server".
  int ReadLine(char* buf, int size);
  // ReadLine for a status line: the rest of a line longer than the buffer
  // is read and dropped, so that it is not taken for the answer to the next
  // command.
  int ReadStatusLine(char* buf, int size);
  // Writes the line if the socket takes it at once, and reports nothing:
  // for QUIT, which is a courtesy to a server that may be gone.
  void SendQuietly(std::string_view line);

  // --- Non-blocking transfer, for the request engine --------------------

  // Appends request bytes to the output; nothing is written yet.
  void Queue(std::string_view bytes);
  // Bytes queued and not yet taken by the socket.
  std::size_t PendingOutput() const { return out_.size() - outPos_; }
  // Writes as much pending output as the socket takes now, in one write.
  // What it does not take stays pending; a broken connection shows on the
  // reading side.
  void FlushPending();
  // Response bytes into buf: > 0 the count, 0 nothing there now, -1 the
  // server closed the connection or reading failed (nothing is printed).
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
  // deadline with "timeout talking to NNTP server".
  WaitResult Wait(bool pollOnly, Readiness& ready);
  // Forgets pending output and buffered input, after the engine has given
  // up on the connection.
  void DiscardBuffers();

 private:
  using Clock = std::chrono::steady_clock;

  // The socket itself.  A TLS session sits at this seam: it takes the
  // ciphertext that these two move, and turns it into the plaintext of in_
  // and out_; nothing above them changes.
  ssize_t ReadRaw(char* buf, std::size_t cap);
  ssize_t WriteRaw(const char* data, std::size_t len);

  // True when a Read can return something without touching the socket.
  // With TLS, decrypted data that the socket will never signal counts too.
  bool HasBufferedInput() const { return inPos_ < in_.size(); }

  // The deadline: armed when a wait begins and nothing is armed, disarmed
  // whenever bytes move.  -1 is no deadline.
  void BytesMoved() { deadlineArmed_ = false; }
  int MillisecondsLeft();
  bool DeadlinePassed() const;
  // Waits for the events on the socket, through signals, until the
  // deadline.  1 when they came; 0 after a message.
  int AwaitSocket(short events);
  // Reads more into in_.  1 when bytes came or the stream ended; 0 after a
  // message.
  int FillInput();
  void ConsumeOutput(std::size_t count);
  void ReportFailure(int error);
  void ReportTimeout();
  void ReportClosed();

  int timeoutSeconds_;
  UniqueFd socket_;
  bool tcp_ = false;       // TCP_QUICKACK applies
  bool endOfStream_ = false;
  std::string in_;         // received, not yet handed out
  std::size_t inPos_ = 0;  // in_ before this was handed out
  std::string out_;        // queued, not yet written
  std::size_t outPos_ = 0;
  bool deadlineArmed_ = false;
  Clock::time_point deadline_;
};

}  // namespace pelliton

#endif  // PELLITON_CONNECTION_H
