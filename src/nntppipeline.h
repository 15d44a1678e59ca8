// The pipelined request engine: keeps up to maxReq HEAD and BODY requests
// outstanding on the connection without ever blocking, cuts the answers
// into lines, matches headers against the filters and delivers the
// matching articles.
#ifndef PELLITON_NNTPPIPELINE_H
#define PELLITON_NNTPPIPELINE_H

#include "config.h"
#include "connection.h"

namespace pelliton {

// Per newsgroup the calls come in this order.  The engine uses the
// connection from PipelineInit to PipelineCleanup.
void PipelineInit(NntpConnection& connection, int maxReq);
// Fetches the articles from ngInfo->nextArticle to lastArticle and leaves in
// ngInfo->nextArticle the number at which the next run must start.
void PipelineEngine(NewsgroupInfo* ngInfo, ArticleNumber lastArticle);
void PipelineCleanup();

// Queues one request line (with its CR LF) on the connection; the send
// phase of each pass hands everything it queued over in one write.
void sendLine(const char* line);

}  // namespace pelliton

#endif  // PELLITON_NNTPPIPELINE_H
