// The client side of one TLS session, worked entirely in memory.
//
// The session never sees a descriptor: the connection that owns the
// socket feeds it the ciphertext it received (Feed), drives it (Handshake,
// Read, Write, Shutdown) and after every one of those calls sends whatever
// ciphertext the session has queued (TakeOutgoing).  Sending after every
// call is what makes the awkward cases of TLS disappear: a read that must
// first write (a key update, an alert) simply leaves bytes in the outgoing
// queue, and no call ever waits.
//
// Verification cannot be turned off.  The server's chain must lead to a
// certificate in the CA file (or, without one, in the system's trust
// store); the certificate must name the host among its subject alternative
// names, as a DNS name, or as an IP address when the host is an IPv4 or
// IPv6 literal (the subject's common name never counts); TLS 1.2 is the
// oldest protocol spoken.  The host name travels as SNI; an IP literal does not
// (RFC 6066 forbids it).
//
// No call throws, and none leaves anything on OpenSSL's per-thread error
// queue, so that one session's failure never colours another's message.
// Reasons are short single lines meant to follow "TLS handshake with <host>
// failed -- "; they never hold anything secret (the session sees no
// secret but the plaintext it is given, which is never quoted).
#ifndef PELLITON_TLS_H
#define PELLITON_TLS_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace pelliton {

class TlsSession {
 public:
  // host: the name to verify and to send as SNI, with or without the dot
  // of a fully qualified name ("news.example.com." is news.example.com);
  // an IP literal (IPv4 as inet_aton reads it, or IPv6) is verified as an
  // IP address and sent without SNI.  caFile: a PEM file of trusted
  // certificates, opened as given (the caller resolves relative names),
  // or "" for the system's trust store.
  // Returns null and sets *error when the session cannot be made: the CA
  // file cannot be read, is not a regular file, holds a block that is not
  // a readable certificate (named by its line), or holds no certificate at
  // all (the message then begins with the file name); or the host is
  // empty.  *error holds no program name and no line end.
  static std::unique_ptr<TlsSession> Create(const std::string& host, const std::string& caFile,
                                            std::string* error);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // Ciphertext that came from the socket, in any pieces.
  void Feed(const char* data, std::size_t n);
  // The socket reached its end: no more ciphertext will come.  A handshake
  // still waiting for input then fails with "connection closed", and a
  // Read with nothing left to decrypt reports the end.
  void PeerClosed();

  enum class Step { kDone, kWantInput, kFailed };
  // Drives the handshake as far as the ciphertext fed so far allows.
  // kWantInput: send the outgoing bytes, feed more and call again.
  // kFailed: reason() says why; the outgoing queue may hold an alert for
  // the server, which is polite but not necessary to send.  Once kDone or
  // kFailed, later calls return the same.
  Step Handshake();

  // Plaintext after a completed handshake, at most cap bytes.
  //   > 0  bytes read;
  //     0  nothing decrypted yet: feed more ciphertext (the bytes fed may
  //        have ended inside a record);
  //    -1  the stream ended: the server closed the session
  //        (CloseNotifyReceived() says whether properly, with close_notify,
  //        or by simply hanging up);
  //    -2  the session failed (a forged or damaged record, an alert from
  //        the server); reason() says why.
  long Read(char* buf, std::size_t cap);
  // Whether Read must be called before waiting on the socket: decrypted
  // bytes not yet read, or ciphertext fed since the last Read.  Read may
  // still answer 0 when that ciphertext ends inside a record; then this is
  // false until more is fed.
  bool HasBufferedInput() const;
  // Encrypts plaintext after a completed handshake; the records go to the
  // outgoing queue whole.  False once the session has failed or been shut
  // down (nothing is queued then).
  bool Write(std::string_view plain);

  bool HasOutgoing() const;
  // Everything queued for the socket, in order; the queue is then empty.
  std::string TakeOutgoing();

  // Queues close_notify, the proper end of the session; nothing is
  // written after it.  Does nothing unless the handshake completed and the
  // session has not failed; calling it twice does nothing more.
  void Shutdown();
  // Whether the server ended the session with close_notify, as opposed to
  // the socket merely reaching its end.
  bool CloseNotifyReceived() const;

  // The negotiated protocol and cipher, e.g. "TLSv1.3
  // TLS_AES_256_GCM_SHA384"; "" before the handshake completed.
  std::string Description() const;
  // Why the last failing call failed; "" while nothing failed.
  const std::string& reason() const { return reason_; }

 private:
  struct Handles;
  TlsSession();

  std::unique_ptr<Handles> h_;
  std::string reason_;
  std::string firstBytes_;  // the server's first bytes, to recognise a non-TLS answer
  bool peerClosed_ = false;
  bool handshakeDone_ = false;
  bool failed_ = false;
  bool shutDown_ = false;
};

}  // namespace pelliton

#endif  // PELLITON_TLS_H
