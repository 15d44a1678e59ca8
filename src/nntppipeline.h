// The pipelined request engine: keeps up to maxReq HEAD and BODY requests
// outstanding on the non-blocking connection, cuts the answers into lines,
// matches headers against the filters and delivers the matching articles.
#ifndef PELLITON_NNTPPIPELINE_H
#define PELLITON_NNTPPIPELINE_H

#include "config.h"

namespace pelliton {

// Per newsgroup the calls come in this order, with both descriptors in
// non-blocking mode.
void PipelineInit(int inFd, int outFd, int maxReq);
// Fetches the articles from ngInfo->nextArticle to lastArticle and leaves in
// ngInfo->nextArticle the number at which the next run must start.
void PipelineEngine(NewsgroupInfo* ngInfo, int lastArticle);
void PipelineCleanup();

// Sends one request line (with its CR LF) without blocking; what the socket
// does not take waits for the engine's next pass.
void sendLine(const char* line);

}  // namespace pelliton

#endif  // PELLITON_NNTPPIPELINE_H
