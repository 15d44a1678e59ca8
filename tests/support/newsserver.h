// A small scripted NNTP server on 127.0.0.1 for the tests, the benchmarks
// and the demo.  It serves newsgroups and articles (dot-stuffed on the wire,
// CRLF line ends), answers GREETING, AUTHINFO USER/PASS, MODE READER, LIST,
// GROUP, HEAD, BODY and QUIT, records every command line it receives, and
// can be told to misbehave: another greeting, canned replies to chosen
// commands, closing the connection after a command or a byte count,
// splitting its writes into small chunks, stalling, and delaying every
// response by a fixed time without serialising pipelined requests.
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
};

class NewsServer {
 public:
  NewsServer();
  ~NewsServer();  // stops the server
  NewsServer(const NewsServer&) = delete;
  NewsServer& operator=(const NewsServer&) = delete;

  // Binds 127.0.0.1 at a port the kernel picks and starts serving on a
  // thread of its own.  Returns the port, or -1 after a message on stderr.
  int Start();
  // Closes every connection and ends the thread.  Idempotent.
  void Stop();
  int port() const;

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
  // it) carries the header line "X-Bench: match".  matchEvery 0: none.
  void AddSyntheticGroup(const std::string& group, int count, int matchEvery);
  // The header and body that AddSyntheticGroup serves for one article.
  static std::string SyntheticHeader(const std::string& group, int number, int matchEvery);
  static std::string SyntheticBody(const std::string& group, int number);
  // Loads a spool directory: one subdirectory per group named like the
  // group, one file per article named by its number, holding the header
  // lines, an empty line and the body, with LF line ends.  Returns false
  // and sets *error when the directory cannot be read.
  bool LoadSpool(const std::string& dir, std::string* error);

  // Credentials that AUTHINFO checks.  With no password set every AUTHINFO
  // PASS is accepted.  USER always gets 381; PASS gets 281 when the password
  // matches (and the user, when one is set and USER was given), else 481.
  void SetCredentials(const std::string& user, const std::string& password);
  // When on, GROUP, HEAD, BODY and LIST answer 480 until AUTHINFO succeeded.
  void SetRequireAuth(bool on);

  // --- Misbehaviour ------------------------------------------------------
  // Raw bytes sent on accept (CR LF included); "" sends nothing.
  // Default: "200 testserver ready (posting ok)\r\n".
  void SetGreeting(const std::string& raw);
  // Sends `raw` exactly as given, instead of the normal answer, to every
  // command line that equals `command` or begins with `command` followed by
  // a blank ("AUTHINFO PASS" matches "AUTHINFO PASS secret").  times < 0:
  // for ever; 0 removes the reply; otherwise for the next `times` matching
  // commands.  The newest setting for a command replaces an older one.
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

  // --- Log ---------------------------------------------------------------
  std::vector<LogEntry> Log() const;
  std::vector<std::string> Commands() const;
  void ClearLog();
  // Keeping the log in memory can be turned off for long benchmarks.
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

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace testserver

#endif  // PELLITON_TESTS_NEWSSERVER_H
