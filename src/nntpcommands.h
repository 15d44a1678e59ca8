// The one-line exchanges of a run on the connection: the greeting and
// AUTHINFO, LIST, GROUP for marking newsgroups as read, QUIT; and the
// reading of a GROUP answer, which fetching shares.
#ifndef PELLITON_NNTPCOMMANDS_H
#define PELLITON_NNTPCOMMANDS_H

#include "capabilities.h"
#include "config.h"
#include "connection.h"

namespace pelliton {

// Connects to the server (its host, else its name; port 0 is the server's
// own port), reads the greeting and authenticates; with "compress yes"
// it then turns compression on where the server offers it (see
// nntpCompress), before any other work.  The capability list asked for
// that is left in *capabilities, when given, for the work to use.  1 when
// connected, greeted and authenticated; 0 after a message, with the
// connection closed.
int nntpConnect(NntpConnection& connection, ServerInfo* servInfo, int port,
                Capabilities* capabilities = nullptr);
// AUTHINFO USER and PASS as the server file asks.  1 when authenticated or
// when no password is configured; 0 after a message.
int authServer(NntpConnection& connection, ServerInfo* servInfo);
// The capability list, unless it has been asked for already (switching
// the server with MODE READER where the list asks for it: after COMPRESS
// a server may refuse it), then COMPRESS DEFLATE where the list offers
// it.  On 206 everything from then on is compressed.  A server
// that does not offer it, or answers anything else, is talked to
// uncompressed, with a line under -v: that is no failure.  1 unless an
// exchange failed; 0 after a message.
int nntpCompress(NntpConnection& connection, Capabilities& capabilities);
// Prints the server's LIST on standard output.  1 when the listing ended
// with its end line; 0 after a message.
int nntpListGroups(NntpConnection& connection);

// The -c names, last given first.
struct MarkListNode {
  MarkListNode* next;
  const char* name;
};
// Marks the named newsgroups, or with null every newsgroup with actions.
// 0 when reading an answer failed, which ends the marking; 1 otherwise.
int MarkNewsgroups(NntpConnection& connection, const MarkListNode* markList);
// Sets nextArticle behind the newsgroup's last article.  0 only when
// reading the answer failed; 1 otherwise, also after a bad answer.
int MarkNewsgroup(NntpConnection& connection, NewsgroupInfo* ngInfo);
// Sends QUIT and closes the connection, unless it is closed already.
void nntpDisconnect(NntpConnection& connection);

// What a GROUP answer says about the newsgroup that was asked for.
enum class GroupAnswer {
  kSelected,       // "211 count first last [name]": first and last are set
  kOtherNewsgroup, // a 211 answer that names another newsgroup: the answer
                   // to some other command, the stream is out of step
  kUnusable,       // anything else: another code, too few numbers, or a
                   // number beyond 2^63 - 1
};
// Reads an answer line the way "211 %*d %d %d" would, with 64-bit numbers
// that are refused rather than wrapped when they do not fit.  A name after
// the last number must be the one asked for, byte for byte; an answer
// without a name is accepted.
GroupAnswer ParseGroupAnswer(const char* line, const char* newsgroup, ArticleNumber* first,
                             ArticleNumber* last);

// "pelliton: bad NNTP server response -- <line>", the line without its
// trailing CR and LF and with control characters shown as '?'.
void reportBadResponse(const char* line);

}  // namespace pelliton

#endif  // PELLITON_NNTPCOMMANDS_H
