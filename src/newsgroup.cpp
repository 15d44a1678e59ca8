#include <sys/ioctl.h>

#include <cassert>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "connection.h"
#include "nntppipeline.h"
#include "pelliton.h"

namespace pelliton {
namespace {

void setNonBlocking(int fd, int on) { static_cast<void>(ioctl(fd, FIONBIO, &on)); }

// The engine works on the bare descriptors without ever blocking; the
// one-line exchanges around it need them blocking again.
class NonBlockingConnection {
 public:
  NonBlockingConnection(int inFd, int outFd) : inFd_(inFd), outFd_(outFd) {
    setNonBlocking(inFd_, 1);
    setNonBlocking(outFd_, 1);
  }
  ~NonBlockingConnection() {
    setNonBlocking(inFd_, 0);
    setNonBlocking(outFd_, 0);
  }
  NonBlockingConnection(const NonBlockingConnection&) = delete;
  NonBlockingConnection& operator=(const NonBlockingConnection&) = delete;

 private:
  int inFd_;
  int outFd_;
};

void fetchArticles(NewsgroupInfo* ngInfo, int maxReq, int lastArticle) {
  std::fflush(nntpOutFile);
  NonBlockingConnection connection(fileno(nntpInFile), fileno(nntpOutFile));
  PipelineInit(fileno(nntpInFile), fileno(nntpOutFile), maxReq);
  PipelineEngine(ngInfo, lastArticle);
  PipelineCleanup();
}

}  // namespace

int processNewsgroup(NewsgroupInfo* ngInfo, int maxReq) {
  assert(ngInfo != NULL);
  assert(ngInfo->name[0] != '\0');
  if (ngInfo->actions.IsEmpty()) return 1;
  const char* name = ngInfo->name.c_str();
  if (verbose) std::fprintf(stderr, "Processing group %s...\n", name);

  std::string command = "GROUP " + ngInfo->name + "\r\n";
  if (!nntpSendLine(command.c_str())) return -1;
  char reply[kResponseLineSize];
  if (!nntpReadStatusLine(reply, sizeof reply)) return -1;

  if (std::strncmp(reply, "211", 3) == 0) {
    int first = 0;
    int last = 0;
    if (std::sscanf(reply, "211 %*d %d %d", &first, &last) == 2) {
      // One past the last article must still be a number.
      if (last == INT_MAX) last = INT_MAX - 1;
      if (ngInfo->nextArticle < first) ngInfo->nextArticle = first;
      if (ngInfo->nextArticle > last) ngInfo->nextArticle = last + 1;
      if (verbose)
        std::fprintf(stderr, "Reading articles from range %d-%d, starting at %d...\n", first, last,
                     ngInfo->nextArticle);
      fetchArticles(ngInfo, maxReq, last);
      if (verbose) {
        std::fprintf(stderr, "Done processing group %s\n", name);
        std::fprintf(stderr, "Next article to read is %d\n", ngInfo->nextArticle);
      }
      return keepRunning ? 1 : 0;
    }
  } else if (std::strncmp(reply, "411", 3) == 0) {
    std::fprintf(stderr, "%s: %s: newsgroup does not exist\n", programName, name);
    return 1;
  }
  reportBadResponse(reply);
  return 1;
}

}  // namespace pelliton
