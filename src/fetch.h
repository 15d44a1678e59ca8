// Fetching the newsgroups of a walk: selecting each with GROUP, fixing
// where reading starts, choosing how its articles are read, and running
// the request engine over them.
#ifndef PELLITON_FETCH_H
#define PELLITON_FETCH_H

#include "capabilities.h"
#include "config.h"
#include "connection.h"
#include "nntppipeline.h"
#include "overview.h"

namespace pelliton {

// One walk over the newsgroups on one connection.  With the server file's
// "overview yes" the server is asked once, before the first GROUP, what
// it offers (CAPABILITIES, LIST OVERVIEW.FMT); without it the
// conversation is the one of HEAD and BODY alone.
class NewsgroupFetcher {
 public:
  // maxReq and the server's article limit go to the engine (see
  // PipelineEngine).  `known`: the capability list when it has been asked
  // for on this connection already, which is then not asked again.
  NewsgroupFetcher(NntpConnection& connection, const ServerInfo& servInfo, int maxReq,
                   const Capabilities& known = Capabilities());

  // 1: go on with the next newsgroup; 0: keepRunning was found cleared
  // after the engine ran, or a stop signal ended an exchange; -1: the
  // answer to GROUP, or to the questions about the overview, could not be
  // read, or GROUP was answered for another newsgroup or by an answer
  // that only another command has (the stream is out of step), after a
  // message.  A newsgroup without actions is passed over without a word; a
  // GROUP that the server refuses (480, 502, 503...) leaves the newsgroup
  // where it was, sets runFailed, and the walk goes on.
  int processNewsgroup(NewsgroupInfo* ngInfo);

  // Where the engine's checkpoints go (see PipelineEngine).
  void SetCheckpointSink(CheckpointSink sink) { engine_.SetCheckpointSink(std::move(sink)); }

  // The walk is over.  A newsgroup that ended on answers without an
  // article number keeps a resume point before the articles they settled
  // until the next GROUP's answer shows whether the stream was in step.
  // After the last newsgroup the answer to QUIT is the one left to show
  // it: then QUIT is sent and its answer read here, and the connection
  // closed.  A "205" takes the newsgroup on behind those articles; any
  // other answer is reported and sets runFailed; a run that is stopping,
  // a connection that fails, or one that already failed in the walk (QUIT
  // is not sent then), leaves the newsgroup before them.
  void ConfirmLastNewsgroup();

  // What the server said it can do; empty until asked.
  const Capabilities& capabilities() const { return capabilities_; }

 private:
  int learnOverview();
  void trustLastNewsgroup();
  Reading readingFor(const NewsgroupInfo& ngInfo) const;

  NntpConnection& connection_;
  PipelineEngine engine_;
  // The newsgroup fetched last, when it ended on answers that nothing has
  // shown in step yet, and where it starts unless something shows them
  // out of step.
  NewsgroupInfo* doubted_ = nullptr;
  ArticleNumber resumeOnceInStep_ = 0;
  const bool overviewWanted_;
  bool overviewAsked_ = false;
  Capabilities capabilities_;
  OverviewSupport overview_;
};

}  // namespace pelliton

#endif  // PELLITON_FETCH_H
