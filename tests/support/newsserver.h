// A small scripted NNTP server on 127.0.0.1 (or ::1) for the tests, the
// benchmarks and the demo.  It serves newsgroups and articles (dot-stuffed
// on the wire, CRLF line ends), answers GREETING, AUTHINFO USER/PASS, MODE
// READER, CAPABILITIES, LIST, LIST OVERVIEW.FMT, GROUP, HEAD, BODY,
// ARTICLE, OVER, XOVER, STARTTLS, COMPRESS and QUIT, records every command
// line it receives, and can be told to misbehave: another greeting, canned
// replies to chosen commands, closing the connection after a command or a
// byte count, splitting its writes into small chunks, stalling, delaying
// every response by a fixed time without serialising pipelined requests,
// and hanging up in the middle of a TLS handshake.
//
// It speaks TLS when told to: from the first byte (implicit TLS, as on port
// 563) or after STARTTLS.  Over TLS everything above works the same, on the
// plaintext: chunks are plaintext chunks (each leaves as a record of its
// own), and byte counts count plaintext.
//
// It offers COMPRESS DEFLATE (RFC 8054) when told to; once compression is
// on, chunks are chunks of the compressed stream, byte counts still count
// plaintext, and the wire counts say what crossed the socket.
//
// Every setter may be called before Start() and while the server runs;
// settings stay in force for every later connection until changed.
// Counters that settings refer to (commands received, bytes sent) count
// per connection, from 0 at each accept.
#ifndef PELLITON_TESTS_NEWSSERVER_H
#define PELLITON_TESTS_NEWSSERVER_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testserver {

// One command line as the server received it.
struct LogEntry {
  std::string command;  // without its CR LF
  // Requests received on this connection whose responses had not been
  // written completely when this one arrived, this one included.
  int outstanding = 0;
  bool tls = false;  // it arrived inside a TLS session
};

struct CompressSettings {
  // CAPABILITIES lists COMPRESS DEFLATE until compression is on, and
  // COMPRESS DEFLATE is answered "206 Compression active"; from the byte
  // after that line on, both directions are raw DEFLATE.  Off: COMPRESS
  // is an unknown command (500).  A canned reply for COMPRESS plays a
  // server that offers it and refuses; it never starts compression, not
  // even when it is a 206, so that it can also play a server that says
  // 206 and goes on in plain text.
  bool offer = false;
  // Plaintext bytes compressed between two flushes (Z_SYNC_FLUSH), so that
  // the client sees many small flushes; 0: one flush for whatever is
  // there to send.
  int flushEvery = 0;
  // After this many bytes of plaintext compressed, the stream goes on
  // with bytes that are no DEFLATE (a block of a reserved type), and
  // nothing more is sent.  < 0: never.
  std::int64_t corruptAfter = -1;
  // The answer to this command carries, right after its status line,
  // bombBytes of 'a' without a line end: a line that a few kilobytes on
  // the wire inflate to, as large as asked, before the answer's own text.
  // Only while compression is on.
  std::string bombCommand;
  std::uint64_t bombBytes = 0;
  // While compression is on and nothing else waits to go out, an empty
  // stored block (bytes on the wire that inflate to nothing) every this
  // many milliseconds: a server that keeps the socket busy and says
  // nothing.  0: never.
  int emptyBlockMs = 0;
};

enum class TlsMode {
  kOff,       // plain text only; STARTTLS is an unknown command (500)
  kImplicit,  // the handshake begins at accept; the greeting follows it
  kStartTls,  // plain text until STARTTLS, answered "382 Begin TLS
              // negotiation now" and followed by the handshake; then the
              // session goes on over TLS without a new greeting
};

struct TlsSettings {
  TlsMode mode = TlsMode::kOff;
  std::string chainFile;  // PEM: the server's certificate, then any CAs to send along
  std::string keyFile;    // PEM: its private key
  // The newest protocol the server speaks, as OpenSSL's constant
  // (TLS1_1_VERSION ...); 0 for the newest there is.  Below TLS 1.2 the
  // server also speaks the old protocols that OpenSSL would otherwise refuse.
  int maxVersion = 0;
};

class NewsServer {
 public:
  NewsServer();
  ~NewsServer();  // stops the server
  NewsServer(const NewsServer&) = delete;
  NewsServer& operator=(const NewsServer&) = delete;

  // Binds 127.0.0.1 (or ::1, see SetIPv6) at a port the kernel picks and
  // starts serving on a thread of its own.  Returns the port, or -1 after a
  // message on stderr.
  int Start();
  // Closes every connection and ends the thread.  Idempotent.
  void Stop();
  int port() const;
  // Listen on ::1 instead of 127.0.0.1; takes effect at Start().
  void SetIPv6(bool on);
  // The address listened on, "127.0.0.1" or "::1".
  std::string host() const;

  // --- Content -----------------------------------------------------------
  // Groups are listed by LIST in the order in which they were first named.
  void AddGroup(const std::string& group);
  // An article as it really is: `header` and `body` are their lines joined
  // by "\n" (no "\n" after the last line; "" is no lines).  The server adds
  // CR LF line ends and dot-stuffing.  The message-id in the 221/222 line is
  // the header's Message-ID, else "<NUMBER.GROUP@testserver>".  Adding an
  // article under an existing number replaces it.
  void AddArticle(const std::string& group, int number, const std::string& header,
                  const std::string& body);
  void RemoveArticle(const std::string& group, int number);
  // The count, first and last numbers that GROUP and LIST report, instead of
  // those derived from the articles (an empty group reports "0 1 0").
  void SetGroupRange(const std::string& group, int count, int first, int last);
  // Articles 1..count generated on demand: headers of about 800 bytes,
  // bodies of about 2 KB; every matchEvery-th article (numbers divisible by
  // it) carries the header line "X-Bench: match" and a subject that ends
  // in "(match)".  matchEvery 0: none.
  void AddSyntheticGroup(const std::string& group, int count, int matchEvery);
  // The header and body that AddSyntheticGroup serves for one article.
  static std::string SyntheticHeader(const std::string& group, int number, int matchEvery);
  static std::string SyntheticBody(const std::string& group, int number);
  // Loads a spool directory: one subdirectory per group named like the
  // group, one file per article named by its number, holding the header
  // lines, an empty line and the body, with LF line ends.  Returns false
  // and sets *error when the directory cannot be read.
  bool LoadSpool(const std::string& dir, std::string* error);

  // --- Overview ----------------------------------------------------------
  // CAPABILITIES answers 101 with VERSION 2, READER, OVER and LIST (OVER
  // and READER only once AUTHINFO succeeded where it is required); LIST
  // OVERVIEW.FMT answers 215 with the format; OVER and XOVER answer one
  // line per article of the range, in number order: OVER 423 and XOVER
  // 224 without lines (as INN does) when the range holds none.  Canned
  // replies (SetReply) play older servers: CAPABILITIES answered 500,
  // OVER unknown, LIST OVERVIEW.FMT refused, odd overview lines.
  //
  // The fields as LIST OVERVIEW.FMT names them.  Default: INN's, Subject:
  // From: Date: Message-ID: References: Bytes: Lines: Xref:full.
  void SetOverviewFormat(const std::vector<std::string>& fields);
  // The highest `count` articles of the group are not in the overview yet,
  // though HEAD, BODY and ARTICLE serve them.
  void SetOverviewLag(const std::string& group, int count);
  // Connections start in a mode whose CAPABILITIES list names MODE-READER
  // rather than READER and OVER, until MODE READER switches them.
  void SetReaderModeSwitch(bool on);
  // The line that OVER sends for an article (without CR LF): the number
  // and the fields of the format, TAB-separated.  Headers are unfolded,
  // their tabs made spaces, and only the first of a repeated one counts.
  static std::string OverviewLine(int number, const std::string& header, const std::string& body,
                                  const std::vector<std::string>& format);

  // Credentials that AUTHINFO checks.  With no password set every AUTHINFO
  // PASS is accepted.  USER always gets 381; PASS gets 281 when the password
  // matches (and the user, when one is set and USER was given), else 481.
  void SetCredentials(const std::string& user, const std::string& password);
  // When on, GROUP, HEAD, BODY and LIST answer 480 until AUTHINFO succeeded.
  void SetRequireAuth(bool on);

  // --- TLS ---------------------------------------------------------------
  // Takes effect for connections accepted afterwards.  False and *error set
  // when the certificate or key cannot be loaded; the settings before stay.
  // A mode of kOff needs no files.
  //
  // STARTTLS is answered, unless a canned reply says otherwise: with TLS
  // off, 500; on a connection already in TLS, "502 Already using a security
  // layer"; after AUTHINFO succeeded in plain text, "502 Already
  // authenticated without the use of a security layer"; else 382 and the
  // handshake.  Command lines that came after STARTTLS before the handshake
  // are dropped unanswered (as INN does), but recorded by PlainReceived().
  // A failed handshake closes the connection.
  bool SetTls(const TlsSettings& settings, std::string* error);
  // Every byte received outside TLS, on every connection, since Start() or
  // ClearLog(), in arrival order: in plain mode everything, with STARTTLS
  // what came before the handshake, with implicit TLS nothing.  Tests use
  // it to see that no secret ever went out in the clear.
  std::string PlainReceived() const;

  // --- Compression -------------------------------------------------------
  // For connections that send COMPRESS afterwards.
  void SetCompress(const CompressSettings& settings);

  // --- Misbehaviour ------------------------------------------------------
  // Raw bytes sent on accept (CR LF included); "" sends nothing.
  // Default: "200 testserver ready (posting ok)\r\n".
  void SetGreeting(const std::string& raw);
  // Sends `raw` exactly as given, instead of the normal answer, to every
  // command line that equals `command` or begins with `command` followed by
  // a blank ("AUTHINFO PASS" matches "AUTHINFO PASS secret").  times < 0:
  // for ever; 0 removes the reply; otherwise for the next `times` matching
  // commands.  The newest setting for a command replaces an older one.  A
  // canned answer to STARTTLS that begins with 382 still starts TLS once
  // it has been written, so that tests can put plain text behind it.
  void SetReply(const std::string& command, const std::string& raw, int times = -1);
  void ClearReply(const std::string& command);
  void ClearReplies();
  // Closes the connection when the n-th command line arrives, without
  // answering it, after the responses to the earlier ones have been written
  // (their delay included).  n <= 0: never.
  void CloseAfterCommands(int n);
  // Closes the connection as soon as n bytes have been written on it,
  // greeting included, even in the middle of a response.  n < 0: never.
  void CloseAfterBytes(std::int64_t n);
  // Splits every write into chunks of at most k bytes with a short pause
  // between them, so that they arrive as separate segments.  k <= 0: off.
  void SetChunkSize(int k);
  // After n commands have been answered, stops reading and answering but
  // keeps the connection open.  n < 0: never; 0 stalls right after the
  // greeting.  Setting it back to -1 resumes.
  void StallAfterCommands(int n);
  // A response to a request that arrived at time t leaves at t + delay;
  // pipelined requests overlap their delays.
  void SetDelay(std::chrono::microseconds delay);
  // Closes the connection, without a word, as soon as the client's first
  // bytes of a TLS handshake arrive.
  void HangUpInHandshake(bool on);
  // SO_SNDBUF and SO_RCVBUF of every connection accepted afterwards (and of
  // the listening socket when set before Start(), so that the receive
  // window is small from the first segment).  0: the system's default.
  void SetSocketBuffers(int bytes);

  // --- Log ---------------------------------------------------------------
  std::vector<LogEntry> Log() const;
  std::vector<std::string> Commands() const;
  void ClearLog();
  // Keeping the log (and PlainReceived) in memory can be turned off for
  // long benchmarks.
  void SetKeepLog(bool on);
  // Called on the server thread for every command line received.
  void SetLogSink(std::function<void(const LogEntry&)> sink);
  // Waits until the log holds at least `count` entries; false on timeout.
  bool WaitForLog(std::size_t count, std::chrono::milliseconds timeout) const;
  // Waits until every connection accepted so far has been closed (by
  // either side), so that the log holds all that its clients sent; false
  // on timeout.
  bool WaitForIdle(std::chrono::milliseconds timeout) const;
  // Connections accepted since Start().
  int ConnectionCount() const;
  // Bytes of responses written on every connection since Start()
  // (plaintext, without TLS records' own bytes, before compression).
  std::uint64_t BytesSent() const;
  // Bytes that crossed the sockets of every connection since Start(), as
  // they went: compressed, encrypted, or neither.
  std::uint64_t WireBytesSent() const;
  std::uint64_t WireBytesReceived() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace testserver

#endif  // PELLITON_TESTS_NEWSSERVER_H
