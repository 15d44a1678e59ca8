// The one connection to the NNTP server and its one-line exchanges:
// greeting, AUTHINFO, LIST, GROUP for marking and for fetching, QUIT.
#ifndef PELLITON_CONNECTION_H
#define PELLITON_CONNECTION_H

#include <cstdio>
#include <string>

#include "config.h"

namespace pelliton {

// Line-buffered streams over the connected socket (read) and a duplicate of
// its descriptor (write).  Opened by nntpConnect, closed by nntpDisconnect.
extern FILE* nntpInFile;
extern FILE* nntpOutFile;

// Seconds that any wait for the server may last (the connect, each answer,
// each wait of the request engine); 0 waits for ever.  Set by nntpConnect
// from the server's timeout.
extern int nntpTimeout;

// Size of the buffer that every answer line is read into: one read yields
// at most 1023 characters of a line.
constexpr int kResponseLineSize = 1024;

// 1 when connected, greeted and authenticated; 0 after a message.
// port 0 uses the server's own port.
int nntpConnect(ServerInfo* servInfo, int port);
int authServer(ServerInfo* servInfo);
// 1 when the listing ended with its end line; 0 after a message.
int nntpListGroups();

// The -c names, last given first.
struct MarkListNode {
  MarkListNode* next;
  const char* name;
};
// Marks the named newsgroups, or with null every newsgroup with actions.
void MarkNewsgroups(const MarkListNode* markList);
// 0 only when reading the answer failed; 1 otherwise.
int MarkNewsgroup(NewsgroupInfo* ngInfo);
void nntpDisconnect();

// Selects the newsgroup with GROUP and runs the request engine over it.
// 1: go on with the next newsgroup; 0: keepRunning was found cleared;
// -1: the answer to GROUP could not be read.
int processNewsgroup(NewsgroupInfo* ngInfo, int maxReq);

// The exchange primitives that every one-line exchange is built from.
//
// Sends one command line (ending in "\r\n") on the connection, retrying
// when a signal interrupts the write.  1 on success; 0 after
// "error talking to NNTP server -- <reason>".
int nntpSendLine(const char* line);
// Reads one answer line of at most size - 1 characters, as fgets does,
// retrying when a signal interrupts the read.  1 on success; 0 after
// "error talking to NNTP server -- <reason>" (also when the server closed
// the connection), or after "timeout talking to NNTP server" when the
// server stayed silent for nntpTimeout seconds.
int nntpReadLine(char* buf, int size);
// nntpReadLine for a status line: the rest of a line longer than the
// buffer is read and dropped, so that it is not taken for the answer to the
// next command.
int nntpReadStatusLine(char* buf, int size);
// "pelliton: bad NNTP server response -- <line>", the line without its
// trailing CR and LF and with control characters shown as '?'.
void reportBadResponse(const char* line);
// Copy of text from the server that is safe to print on a terminal: every
// control character other than tab becomes '?'.
std::string printable(const char* text);

}  // namespace pelliton

#endif  // PELLITON_CONNECTION_H
