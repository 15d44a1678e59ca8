#include "nntpcommands.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "passwordcommand.h"
#include "tls.h"
#include "util.h"

namespace pelliton {
namespace {

bool hasCode(const char* line, const char* code) { return std::strncmp(line, code, 3) == 0; }

std::string withoutLineEnd(const char* line) {
  std::string text(line);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

int readGreeting(NntpConnection& connection) {
  char line[kResponseLineSize];
  if (!connection.ReadStatusLine(line, sizeof line)) return 0;
  if (!hasCode(line, "200") && !hasCode(line, "201")) {
    Diag("bad response from NNTP server\n");
    return 0;
  }
  if (verbose) {
    std::string text = withoutLineEnd(line);
    Progress("Response from NNTP server:\n  %s%s", printable(text).c_str(), line + text.size());
    if (line[text.size()] == '\0') Progress("\n");
  }
  return 1;
}

// The session for the server, made before anything goes to the network,
// so that a CA file that cannot be loaded costs no connection.
std::unique_ptr<TlsSession> newTlsSession(const ServerInfo& servInfo, const std::string& host) {
  std::string caFile;
  if (servInfo.caFile) {
    const std::optional<std::string> resolved = ResolvePath(servInfo.caFile->c_str());
    if (!resolved) {
      Diag("%s: %s\n", servInfo.caFile->c_str(), std::strerror(ENAMETOOLONG));
      return nullptr;
    }
    caFile = *resolved;
  }
  std::string error;
  std::unique_ptr<TlsSession> session =
      TlsSession::Create(NntpConnection::HostToVerify(host), caFile, &error);
  if (!session) Diag("%s\n", printable(error).c_str());
  return session;
}

// STARTTLS and the handshake.  Any answer but 382 ends the connection:
// going on in plain text would hand the password to whoever refused.
int startTls(NntpConnection& connection, std::unique_ptr<TlsSession> session,
             const std::string& host) {
  if (!connection.SendLine("STARTTLS\r\n")) return 0;
  char line[kResponseLineSize];
  if (!connection.ReadStatusLine(line, sizeof line)) return 0;
  if (!hasCode(line, "382")) {
    Diag("server refused STARTTLS -- %s\n", printable(withoutLineEnd(line)).c_str());
    return 0;
  }
  return connection.StartTls(std::move(session), host);
}

// Sends AUTHINFO PASS; the line that carries the password is wiped after.
int sendPassword(NntpConnection& connection, const std::string& password) {
  Secret command;
  command.text.append("AUTHINFO PASS ").append(password).append("\r\n");
  return connection.SendLine(command.text);
}

// One "%d" of scanf; a number that does not fit 64 bits is refused rather
// than held, since a range taken from it would be wrong.
bool scanArticleNumber(const char*& p, ArticleNumber* number) {
  bool overflow = false;
  return ScanNumber(p, *number, &overflow) && !overflow;
}

}  // namespace

GroupAnswer ParseGroupAnswer(const char* line, const char* newsgroup, ArticleNumber* first,
                             ArticleNumber* last) {
  assert(line != NULL && newsgroup != NULL);
  if (!hasCode(line, "211")) return GroupAnswer::kUnusable;
  const char* p = line + 3;
  ArticleNumber low = 0, high = 0;
  // The count is skipped whatever its size, as "%*d" skips it.
  ArticleNumber count = 0;
  if (!ScanNumber(p, count) || !scanArticleNumber(p, &low) || !scanArticleNumber(p, &high))
    return GroupAnswer::kUnusable;
  p = skipBlanks(p);
  const char* end = p;
  while (*end != '\0' && !isBlank(static_cast<unsigned char>(*end))) ++end;
  if (end != p && std::string_view(p, end - p) != newsgroup) return GroupAnswer::kOtherNewsgroup;
  *first = low;
  *last = high;
  return GroupAnswer::kSelected;
}

// The listing's way to standard output.  A reader that takes nothing more
// (a pager left open, a pipe into a program that hangs) must not hold the
// run past a stop signal, as a blocking write would: each write goes only
// as far as standard output takes at once, and the wait for room ends when
// the run is stopping.
class ListingOutput {
 public:
  // A terminal gets each line as it comes, as stdio would give it.
  explicit ListingOutput(bool lineByLine) : lineByLine_(lineByLine) {}

  // Whether the listing may count as written: false when a write failed
  // (reported) or the run stopped while standard output took nothing.  A
  // reader that went away wanted no more, which is no failure.
  bool ok() const { return state_ == State::kWriting || state_ == State::kReaderGone; }

  void Put(std::string_view line) {
    if (state_ != State::kWriting) return;
    buffer_.append(line).push_back('\n');
    if (lineByLine_ || buffer_.size() >= kFlushAt) Flush();
  }

  void Flush() {
    // Whatever stdio holds (nothing, in a normal run) comes first.
    std::fflush(stdout);
    const SignalGate gate;
    std::size_t done = 0;
    while (state_ == State::kWriting && done < buffer_.size()) {
      pollfd p{STDOUT_FILENO, POLLOUT, 0};
      if (poll(&p, 1, 0) == 1) {
        // A pipe that shows room takes this much without blocking.
        const std::size_t piece = std::min<std::size_t>(buffer_.size() - done, PIPE_BUF);
        const ssize_t n = write(STDOUT_FILENO, buffer_.data() + done, piece);
        if (n > 0) {
          done += static_cast<std::size_t>(n);
          continue;
        }
        if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
          Fail(n == 0 ? EIO : errno);
          break;
        }
      }
      if (!keepRunning) {
        state_ = State::kStopped;
        break;
      }
      gate.Wait(STDOUT_FILENO, POLLOUT, std::nullopt);
    }
    buffer_.clear();
  }

 private:
  enum class State { kWriting, kReaderGone, kFailed, kStopped };
  static constexpr std::size_t kFlushAt = 64 * 1024;

  void Fail(int error) {
    if (error == EPIPE) {
      state_ = State::kReaderGone;
      return;
    }
    state_ = State::kFailed;
    Diag("error writing to standard output -- %s\n", std::strerror(error));
  }

  const bool lineByLine_;
  std::string buffer_;
  State state_ = State::kWriting;
};

void reportBadResponse(const char* line) {
  Diag("bad NNTP server response -- %s\n", printable(withoutLineEnd(line)).c_str());
}

int nntpConnect(NntpConnection& connection, ServerInfo* servInfo, int port,
                Capabilities* capabilities) {
  assert(servInfo != NULL);
  Capabilities unshared;
  if (capabilities == nullptr) capabilities = &unshared;
  const std::string& host = servInfo->host ? *servInfo->host : servInfo->name;
  const int tlsMode = servInfo->tlsMode;
  // TLS from the first byte has a port of its own, unless the server file
  // names one.
  if (port == 0 && tlsMode == TLS_MODE_IMPLICIT && !servInfo->portGiven)
    port = ServicePort("nntps", 563);
  if (port == 0) port = servInfo->port;
  std::unique_ptr<TlsSession> session;
  if (tlsMode != TLS_MODE_NONE) {
    session = newTlsSession(*servInfo, host);
    if (!session) return 0;
  }
  if (!connection.Connect(host, port)) return 0;
  if (tlsMode == TLS_MODE_IMPLICIT && !connection.StartTls(std::move(session), host)) return 0;
  // A connection that failed here is never used again.
  if (!readGreeting(connection) ||
      (tlsMode == TLS_MODE_STARTTLS && !startTls(connection, std::move(session), host)) ||
      !authServer(connection, servInfo) ||
      (servInfo->compress && !nntpCompress(connection, *capabilities))) {
    if (connection.IsOpen()) connection.Close();
    return 0;
  }
  return 1;
}

int authServer(NntpConnection& connection, ServerInfo* servInfo) {
  assert(servInfo != NULL);
  if (!servInfo->password && !servInfo->passwordCommand) return 1;
  Progress("Authenticating with NNTP server...\n");
  // The command runs before anything of the authentication is sent, so
  // that a command that fails leaves the server told nothing.  Its
  // password lives only as long as this exchange.
  Secret fromCommand;
  if (servInfo->passwordCommand) {
    Progress("Running password command...\n");
    std::string reason;
    if (!RunPasswordCommand(*servInfo->passwordCommand, servInfo->timeout, &fromCommand.text,
                            &reason)) {
      Diag("password command for server '%s' failed -- %s\n", servInfo->name.c_str(),
           reason.c_str());
      return 0;
    }
  }
  const std::string& password = servInfo->password ? *servInfo->password : fromCommand.text;
  char line[kResponseLineSize];
  if (servInfo->user) {
    if (!connection.SendLine("AUTHINFO USER " + *servInfo->user + "\r\n")) return 0;
    if (!connection.ReadStatusLine(line, sizeof line)) return 0;
    if (hasCode(line, "281")) return 1;
    if (!hasCode(line, "381")) {
      reportBadResponse(line);
      return 0;
    }
  }
  if (!sendPassword(connection, password)) return 0;
  if (!connection.ReadStatusLine(line, sizeof line)) return 0;
  if (hasCode(line, "281")) return 1;
  // A server that repeats the command it refuses would otherwise put the
  // password into the message, and so into logs and mail.
  Secret text;
  text.text = withoutLineEnd(line);
  for (std::size_t pos = text.text.find(password); pos != std::string::npos;
       pos = text.text.find(password, pos + 1))
    text.text.replace(pos, password.size(), "*");
  Diag("bad NNTP server response -- %s\n", printable(text.text).c_str());
  return 0;
}

int nntpCompress(NntpConnection& connection, Capabilities& capabilities) {
  if (!capabilities.Asked() && !nntpCapabilities(connection, capabilities)) return 0;
  // Algorithm names are case-sensitive.
  const std::vector<std::string>* algorithms = capabilities.Arguments("COMPRESS");
  if (algorithms == nullptr ||
      std::find(algorithms->begin(), algorithms->end(), "DEFLATE") == algorithms->end()) {
    Progress("The server does not offer COMPRESS DEFLATE; going on uncompressed\n");
    return 1;
  }
  if (!connection.SendLine("COMPRESS DEFLATE\r\n")) return 0;
  char line[kResponseLineSize];
  if (!connection.ReadStatusLine(line, sizeof line)) return 0;
  if (!hasCode(line, "206")) {
    Progress("The server refused COMPRESS DEFLATE -- %s; going on uncompressed\n",
             printable(withoutLineEnd(line)).c_str());
    return 1;
  }
  if (!connection.StartCompression()) return 0;
  Progress("Compression established: DEFLATE\n");
  return 1;
}

int nntpListGroups(NntpConnection& connection) {
  Progress("Listing all newsgroups...\n");
  char line[kResponseLineSize];
  if (!connection.SendLine("LIST\r\n")) return 0;
  if (!connection.ReadStatusLine(line, sizeof line)) return 0;
  if (!hasCode(line, "215")) {
    reportBadResponse(line);
    return 0;
  }
  // A server's text reaches a terminal as diagnostics do, without the
  // control characters that could work it; a pipe or a file gets every
  // byte as the server sent it.
  const bool toTerminal = isatty(STDOUT_FILENO) == 1;
  // Only a piece that begins a line can be the end line: the tail of an
  // over-long line that happens to read ".\r\n" is data.
  bool atLineStart = true;
  ListingOutput output(toTerminal);
  for (;;) {
    if (!connection.ReadLine(line, sizeof line)) {
      // What came before the failure is shown all the same.
      output.Flush();
      return 0;
    }
    std::size_t len = std::strlen(line);
    if (atLineStart && std::strcmp(line, ".\r\n") == 0) {
      output.Flush();
      return output.ok() ? 1 : 0;
    }
    atLineStart = len > 0 && line[len - 1] == '\n';
    while (len > 0 && (line[len - 1] == '\r' || line[len - 1] == '\n')) line[--len] = '\0';
    output.Put(toTerminal ? printable(line) : std::string_view(line, len));
    if (!output.ok()) return 0;
  }
}

int MarkNewsgroups(NntpConnection& connection, const MarkListNode* markList) {
  if (markList != nullptr) {
    for (const MarkListNode* node = markList; node != nullptr; node = node->next) {
      NewsgroupInfo* ngInfo = FindNewsgroup(node->name);
      if (ngInfo == nullptr) {
        Diag("group %s not defined in filters; skipping...\n", node->name);
        continue;
      }
      if (!MarkNewsgroup(connection, ngInfo)) return 0;
    }
    return 1;
  }
  for (NewsgroupInfo* ngInfo : Nodes<NewsgroupInfo>(newsgroupList)) {
    if (ngInfo->actions.IsEmpty()) continue;
    if (!MarkNewsgroup(connection, ngInfo)) return 0;
  }
  return 1;
}

int MarkNewsgroup(NntpConnection& connection, NewsgroupInfo* ngInfo) {
  assert(ngInfo != NULL);
  Progress("Marking all articles in group %s...\n", ngInfo->name.c_str());
  char line[kResponseLineSize];
  if (!connection.SendLine("GROUP " + ngInfo->name + "\r\n")) return 0;
  if (!connection.ReadStatusLine(line, sizeof line)) return 0;
  ArticleNumber first = 0, last = 0;
  if (ParseGroupAnswer(line, ngInfo->name.c_str(), &first, &last) == GroupAnswer::kSelected) {
    // One past the highest number is held at it, as fetching holds it.
    ngInfo->nextArticle = (last < LLONG_MAX ? last : LLONG_MAX - 1) + 1;
    return 1;
  }
  reportBadResponse(line);
  return 1;
}

void nntpDisconnect(NntpConnection& connection) {
  // The server may be gone already; QUIT is a courtesy, its failure is not
  // worth a word.  It may also have been sent already, its answer read to
  // see the last newsgroup's answers in step, and the connection closed.
  if (connection.IsOpen()) {
    connection.SendQuietly("QUIT\r\n");
    connection.Close();
  }
  Progress("Disconnected from NNTP server\n");
}

}  // namespace pelliton
