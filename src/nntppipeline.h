// The pipelined request engine: keeps up to maxReq requests outstanding on
// the connection without ever blocking, cuts the answers into lines,
// decides which articles match the filters and delivers them.
#ifndef PELLITON_NNTPPIPELINE_H
#define PELLITON_NNTPPIPELINE_H

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "config.h"
#include "connection.h"
#include "overview.h"

namespace pelliton {

// How the articles of one newsgroup are asked for.
struct Reading {
  enum class Way {
    kHead,      // HEAD for every number, BODY for each match
    kOverview,  // the overview over ranges of numbers, ARTICLE for each match
    kArticle,   // ARTICLE for every number: no condition applies
  };
  Way way = Way::kHead;
  // kOverview: the command and the format; must outlive Run.
  const OverviewSupport* overview = nullptr;
};

// Receives, along the way, the number at which the next run could start
// in the newsgroup being fetched: the resume point that a stop at that
// moment would leave.  Offered only while the run goes on, and only when
// it changed.
using CheckpointSink = std::function<void(const NewsgroupInfo& ngInfo, ArticleNumber next)>;

// Bytes of matched headers that may wait for their bodies at once.
inline constexpr std::size_t kHeldHeaderBudget = 64 << 20;

class PipelineEngine {
 public:
  // The engine uses the connection for as long as it lives.  maxReq (at
  // least 1) bounds the requests outstanding, of every kind together.
  // articleLimit bounds the bytes that the header or the body of one
  // article, or one line of the overview, may take (0, or anything above
  // kMaxArticleLimit, is kMaxArticleLimit); a larger one is read to its
  // end, reported and passed over.  An answer that runs on past twice the
  // limit is taken for one out of step.
  //
  // Headers that matched wait whole for their bodies: while those waiting,
  // and those on their way at the size of recent ones, would take more
  // than heldHeaderBudget bytes, no further HEAD goes out (one always may
  // when none waits and none is on its way); a matching header that does
  // not fit beside the ones waiting is read again later.  A buffer that
  // cannot grow for lack of memory drops its text: the run stops, and the
  // article holds its newsgroup as a failed delivery does.
  PipelineEngine(NntpConnection& connection, int maxReq, unsigned long articleLimit,
                 std::size_t heldHeaderBudget = kHeldHeaderBudget);
  ~PipelineEngine();
  PipelineEngine(const PipelineEngine&) = delete;
  PipelineEngine& operator=(const PipelineEngine&) = delete;

  // Fetches the articles from ngInfo->nextArticle to lastArticle, the way
  // `reading` says, and leaves in ngInfo->nextArticle the number at which
  // the next run must start.  ngInfo->nextArticle is read when the
  // newsgroup starts and written once, when it ends.
  //
  // The engine clears keepRunning when the run has to stop: a failed
  // delivery, a lost or silent connection, or an answer out of step with
  // the requests, after which the connection is not read any further.  A
  // server that refuses an article (a 4xx or 5xx status other than 423 and
  // 430) holds the newsgroup at that article: nothing at or above it, nor
  // any further number, is asked for (the texts of matches below it still
  // are), nothing numbered above it is delivered, the next run starts
  // there, and the run goes on with the next newsgroup.  Each of these
  // sets runFailed.  Once the run is stopping, a signal (the second, or
  // the first after a failed delivery) abandons the answers still
  // outstanding.  Once the answers are found out of step, the next run
  // starts no later than the oldest article that an answer without an
  // article number (423, 430, a refusal) settled since the last answer
  // whose number checked out: any of those may have been meant for
  // another request.
  //
  // Read from the overview, numbers that it does not list below the
  // highest one it lists are gone; those above it may not be listed yet,
  // and the next run starts behind the highest one listed.  A server that
  // refuses the overview has the rest of the newsgroup read with HEAD.
  void Run(NewsgroupInfo* ngInfo, ArticleNumber lastArticle, const Reading& reading = {});

  // Where checkpoints go; none by default.
  void SetCheckpointSink(CheckpointSink sink);

  // After Run: a newsgroup whose last answers had no article number, with
  // nothing after them to show the stream in step, ends with nextArticle
  // before the articles they settled.  This is where the next run may
  // start instead once the next answer (GROUP's, say) shows it in step.
  std::optional<ArticleNumber> ResumeOnceInStep() const;

 private:
  class Engine;
  std::unique_ptr<Engine> engine_;
};

}  // namespace pelliton

#endif  // PELLITON_NNTPPIPELINE_H
