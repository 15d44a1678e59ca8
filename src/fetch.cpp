#include "fetch.h"

#include <cassert>
#include <climits>
#include <cstring>
#include <string>

#include "nntpcommands.h"
#include "nntppipeline.h"
#include "util.h"

namespace pelliton {

int processNewsgroup(NntpConnection& connection, NewsgroupInfo* ngInfo, int maxReq,
                     unsigned long articleLimit) {
  assert(ngInfo != NULL);
  assert(ngInfo->name[0] != '\0');
  if (ngInfo->actions.IsEmpty()) return 1;
  const char* name = ngInfo->name.c_str();
  Progress("Processing group %s...\n", name);

  // A stop signal that ends the exchange is a stopped end like one that
  // comes while the articles are fetched: the newsgroup keeps its place.
  if (!connection.SendLine("GROUP " + ngInfo->name + "\r\n")) return connection.Stopped() ? 0 : -1;
  char reply[kResponseLineSize];
  if (!connection.ReadStatusLine(reply, sizeof reply)) return connection.Stopped() ? 0 : -1;

  ArticleNumber first = 0;
  ArticleNumber last = 0;
  switch (ParseGroupAnswer(reply, name, &first, &last)) {
    case GroupAnswer::kSelected:
      break;
    case GroupAnswer::kOtherNewsgroup:
      // Some earlier answer is being read as this one: whatever follows is
      // out of step too, so nothing more is asked, and this newsgroup keeps
      // its place in the newsrc.
      reportBadResponse(reply);
      return -1;
    case GroupAnswer::kUnusable:
      if (std::strncmp(reply, "411", 3) == 0)
        Diag("%s: newsgroup does not exist\n", name);
      else
        reportBadResponse(reply);
      return 1;
  }

  // One past the last article must still be a number.
  if (last == LLONG_MAX) last = LLONG_MAX - 1;
  if (ngInfo->nextArticle < first) ngInfo->nextArticle = first;
  if (ngInfo->nextArticle > last) ngInfo->nextArticle = last + 1;
  Progress("Reading articles from range %lld-%lld, starting at %lld...\n", first, last,
           ngInfo->nextArticle);
  PipelineInit(connection, maxReq, articleLimit);
  PipelineEngine(ngInfo, last);
  PipelineCleanup();
  Progress("Done processing group %s\n", name);
  Progress("Next article to read is %lld\n", ngInfo->nextArticle);
  return keepRunning ? 1 : 0;
}

}  // namespace pelliton
