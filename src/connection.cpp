#include "connection.h"

#include "pelliton.h"

namespace pelliton {

FILE* nntpInFile = nullptr;
FILE* nntpOutFile = nullptr;
int nntpTimeout = kDefaultTimeout;

// Placeholder until the connection is built: every connection fails
// through the connection's own failure path.
int nntpConnect(ServerInfo*, int) {
  std::fprintf(stderr, "%s: connecting is not available yet\n", programName);
  return 0;
}
int authServer(ServerInfo*) { return 0; }
int nntpListGroups() { return 0; }
void MarkNewsgroups(const MarkListNode*) {}
int MarkNewsgroup(NewsgroupInfo*) { return 0; }
void nntpDisconnect() {}
int nntpSendLine(const char*) { return 0; }
int nntpReadLine(char*, int) { return 0; }
void reportBadResponse(const char*) {}
std::string printable(const char* text) { return text; }

}  // namespace pelliton
