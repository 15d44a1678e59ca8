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
// connection from PipelineInit to PipelineCleanup.  articleLimit bounds the
// bytes that the header or the body of one article may take (0: no
// bound); a larger one is read to its end, reported and passed over.
void PipelineInit(NntpConnection& connection, int maxReq, unsigned long articleLimit);
// Fetches the articles from ngInfo->nextArticle to lastArticle and leaves in
// ngInfo->nextArticle the number at which the next run must start.
//
// The engine clears keepRunning when the run has to stop: a failed
// delivery, a lost or silent connection, or an answer out of step with
// the requests, after which the connection is not read any further.  A
// server that refuses an article (a 4xx or 5xx status other than 423 and
// 430) holds the newsgroup at that article: nothing more is asked in it,
// nothing numbered above it is delivered, the next run starts there, and
// the run goes on with the next newsgroup.  Once the run is stopping, a
// signal (the second, or the first after a failed delivery) abandons the
// answers still outstanding.
void PipelineEngine(NewsgroupInfo* ngInfo, ArticleNumber lastArticle);
void PipelineCleanup();

// Queues one request line (with its CR LF) on the connection; the send
// phase of each pass hands everything it queued over in one write.
void sendLine(const char* line);

}  // namespace pelliton

#endif  // PELLITON_NNTPPIPELINE_H
