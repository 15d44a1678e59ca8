#include "nntppipeline.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "delivery.h"
#include "headerfilter.h"
#include "util.h"

namespace pelliton {
namespace {

// Responses are read in large pieces: the slots that one piece frees are
// filled by a few writes, so the more a read takes, the fewer reads, waits
// and writes per article.
constexpr std::size_t kInBufSize = 65536;
// No new request is started while the connection holds more unsent output
// than this: no write ever blocks, and nothing grows without bound.
constexpr std::size_t kOutputBound = 4096;
// Free slots that are filled at once, in the middle of a read.
constexpr int kEagerSlots = 4;
// A prime, so that runs of article numbers spread over every chain.
constexpr int kMatchChains = 251;
constexpr std::size_t kHeaderBufStart = 1024;
constexpr std::size_t kBodyBufStart = 65536;
// No collection buffer grows past what an int counts: texts are handed
// to delivery with int lengths.
constexpr std::size_t kBufferMax = INT_MAX;
// A text on the wire takes at most twice its bytes (a line of one dot,
// two bytes, is sent as four).  An answer past twice the limit and this
// much more is one that does not end; the margin lets an honest article
// somewhat over a small limit be read and skipped without giving up the
// connection.
constexpr std::size_t kAnswerSlack = 16 << 20;
// NNTP keeps a status line within 512 bytes.  Of a longer one this much is
// kept and shown, and the rest is read and dropped, so that a server that
// never ends its line cannot make the engine hold more than its buffer.
// Of an overview line too long to use, this much is kept for its number.
constexpr std::size_t kStatusLineKept = 1024;
// Article numbers that one overview request covers.  Its answer is read
// line by line, so the size bounds only the matches that one answer can
// leave waiting for their articles.
constexpr ArticleNumber kOverviewRange = 1000;
// Overview requests outstanding at once: the next range is on its way
// while one is read, so that the server is never idle between them.
constexpr int kOverviewsAhead = 2;

constexpr ArticleNumber kHighest = LLONG_MAX;
constexpr ArticleNumber kLowest = LLONG_MIN;

// One before and one after an article number, held at the ends of the
// range rather than wrapped.
ArticleNumber before(ArticleNumber n) { return n > kLowest ? n - 1 : n; }
ArticleNumber after(ArticleNumber n) { return n < kHighest ? n + 1 : n; }

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
// malloc'd so that it can grow with realloc in place.
using CharBuffer = std::unique_ptr<char, FreeDeleter>;

// One article that matched and whose text is awaited: its body, when the
// header came with HEAD; the whole article, when the overview decided.
struct MatchedHeader {
  std::unique_ptr<MatchedHeader> next;  // same chain of the match table
  ArticleNumber article = 0;
  int headerLen = 0;
  CharBuffer header;  // null when the article brings its own
  std::vector<const ActionInfo*> actions;  // matched ones, in list order
};

enum class RequestKind { kHead, kBody, kArticle, kOver };

// A request, waiting to be sent or sent and not yet answered completely.
// Responses come in the order of the requests, so the oldest outstanding
// one tells what a status line must answer.
struct Request {
  RequestKind kind;
  ArticleNumber first;  // the article; for OVER the range's first number
  ArticleNumber last;   // the same; for OVER the range's last number
};

// What the next line from the server is.
enum class Parse {
  kStatus,
  kHeader,         // of a 221
  kBody,           // of a 222
  kArticleHeader,  // of a 220, up to its first empty line
  kArticleBody,    // of a 220, after it
  kOverview,       // of a 224
};

// What becomes of the text of the response being read.
enum class Text {
  kKept,      // collected for matching or delivery
  kDropped,   // an answer that was on its way when the newsgroup stopped
  kTooLarge,  // over the article limit: read to its end and passed over
  kNoMemory,  // its buffer could not grow: read to its end and not dealt with
};

// Where the next request comes from.
enum class Source {
  kNone,
  kOverviewRange,  // the overview of the next range of numbers
  kText,           // the body or article of a match
  kHeaderAgain,    // a header asked for again
  kCursor,         // the next number
};

const char* verbOf(RequestKind kind) {
  switch (kind) {
    case RequestKind::kHead: return "HEAD";
    case RequestKind::kBody: return "BODY";
    case RequestKind::kArticle: return "ARTICLE";
    case RequestKind::kOver: return "OVER";
  }
  return "";
}

CharBuffer freshBuffer(std::size_t size) {
  return CharBuffer(static_cast<char*>(mymalloc(size)));
}

// Doubles the buffer until it holds `needed` bytes.  False when memory ran
// short; the buffer is then as it was.  The article limit keeps `needed`
// far below kBufferMax.
bool growBuffer(CharBuffer& buf, std::size_t& size, std::size_t needed) {
  if (needed <= size) return true;
  assert(needed <= kBufferMax);
  std::size_t newSize = size;
  while (newSize < needed) newSize = newSize > kBufferMax / 2 ? kBufferMax : newSize * 2;
  void* grown = std::realloc(buf.get(), newSize);
  if (grown == nullptr) return false;
  static_cast<void>(buf.release());
  buf.reset(static_cast<char*>(grown));
  size = newSize;
  return true;
}

// A large buffer that keeps `used` bytes for a long while gives back the
// rest of what doubling made it, so that the budget of held headers
// bounds the address space they take too.
void fitBuffer(CharBuffer& buf, std::size_t size, std::size_t used) {
  if (size <= kBodyBufStart || used >= size) return;
  if (void* fitted = std::realloc(buf.get(), used)) {
    static_cast<void>(buf.release());
    buf.reset(static_cast<char*>(fitted));
  }
}

bool isEndLine(std::string_view line) { return line == "."; }

std::string_view withoutCr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// A server's answer as a message shows it: without its line ends, with
// control characters (NUL among them) made harmless, and not longer than
// a status line can sanely be.
std::string shown(std::string_view line) {
  line = line.substr(0, kStatusLineKept);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  return printable(line);
}

// The code of a status line: three digits, then the end of the line or a
// blank.  -1 for any other line.
int statusCode(std::string_view line) {
  if (line.size() < 3) return -1;
  int code = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    code = code * 10 + (line[i] - '0');
  }
  if (line.size() > 3 && !isBlank(static_cast<unsigned char>(line[3]))) return -1;
  return code;
}

// The article number of a 220, 221 or 222 line, after the code and blanks,
// read as strtoll reads it in base 0.  False when there is none, or when
// it does not fit 64 bits.
bool statusArticle(std::string_view line, ArticleNumber* number) {
  std::size_t pos = 3;
  while (pos < line.size() && isBlank(static_cast<unsigned char>(line[pos]))) ++pos;
  char digits[128];
  const std::size_t len = std::min(line.size() - pos, sizeof digits - 1);
  std::memcpy(digits, line.data() + pos, len);
  digits[len] = '\0';
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(digits, &end, 0);
  if (end == digits || errno == ERANGE) return false;
  *number = value;
  return true;
}

// Negative numbers from a confused server still land in a real chain.
int chainOf(ArticleNumber article) {
  const int chain = static_cast<int>(article % kMatchChains);
  return chain < 0 ? chain + kMatchChains : chain;
}

}  // namespace

class PipelineEngine::Engine {
 public:
  Engine(NntpConnection& connection, int maxReq, unsigned long articleLimit,
         std::size_t heldHeaderBudget)
      : connection_(connection),
        maxReq_(maxReq),
        heldHeaderBudget_(heldHeaderBudget),
        articleLimit_(articleLimit == 0 || articleLimit > kMaxArticleLimit ? kMaxArticleLimit
                                                                           : articleLimit),
        answerBound_(2 * static_cast<std::uint64_t>(articleLimit_) + kAnswerSlack) {
    assert(maxReq >= 1);
    hdrBufSize_ = kHeaderBufStart;
    hdrBuf_ = freshBuffer(kHeaderBufStart);
    bodyBufSize_ = kBodyBufStart;
    bodyBuf_ = freshBuffer(kBodyBufStart);
  }
  ~Engine() { clearMatchTable(); }

  void Run(NewsgroupInfo* ngInfo, ArticleNumber lastArticle, const Reading& reading);
  void SetCheckpointSink(CheckpointSink sink) { checkpointSink_ = std::move(sink); }
  std::optional<ArticleNumber> ResumeOnceInStep() const { return resumeOnceInStep_; }

 private:
  // --- Slots, stops and the resume point
  bool sending() const { return keepRunning; }
  bool headerFits() const;
  Source nextSource() const;
  bool somethingToRequest() const { return nextSource() != Source::kNone; }
  void responseDone();
  void resetResponse();
  void abandonConnection();
  bool signalAbandons() const { return !keepRunning && signalsCaught >= abandonAt_; }
  void stopNewsgroupAt(ArticleNumber article);
  ArticleNumber resumePoint(bool stopped) const;
  void offerCheckpoint();
  void headerDealtWith(ArticleNumber article);
  void bodyDealtWith(ArticleNumber article);

  // --- Matching and delivery
  void clearMatchTable();
  std::unique_ptr<MatchedHeader> takeRecord(ArticleNumber article);
  void fileMatch(ArticleNumber article, CharBuffer header, int headerLen, RequestKind fetch);
  void reportVerdict(HeaderFilter::Verdict verdict);
  std::string_view finishText(CharBuffer& buf, std::size_t& len);
  void processHeader();
  void processBody();
  void processArticle();
  void deliver(const std::vector<const ActionInfo*>& actions, const char* header, int headerLen,
               bool bodyHasLines, ArticleNumber article);
  void deliveryFailed(ArticleNumber article);

  // --- The overview
  void askHeaderAgain(ArticleNumber article);
  void askGapAgain(ArticleNumber from, ArticleNumber to);
  void oddOverviewLine();
  void overviewLine(std::string_view line, bool cut);
  void overviewEnded();
  void overviewRefused(std::string_view line);
  bool overviewDue() const;

  // --- Responses
  bool fitsLimit(std::size_t collected, std::size_t more) const;
  void collectLine(CharBuffer& buf, std::size_t& bufSize, std::size_t& len,
                   std::string_view line);
  void bodyLine(std::string_view line);
  void outOfMemory();
  void skipTooLarge(Parse state, ArticleNumber article);
  void endOfText();
  void settledWithoutNumber(ArticleNumber article) { unconfirmed_ = std::min(unconfirmed_, article); }
  void articleGone(const Request& request);
  void articleRefused(const Request& request, std::string_view line);
  void outOfStep(ArticleNumber article, std::string_view line);
  void answerWithoutEnd();
  void openText(const Request& request);
  void openOverview(const Request& request);
  void handleStatusLine(std::string_view line);
  void dispatchLine(std::string_view line, bool cut);

  // --- The wire
  struct Collection {
    CharBuffer& buf;
    std::size_t& size;
    std::size_t& len;
  };
  Collection collection();
  void keepLinePiece(const char* piece, std::size_t len);
  void finishLine(std::string_view tail);
  bool answerWithinBound(std::size_t bytes);
  void cutLines(std::size_t received);
  void receive();
  void queueRequest(const Request& request);
  void sendRequests();
  void waitAndTransfer();

  NntpConnection& connection_;
  const int maxReq_;
  // A matching header waits whole for its body.  Headers of tens of
  // megabytes, many requests deep, would take gigabytes.
  const std::size_t heldHeaderBudget_;
  const unsigned long articleLimit_;
  // The bytes past which an answer, or a part of one, is taken for one
  // that never ends.
  const std::uint64_t answerBound_;
  CheckpointSink checkpointSink_;

  // The newsgroup being fetched.
  NewsgroupInfo* ngInfo_ = nullptr;
  ArticleNumber lastArticle_ = 0;  // the last article to cover
  Reading::Way way_ = Reading::Way::kHead;
  const OverviewSupport* overview_ = nullptr;
  std::optional<HeaderFilter> filter_;
  std::vector<const ActionInfo*> matched_;  // the filter's verdict, reused

  // Requests.  The cursor is the first number that no request covers yet;
  // the texts of matches go first, then headers asked for again, then the
  // cursor's.
  ArticleNumber cursor_ = 0;
  std::deque<Request> texts_;
  std::deque<Request> headersAgain_;
  std::deque<Request> outstanding_;
  int freeSlots_ = 0;
  ArticleNumber lastRequested_ = 0;
  int overviewsOutstanding_ = 0;
  std::size_t headsOutstanding_ = 0;

  // Memory of the headers waiting for their bodies.
  std::size_t heldBytes_ = 0;  // in the match table
  // What a header on its way may take: the largest of late, fading by an
  // eighth with every header examined.
  std::size_t headerGuess_ = 0;

  // Resume markers.
  ArticleNumber lastDone_ = 0;      // the last article whose text was dealt with
  ArticleNumber lastSeen_ = 0;      // every header up to here was dealt with
  ArticleNumber pendingMatch_ = 0;  // the most recent match; 0: none
  // Articles that matched, or whose header is asked for again, and are not
  // dealt with; the resume point never passes the lowest of them.
  std::set<ArticleNumber> pending_;
  // Nothing numbered from here up is delivered in this newsgroup: the
  // article that the server refused, or whose delivery failed.
  ArticleNumber stopAt_ = kHighest;
  // The oldest article settled by an answer without an article number
  // since the last answer whose number checked out; kHighest: none.
  ArticleNumber unconfirmed_ = kHighest;
  // The last checkpoint offered.
  ArticleNumber lastCheckpoint_ = 0;
  // See PipelineEngine::ResumeOnceInStep.
  std::optional<ArticleNumber> resumeOnceInStep_;
  // The server refused an article: nothing at or above it is asked for in
  // this newsgroup, nor any further number; matches below it still are.
  bool held_ = false;
  // The connection is not read any further.
  bool abandoned_ = false;
  // The count of signals caught at which the answers still outstanding
  // are given up.
  sig_atomic_t abandonAt_ = 2;
  // The count of signals caught when the current pass began.
  sig_atomic_t signalsSeen_ = 0;

  // The overview answer being read: its range, the numbers it listed, and
  // whether all its lines could be placed.
  ArticleNumber overviewFirst_ = 0;
  ArticleNumber overviewLast_ = 0;
  std::vector<bool> listed_;
  std::size_t overviewLines_ = 0;
  bool overviewTrusted_ = true;
  // A line that could not be placed came after the last one placed.
  bool unplacedLast_ = false;
  // An answer that came after the overview was refused: its lines are
  // not read, the numbers they cover go to HEAD.
  bool overviewDropped_ = false;
  std::string overviewHeader_;  // reused from line to line
  // The fields that the newsgroup's conditions name.  Each condition looks
  // at its own header line alone, so a header of just those lines gives
  // every condition the verdict that the whole overview gives, and costs
  // the matcher less.
  std::vector<bool> overviewFields_;
  // The highest number the overview has listed in this newsgroup.
  ArticleNumber highestListed_ = 0;
  // Stretches in which a line that could not be placed may stand for an
  // article: numbers there that no line lists are asked for with HEAD
  // rather than taken for gone.
  std::deque<std::pair<ArticleNumber, ArticleNumber>> doubtful_;

  // Input.
  char inBuf_[kInBufSize] = {};
  int inLen_ = 0;
  // A line longer than inBuf is gathered as it comes: a status line in
  // longStatus_, a line of a text or of the overview in its collection
  // buffer, behind what the buffer holds (gathered_ bytes so far).
  std::string longStatus_;
  std::size_t gathered_ = 0;
  // The rest of the current line is read and not kept.
  bool lineCut_ = false;
  // Bytes of the answer being read (of its status line, of its header or
  // body, of one line of the overview), against answerBound_.
  std::uint64_t answerBytes_ = 0;

  // The response being read.
  Parse parseState_ = Parse::kStatus;
  Text text_ = Text::kKept;
  ArticleNumber curArticle_ = 0;
  CharBuffer hdrBuf_;
  std::size_t hdrBufSize_ = 0;
  std::size_t hdrLen_ = 0;
  CharBuffer bodyBuf_;
  std::size_t bodyBufSize_ = 0;
  std::size_t bodyLen_ = 0;
  std::array<std::unique_ptr<MatchedHeader>, kMatchChains> matchTable_;
};

// ---------------------------------------------------------------------------
// Slots, stops and the resume point

// Whether one more header may be asked for: the headers waiting for their
// bodies, and those on their way at the size of recent ones, stay within
// the budget.  With none waiting and none on its way, one always may,
// however large, so that a header larger than the budget still passes.
bool PipelineEngine::Engine::headerFits() const {
  if (heldBytes_ == 0 && headsOutstanding_ == 0) return true;
  return heldBytes_ + (headsOutstanding_ + 1) * headerGuess_ <= heldHeaderBudget_;
}

// The texts of matches go before further headers, which bounds the
// matches that wait for their text; while the budget is spent, only they
// go, and their bodies drain it.
Source PipelineEngine::Engine::nextSource() const {
  if (overviewDue()) return Source::kOverviewRange;
  if (!texts_.empty()) return Source::kText;
  const bool headerFitting = headerFits();
  if (!headersAgain_.empty() && headerFitting) return Source::kHeaderAgain;
  if (held_ || cursor_ > lastArticle_) return Source::kNone;
  switch (way_) {
    case Reading::Way::kOverview:
      return overviewsOutstanding_ < kOverviewsAhead ? Source::kOverviewRange : Source::kNone;
    case Reading::Way::kHead:
      return headerFitting ? Source::kCursor : Source::kNone;
    case Reading::Way::kArticle:
      break;
  }
  return Source::kCursor;
}

// The next overview range goes ahead of the articles waiting to be
// fetched while few are waiting, so that the server always has a range
// to work on; the matches waiting stay bounded by two ranges' worth.
bool PipelineEngine::Engine::overviewDue() const {
  return way_ == Reading::Way::kOverview && !held_ && cursor_ <= lastArticle_ &&
         overviewsOutstanding_ < kOverviewsAhead &&
         texts_.size() + headersAgain_.size() < static_cast<std::size_t>(kOverviewRange);
}

// A response has been consumed completely: its request is no longer
// outstanding.
void PipelineEngine::Engine::responseDone() {
  assert(!outstanding_.empty());
  if (outstanding_.front().kind == RequestKind::kOver) --overviewsOutstanding_;
  if (outstanding_.front().kind == RequestKind::kHead) --headsOutstanding_;
  outstanding_.pop_front();
  ++freeSlots_;
  // Slots are filled a few at a time while a long read is cut, not only
  // at its end: requests sent together are answered together, and a
  // window that always goes out whole would make every round trip wait
  // for the slowest answer of the previous one.
  if (freeSlots_ >= kEagerSlots) sendRequests();
}

void PipelineEngine::Engine::resetResponse() {
  parseState_ = Parse::kStatus;
  text_ = Text::kKept;
  hdrLen_ = 0;
  bodyLen_ = 0;
  listed_.clear();
  overviewLines_ = 0;
}

// Nothing more will be read from the connection (it is gone, silent, out
// of step with the requests, or given up by a signal): whatever is
// outstanding is forgotten, and the engine takes its stopped end.
void PipelineEngine::Engine::abandonConnection() {
  outstanding_.clear();
  overviewsOutstanding_ = 0;
  headsOutstanding_ = 0;
  freeSlots_ = maxReq_;
  keepRunning = 0;
  abandoned_ = true;
  resetResponse();
  inLen_ = 0;
  longStatus_.clear();
  gathered_ = 0;
  lineCut_ = false;
  answerBytes_ = 0;
  connection_.DiscardBuffers();
}

// Nothing numbered from `article` up is delivered in this newsgroup, so
// nothing there is asked for any more: the requests still waiting to go
// out for such articles are dropped, with the matches they were for.
void PipelineEngine::Engine::stopNewsgroupAt(ArticleNumber article) {
  if (article >= stopAt_) return;
  stopAt_ = article;
  const auto atOrAbove = [this](const Request& request) { return request.first >= stopAt_; };
  for (const Request& request : texts_)
    if (atOrAbove(request)) takeRecord(request.first);
  std::erase_if(texts_, atOrAbove);
  std::erase_if(headersAgain_, atOrAbove);
}

// The one place that says where the next run starts: behind the last
// header dealt with, unless the most recent match was not dealt with, and
// then (at a stopped end) behind the last text dealt with.  It never
// passes an article that is not dealt with, nor the article at which the
// newsgroup stopped.
ArticleNumber PipelineEngine::Engine::resumePoint(bool stopped) const {
  ArticleNumber resume = after(lastSeen_);
  const bool recentMatchDone = pendingMatch_ == 0 || pendingMatch_ <= lastDone_;
  if (stopped && !recentMatchDone) resume = after(lastDone_);
  // With several requests outstanding, or headers asked for again, a
  // later article can be dealt with before an earlier one.
  if (!pending_.empty()) resume = std::min(resume, *pending_.begin());
  return std::min(resume, stopAt_);
}

// A SIGKILL, a lost machine or the OOM killer in the middle of a long
// newsgroup must not cost its whole progress: while the run goes on, the
// resume point of a stop is offered to whoever saves it.  Articles settled
// by answers without a number are not counted settled until an answer
// with one confirms the stream is in step.
void PipelineEngine::Engine::offerCheckpoint() {
  if (!checkpointSink_ || !keepRunning) return;
  const ArticleNumber next = std::min(resumePoint(true), unconfirmed_);
  if (next == lastCheckpoint_) return;
  lastCheckpoint_ = next;
  checkpointSink_(*ngInfo_, next);
}

// A header examined, or one the server no longer has.
void PipelineEngine::Engine::headerDealtWith(ArticleNumber article) {
  lastSeen_ = std::max(lastSeen_, article);
  pending_.erase(article);
}

// A text that every action took, or that the server no longer has, or one
// too large to take: it is not fetched again.
void PipelineEngine::Engine::bodyDealtWith(ArticleNumber article) {
  lastDone_ = std::max(lastDone_, article);
  pending_.erase(article);
}

// ---------------------------------------------------------------------------
// Matching and delivery

void PipelineEngine::Engine::clearMatchTable() {
  // Released one record at a time: a long chain must not recurse.
  for (auto& head : matchTable_) {
    while (head) head = std::move(head->next);
  }
  heldBytes_ = 0;
}

// Unlinks the record of an article from the match table; null when there
// is none.
std::unique_ptr<MatchedHeader> PipelineEngine::Engine::takeRecord(ArticleNumber article) {
  std::unique_ptr<MatchedHeader>* link = &matchTable_[chainOf(article)];
  while (*link && (*link)->article != article) link = &(*link)->next;
  if (!*link) return nullptr;
  std::unique_ptr<MatchedHeader> mh = std::move(*link);
  *link = std::move(mh->next);
  heldBytes_ -= static_cast<std::size_t>(mh->headerLen);
  return mh;
}

// Files the verdict's actions and queues the request for the article's
// text: BODY behind a header, ARTICLE behind an overview line.
void PipelineEngine::Engine::fileMatch(ArticleNumber article, CharBuffer header, int headerLen,
                                       RequestKind fetch) {
  auto mh = std::make_unique<MatchedHeader>();
  mh->article = article;
  mh->headerLen = headerLen;
  mh->header = std::move(header);
  mh->actions = matched_;
  auto& chain = matchTable_[chainOf(article)];
  mh->next = std::move(chain);
  chain = std::move(mh);
  heldBytes_ += static_cast<std::size_t>(headerLen);
  texts_.push_back({fetch, article, article});
  pending_.insert(article);
  pendingMatch_ = std::max(pendingMatch_, article);
}

void PipelineEngine::Engine::reportVerdict(HeaderFilter::Verdict verdict) {
  switch (verdict) {
    case HeaderFilter::Verdict::kMatch: Progress("match!\n"); break;
    case HeaderFilter::Verdict::kNoMatch: Progress("no match.\n"); break;
    case HeaderFilter::Verdict::kGeneralFailed: Progress("no match. (general)\n"); break;
  }
}

// A collected text without its last line feed, NUL-terminated.
std::string_view PipelineEngine::Engine::finishText(CharBuffer& buf, std::size_t& len) {
  if (len > 0) --len;
  buf.get()[len] = '\0';
  return std::string_view(buf.get(), len);
}

void PipelineEngine::Engine::processHeader() {
  const std::string_view text = finishText(hdrBuf_, hdrLen_);
  headerGuess_ = std::max(text.size(), headerGuess_ - headerGuess_ / 8);
  const HeaderFilter::Verdict verdict = filter_->Test(text, matched_);
  headerDealtWith(curArticle_);
  if (verdict == HeaderFilter::Verdict::kMatch) {
    if (heldBytes_ != 0 && heldBytes_ + text.size() > heldHeaderBudget_) {
      // Headers that went out before the budget was spent: this one waits
      // for room, without its text, and is read again once there is.
      Progress("match, read again later: too many headers wait for their bodies.\n");
      askHeaderAgain(curArticle_);
      return;
    }
    // The record takes the buffer; collection goes on in a fresh one.
    fitBuffer(hdrBuf_, hdrBufSize_, hdrLen_ + 1);
    fileMatch(curArticle_, std::move(hdrBuf_), static_cast<int>(hdrLen_), RequestKind::kBody);
    hdrBufSize_ = kHeaderBufStart;
    hdrBuf_ = freshBuffer(kHeaderBufStart);
  }
  reportVerdict(verdict);
}

void PipelineEngine::Engine::deliveryFailed(ArticleNumber article) {
  stopNewsgroupAt(article);
  // A delivery cut short by a stop signal (a lock no longer waited for, a
  // command that the signal ended) is the signal's doing: the article
  // comes with the next run, and the run was only stopped.
  if (signalsCaught == 0) runFailed = 1;
  // When no signal stopped the run before this failure, the first signal
  // that comes is already a further one.
  if (keepRunning) abandonAt_ = signalsCaught + 1;
  keepRunning = 0;
}

void PipelineEngine::Engine::deliver(const std::vector<const ActionInfo*>& actions,
                                     const char* header, int headerLen, bool bodyHasLines,
                                     ArticleNumber article) {
  const char* body = bodyBuf_.get();
  const int bodyLen = static_cast<int>(bodyLen_);
  for (const ActionInfo* actInfo : actions) {
    if (ProcessAction(actInfo, header, headerLen, body, bodyLen, bodyHasLines) < 1) {
      deliveryFailed(article);
      return;
    }
  }
  bodyDealtWith(article);
  Progress("done!\n");
}

void PipelineEngine::Engine::processBody() {
  // Told apart before the last line feed goes: a body of no lines and one
  // of one empty line are both the empty text.
  const bool bodyHasLines = bodyLen_ != 0;
  finishText(bodyBuf_, bodyLen_);
  // A body is asked for only for an article with a record, and its answer
  // carries the number that was asked for.
  const std::unique_ptr<MatchedHeader> mh = takeRecord(curArticle_);
  assert(mh != NULL);
  deliver(mh->actions, mh->header.get(), mh->headerLen, bodyHasLines, curArticle_);
}

// An ARTICLE answer, split at its first empty line: the same header and
// body that HEAD and BODY give.
void PipelineEngine::Engine::processArticle() {
  const std::string_view header = finishText(hdrBuf_, hdrLen_);
  const bool bodyHasLines = bodyLen_ != 0;
  finishText(bodyBuf_, bodyLen_);
  const int headerLen = static_cast<int>(header.size());
  if (const std::unique_ptr<MatchedHeader> mh = takeRecord(curArticle_)) {
    deliver(mh->actions, header.data(), headerLen, bodyHasLines, curArticle_);
    return;
  }
  // Read with ARTICLE alone: the article decides for itself.
  headerDealtWith(curArticle_);
  if (filter_->Test(header, matched_) != HeaderFilter::Verdict::kMatch) {
    Progress("no match.\n");
    return;
  }
  pendingMatch_ = std::max(pendingMatch_, curArticle_);
  deliver(matched_, header.data(), headerLen, bodyHasLines, curArticle_);
}

// ---------------------------------------------------------------------------
// The overview

// An article whose header is read with HEAD after all: one that the
// overview could not tell about, or a match that waited for room.
void PipelineEngine::Engine::askHeaderAgain(ArticleNumber article) {
  if (article >= stopAt_ || !pending_.insert(article).second) return;
  headersAgain_.push_back({RequestKind::kHead, article, article});
}

// Numbers from..to that no line listed: gone, unless a line that could not
// be placed may have stood for one of them.
void PipelineEngine::Engine::askGapAgain(ArticleNumber from, ArticleNumber to) {
  for (const auto& [low, high] : doubtful_) {
    for (ArticleNumber n = std::max(from, low); n <= std::min(to, high); ++n) askHeaderAgain(n);
  }
  while (!doubtful_.empty() && doubtful_.front().second <= to) doubtful_.pop_front();
}

// A line without a usable number, one outside the range asked for, one
// that repeats or comes out of order: the answer no longer says for sure
// which numbers it left out.  A line that stands where it came stands for
// a number above the last one placed.
void PipelineEngine::Engine::oddOverviewLine() {
  if (!overviewTrusted_) return;
  overviewTrusted_ = false;
  const ArticleNumber from = std::max(overviewFirst_, after(highestListed_));
  if (from <= overviewLast_) doubtful_.emplace_back(from, overviewLast_);
}

void PipelineEngine::Engine::overviewLine(std::string_view line, bool cut) {
  if (overviewDropped_) return;
  if (!line.empty() && line[0] == '.') line.remove_prefix(1);
  const bool tooLarge = cut || line.size() > articleLimit_;
  ArticleNumber article = 0;
  std::string& header = overviewHeader_;
  bool usable = false;
  if (!overview_->format.ParseLine(line, &article, &header, &usable, &overviewFields_) ||
      article < overviewFirst_ || article > overviewLast_) {
    oddOverviewLine();
    unplacedLast_ = true;
    return;
  }
  const std::size_t index = static_cast<std::size_t>(article - overviewFirst_);
  if (listed_[index]) {
    oddOverviewLine();
    unplacedLast_ = true;
    return;
  }
  listed_[index] = true;
  // A number in the range asked for: the answers before were in step.
  unconfirmed_ = kHighest;
  if (article <= highestListed_) {
    // Its place was passed for a gap: the article is read with HEAD.
    oddOverviewLine();
    askHeaderAgain(article);
    return;
  }
  askGapAgain(after(highestListed_), before(article));
  highestListed_ = article;
  unplacedLast_ = false;
  if (article >= stopAt_) return;
  Progress("Examining article %lld... ", article);
  if (tooLarge) {
    Progress("skipped.\n");
    Diag("article %lld: larger than %lu bytes, skipped\n", article, articleLimit_);
  } else if (!usable) {
    // Too few fields: what they would have said is not known.
    Progress("incomplete overview, asking for its header.\n");
    askHeaderAgain(article);
  } else {
    const HeaderFilter::Verdict verdict = filter_->Test(header, matched_);
    if (verdict == HeaderFilter::Verdict::kMatch) fileMatch(article, nullptr, 0, RequestKind::kArticle);
    reportVerdict(verdict);
  }
  lastSeen_ = std::max(lastSeen_, article);
}

// The end of an overview answer.  A line that could not be placed after
// the last one placed stands for a number above it, up to the end of the
// range, and no later line will place it: those numbers are read with
// HEAD, rather than waited for as if the overview did not list them yet
// (a server whose every line is unusable would hold the newsgroup where
// it is for good).
void PipelineEngine::Engine::overviewEnded() {
  if (overviewDropped_ || !unplacedLast_) return;
  askGapAgain(after(highestListed_), overviewLast_);
  highestListed_ = std::max(highestListed_, overviewLast_);
}

// The overview is not to be had here after all: the rest of the newsgroup
// is read with HEAD, from behind the last number it listed.
void PipelineEngine::Engine::overviewRefused(std::string_view line) {
  way_ = Reading::Way::kHead;
  cursor_ = after(highestListed_);
  Progress("%s refused -- %s; reading with HEAD from article %lld\n", overview_->verb(),
           shown(line).c_str(), cursor_);
}

// ---------------------------------------------------------------------------
// Responses

// Whether a text of `collected` bytes may take `more`.
bool PipelineEngine::Engine::fitsLimit(std::size_t collected, std::size_t more) const {
  return articleLimit_ == 0 ||
         (collected <= articleLimit_ && more <= articleLimit_ - collected);
}

// The one place that collects text: appends the line and a LF to a
// collection buffer, unless that would take the text past the article
// limit.  A line gathered in pieces already stands in the buffer where it
// goes (but for a stuffed dot), with room for its LF and the NUL: the
// buffer does not move under it.
void PipelineEngine::Engine::collectLine(CharBuffer& buf, std::size_t& bufSize, std::size_t& len,
                                         std::string_view line) {
  if (text_ != Text::kKept) return;
  if (!fitsLimit(len, line.size())) {
    text_ = Text::kTooLarge;
    return;
  }
  if (!growBuffer(buf, bufSize, len + line.size() + 2)) {
    outOfMemory();
    return;
  }
  char* dst = buf.get() + len;
  std::memmove(dst, line.data(), line.size());
  dst[line.size()] = '\n';
  len += line.size() + 1;
}

// Unstuffed only: delivery writes the mailbox form ("From " quoting)
// where it is wanted, and a Maildir keeps the text as it is.  Header lines
// keep their dots, as the header of a HEAD does.
void PipelineEngine::Engine::bodyLine(std::string_view line) {
  if (!line.empty() && line[0] == '.') line.remove_prefix(1);
  collectLine(bodyBuf_, bodyBufSize_, bodyLen_, line);
}

// A collection buffer could not grow.  What it asked for is usually far
// more than the reserve that lets a run wind down, so the text is dropped
// rather than tried again, its buffers given back, and the article holds
// its newsgroup as a failed delivery does: the next run fetches it again.
void PipelineEngine::Engine::outOfMemory() {
  if (parseState_ == Parse::kOverview) {
    // The line stands for an article past the highest one listed.
    stopNewsgroupAt(after(highestListed_));
  } else {
    text_ = Text::kNoMemory;
    stopNewsgroupAt(curArticle_);
    hdrLen_ = 0;
    bodyLen_ = 0;
  }
  hdrBuf_.reset();
  hdrBufSize_ = kHeaderBufStart;
  hdrBuf_ = freshBuffer(kHeaderBufStart);
  bodyBuf_.reset();
  bodyBufSize_ = kBodyBufStart;
  bodyBuf_ = freshBuffer(kBodyBufStart);
  // As after a failed delivery, the first signal that comes is already a
  // further one.
  if (keepRunning) abandonAt_ = signalsCaught + 1;
  // The buffers given back hold more than the reserve: with it taken anew
  // where it was spent, this stops the run as a first failure does, and
  // never ends it unsaved.
  InstallOutOfMemoryHandler();
  OutOfMemory("realloc()");
}

// A header or body over the limit: reported, and never fetched again.
void PipelineEngine::Engine::skipTooLarge(Parse state, ArticleNumber article) {
  Progress("skipped.\n");
  Diag("article %lld: larger than %lu bytes, skipped\n", article, articleLimit_);
  if (state != Parse::kBody) headerDealtWith(article);
  if (state != Parse::kHeader) {
    takeRecord(article);
    bodyDealtWith(article);
  }
}

// The "." line that ends a header, a body or an article.
void PipelineEngine::Engine::endOfText() {
  const Parse state = parseState_;
  const ArticleNumber article = curArticle_;
  bool delivering = false;
  switch (text_) {
    case Text::kKept:
      if (state == Parse::kHeader) {
        processHeader();
      } else if (state == Parse::kBody) {
        processBody();
        delivering = true;
      } else {
        processArticle();
        delivering = true;
      }
      break;
    case Text::kTooLarge:
      skipTooLarge(state, article);
      break;
    case Text::kNoMemory:
      Progress("out of memory.\n");
      if (state != Parse::kHeader) takeRecord(article);
      break;
    case Text::kDropped:
      if (state != Parse::kHeader) takeRecord(article);
      break;
  }
  resetResponse();
  responseDone();
  // A delivery takes long beside everything else the engine does; the slot
  // it leaves is filled at once while few requests are outstanding, so
  // that the server works while the next texts of the same read are
  // delivered.  With more outstanding it has work enough, and a write for
  // every slot would cost more than the wait it saves.
  if (delivering && maxReq_ - freeSlots_ < kEagerSlots) sendRequests();
}

// The server no longer has the article: it is dealt with.
void PipelineEngine::Engine::articleGone(const Request& request) {
  if (request.kind != RequestKind::kHead) takeRecord(request.first);
  if (request.first >= stopAt_) return;
  if (request.kind != RequestKind::kBody) headerDealtWith(request.first);
  if (request.kind != RequestKind::kHead) bodyDealtWith(request.first);
}

// A refusal may be temporary ("503 program fault", "480 authentication
// required"): the article holds the newsgroup, so that nothing behind it
// is delivered before it, and the next run starts with it.
void PipelineEngine::Engine::articleRefused(const Request& request, std::string_view line) {
  if (request.kind != RequestKind::kHead) takeRecord(request.first);
  // An answer that was on its way when the newsgroup stopped.
  if (request.first >= stopAt_) return;
  Diag("article %lld: server refused %s -- %s\n", request.first, verbOf(request.kind),
       shown(line).c_str());
  stopNewsgroupAt(request.first);
  held_ = true;
  runFailed = 1;
}

// The stream no longer tells which answer belongs to which request, so
// nothing more from it can be trusted, nor the answers without a number
// since the last one that showed it in step.
void PipelineEngine::Engine::outOfStep(ArticleNumber article, std::string_view line) {
  Diag("article %lld: answer out of step with the requests -- %s\n", article,
       shown(line).c_str());
  runFailed = 1;
  stopNewsgroupAt(unconfirmed_);
  abandonConnection();
}

// An answer that runs on past any size its request allows would be read
// for as long as the server sends it, holding the newsrc lock.  A text
// that far past the limit is skipped for good like any other, so that the
// next run does not meet it again; then the connection is given up as one
// out of step.
void PipelineEngine::Engine::answerWithoutEnd() {
  const ArticleNumber article =
      outstanding_.empty() ? lastRequested_ : outstanding_.front().first;
  const bool text = parseState_ != Parse::kStatus && parseState_ != Parse::kOverview;
  if (text && text_ == Text::kTooLarge) skipTooLarge(parseState_, article);
  Diag("article %lld: answer too long, taken as out of step with the requests\n", article);
  runFailed = 1;
  stopNewsgroupAt(unconfirmed_);
  abandonConnection();
}

void PipelineEngine::Engine::openText(const Request& request) {
  switch (request.kind) {
    case RequestKind::kHead: parseState_ = Parse::kHeader; break;
    case RequestKind::kBody: parseState_ = Parse::kBody; break;
    default: parseState_ = Parse::kArticleHeader; break;
  }
  curArticle_ = request.first;
  hdrLen_ = 0;
  bodyLen_ = 0;
  // Its number checked out: the answers before it were in step.
  unconfirmed_ = kHighest;
  if (request.first >= stopAt_) {
    text_ = Text::kDropped;
    return;
  }
  text_ = Text::kKept;
  if (request.kind == RequestKind::kHead)
    Progress("Examining article %lld... ", request.first);
  else
    Progress("  Saving article %lld... ", request.first);
}

void PipelineEngine::Engine::openOverview(const Request& request) {
  parseState_ = Parse::kOverview;
  overviewDropped_ = way_ != Reading::Way::kOverview;
  overviewFirst_ = request.first;
  overviewLast_ = request.last;
  overviewTrusted_ = true;
  unplacedLast_ = false;
  listed_.assign(static_cast<std::size_t>(request.last - request.first) + 1, false);
  overviewLines_ = 0;
}

// A status line answers the oldest outstanding request, and only in the
// ways that request can be answered; anything else is out of step.
void PipelineEngine::Engine::handleStatusLine(std::string_view line) {
  if (outstanding_.empty()) {
    outOfStep(lastRequested_, line);
    return;
  }
  const Request request = outstanding_.front();
  const int code = statusCode(line);
  const bool withoutNumber = code >= 400 && code <= 599;
  if (withoutNumber) settledWithoutNumber(request.first);
  if (request.kind == RequestKind::kOver) {
    if (code == 224) {
      openOverview(request);
    } else if (code == 423 || code == 420) {
      // Nothing listed in the range (420: older servers' word for it).
      responseDone();
    } else if (withoutNumber) {
      // Once refused, the overview is read no more in this newsgroup.
      if (way_ == Reading::Way::kOverview) overviewRefused(line);
      responseDone();
    } else {
      outOfStep(request.first, line);
    }
    return;
  }
  if (code == 423 || code == 430) {
    articleGone(request);
    responseDone();
    return;
  }
  if (withoutNumber) {
    articleRefused(request, line);
    responseDone();
    return;
  }
  const int opener = request.kind == RequestKind::kHead   ? 221
                     : request.kind == RequestKind::kBody ? 222
                                                          : 220;
  ArticleNumber number = 0;
  if (code == opener && statusArticle(line, &number) && number == request.first) {
    openText(request);
    return;
  }
  outOfStep(request.first, line);
}

void PipelineEngine::Engine::dispatchLine(std::string_view line, bool cut) {
  switch (parseState_) {
    case Parse::kStatus:
      handleStatusLine(line);
      return;
    case Parse::kOverview:
      if (isEndLine(line)) {
        overviewEnded();
        resetResponse();
        responseDone();
      } else if (++overviewLines_ > 2 * listed_.size()) {
        // Far more lines than numbers asked for: an answer without end.
        answerWithoutEnd();
      } else {
        overviewLine(line, cut);
      }
      return;
    case Parse::kArticleHeader:
      if (line.empty()) {
        parseState_ = Parse::kArticleBody;
        return;
      }
      [[fallthrough]];
    case Parse::kHeader:
      if (isEndLine(line))
        endOfText();
      else
        collectLine(hdrBuf_, hdrBufSize_, hdrLen_, line);
      return;
    case Parse::kBody:
    case Parse::kArticleBody:
      if (isEndLine(line))
        endOfText();
      else
        bodyLine(line);
      return;
  }
}

// ---------------------------------------------------------------------------
// The wire

// The buffer in which the current line of a text or of the overview is
// collected, with its size and the bytes it holds.
PipelineEngine::Engine::Collection PipelineEngine::Engine::collection() {
  if (parseState_ == Parse::kHeader || parseState_ == Parse::kArticleHeader)
    return {hdrBuf_, hdrBufSize_, hdrLen_};
  // While the overview is read no body is collected.
  return {bodyBuf_, bodyBufSize_, bodyLen_};
}

// Part of a line longer than inBuf.  A status line is kept to a sane
// length; a line of a text or of the overview is gathered in place, as
// far as the article limit leaves room for it (and for a stuffed dot and
// a CR, which it loses once whole), with room for the LF and NUL that it
// gets then.  Of an overview line too long to use, its number is kept.
void PipelineEngine::Engine::keepLinePiece(const char* piece, std::size_t len) {
  if (lineCut_) return;
  if (parseState_ == Parse::kStatus) {
    const std::size_t room = kStatusLineKept - longStatus_.size();
    longStatus_.append(piece, std::min(len, room));
    lineCut_ = len > room;
    return;
  }
  const bool overview = parseState_ == Parse::kOverview;
  if (!overview && text_ != Text::kKept) {
    lineCut_ = true;
    return;
  }
  const Collection target = collection();
  const std::size_t room =
      (target.len <= articleLimit_ ? articleLimit_ - target.len : 0) + 2 - gathered_;
  if (len > room) {
    lineCut_ = true;
    if (!overview) {
      gathered_ = 0;
      text_ = Text::kTooLarge;
      return;
    }
    gathered_ = std::min(gathered_, kStatusLineKept);
    len = std::min(len, kStatusLineKept - gathered_);
  }
  if (!growBuffer(target.buf, target.size, target.len + gathered_ + len + 2)) {
    outOfMemory();
    gathered_ = 0;
    lineCut_ = true;
    return;
  }
  std::memcpy(target.buf.get() + target.len + gathered_, piece, len);
  gathered_ += len;
}

// A line has ended: `tail` is what of it stood in inBuf.  The bytes of an
// answer are counted by the line, so each of its parts (status line,
// header, body, each line of the overview) starts its count anew.
void PipelineEngine::Engine::finishLine(std::string_view tail) {
  const Parse before = parseState_;
  if (gathered_ == 0 && longStatus_.empty() && !lineCut_) {
    dispatchLine(withoutCr(tail), false);
  } else {
    keepLinePiece(tail.data(), tail.size());
    const bool cut = lineCut_;
    lineCut_ = false;
    const std::size_t gathered = gathered_;
    gathered_ = 0;
    if (parseState_ == Parse::kStatus) {
      const std::string line = std::move(longStatus_);
      longStatus_.clear();
      dispatchLine(cut ? std::string_view(line) : withoutCr(line), cut);
    } else if (parseState_ == Parse::kOverview || (!cut && text_ == Text::kKept)) {
      const Collection target = collection();
      const std::string_view line(target.buf.get() + target.len, gathered);
      dispatchLine(cut ? line : withoutCr(line), cut);
    }
    // The rest of a cut header or body line belongs to a text that is
    // passed over.
  }
  if (parseState_ != before || parseState_ == Parse::kStatus || parseState_ == Parse::kOverview)
    answerBytes_ = 0;
}

// Counts bytes of the answer being read; false, the connection given up,
// when they run past any size it may have.
bool PipelineEngine::Engine::answerWithinBound(std::size_t bytes) {
  answerBytes_ += bytes;
  if (answerBytes_ <= answerBound_) return true;
  answerWithoutEnd();
  return false;
}

// Only the bytes just received can hold a line feed: the ones before them
// are the start of a line that had none.
void PipelineEngine::Engine::cutLines(std::size_t received) {
  char* lineStart = inBuf_;
  char* scan = inBuf_ + inLen_;
  char* const end = scan + received;
  while (char* lf = static_cast<char*>(std::memchr(scan, '\n', end - scan))) {
    const std::string_view line(lineStart, lf - lineStart);
    lineStart = scan = lf + 1;
    if (!answerWithinBound(line.size() + 1)) return;
    finishLine(line);
    if (!abandoned_ && signalAbandons()) abandonConnection();
    if (abandoned_) return;
  }
  std::ptrdiff_t len = end - lineStart;
  assert(len >= 0);
  if (static_cast<std::size_t>(len) == kInBufSize) {
    // A line longer than the buffer is gathered aside, as far as it may be
    // kept.
    if (!answerWithinBound(kInBufSize)) return;
    keepLinePiece(lineStart, kInBufSize);
    len = 0;
  } else if (lineStart != inBuf_ && len > 0) {
    std::memmove(inBuf_, lineStart, len);
  }
  inLen_ = static_cast<int>(len);
}

void PipelineEngine::Engine::receive() {
  const long n = connection_.Read(inBuf_ + inLen_, kInBufSize - inLen_);
  if (n == 0) return;
  if (n < 0) {
    // The connection has said why.
    runFailed = 1;
    abandonConnection();
    return;
  }
  cutLines(static_cast<std::size_t>(n));
}

void PipelineEngine::Engine::queueRequest(const Request& request) {
  char line[96];
  if (request.kind == RequestKind::kOver) {
    std::snprintf(line, sizeof line, "%s %lld-%lld\r\n", overview_->verb(), request.first,
                  request.last);
    ++overviewsOutstanding_;
  } else {
    std::snprintf(line, sizeof line, "%s %lld\r\n", verbOf(request.kind), request.first);
    if (request.kind == RequestKind::kHead) ++headsOutstanding_;
  }
  outstanding_.push_back(request);
  lastRequested_ = request.first;
  --freeSlots_;
  connection_.Queue(line);
}

// Fills every free slot, in the order nextSource gives.  The lines leave
// in one write: on loopback every write is a whole TCP transmit.  A huge
// window goes out in pieces of kOutputBound bytes, pass by pass.
void PipelineEngine::Engine::sendRequests() {
  if (!sending()) return;
  bool queued = false;
  while (freeSlots_ > 0 && connection_.PendingOutput() <= kOutputBound) {
    const Source source = nextSource();
    if (source == Source::kNone) break;
    if (source == Source::kText || source == Source::kHeaderAgain) {
      std::deque<Request>& from = source == Source::kText ? texts_ : headersAgain_;
      const Request request = from.front();
      from.pop_front();
      queueRequest(request);
    } else if (source == Source::kOverviewRange) {
      // In unsigned arithmetic, so that no range of numbers overflows.
      const bool lastRange = static_cast<unsigned long long>(lastArticle_) -
                                 static_cast<unsigned long long>(cursor_) <
                             static_cast<unsigned long long>(kOverviewRange);
      const ArticleNumber last = lastRange ? lastArticle_ : cursor_ + (kOverviewRange - 1);
      queueRequest({RequestKind::kOver, cursor_, last});
      cursor_ = last + 1;
    } else {
      const RequestKind kind =
          way_ == Reading::Way::kArticle ? RequestKind::kArticle : RequestKind::kHead;
      queueRequest({kind, cursor_, cursor_});
      ++cursor_;
    }
    queued = true;
  }
  if (queued) connection_.FlushPending();
}

void PipelineEngine::Engine::waitAndTransfer() {
  const bool pending = connection_.PendingOutput() != 0;
  const bool pollOnly = sending() && !pending && freeSlots_ != 0 && somethingToRequest();

  NntpConnection::Readiness ready;
  switch (connection_.Wait(pollOnly, ready, signalsSeen_)) {
    case NntpConnection::WaitResult::kReady:
      break;
    case NntpConnection::WaitResult::kFailed:
      // The connection has said why.
      runFailed = 1;
      abandonConnection();
      return;
    default:
      // Nothing yet, or a signal: the pass ends and the next one looks at
      // keepRunning and the count of signals.
      return;
  }
  if (ready.writable) connection_.FlushPending();
  if (ready.readable) receive();
}

void PipelineEngine::Engine::Run(NewsgroupInfo* ngInfo, ArticleNumber lastArticle,
                                 const Reading& reading) {
  assert(ngInfo != NULL);
  assert(reading.way != Reading::Way::kOverview || reading.overview != nullptr);
  // The cursor must be able to stand one past the last article.
  if (lastArticle == kHighest) lastArticle = kHighest - 1;
  ngInfo_ = ngInfo;
  lastArticle_ = lastArticle;
  way_ = reading.way;
  overview_ = reading.overview;
  filter_.emplace(*ngInfo);
  if (way_ == Reading::Way::kOverview) {
    std::vector<std::string> names;
    for (const ConditionInfo* cond : filter_->Conditions())
      names.push_back(ConditionHeaderName(cond->pattern));
    overviewFields_ = overview_->format.FieldsNamed(names);
  }
  const ArticleNumber start = ngInfo->nextArticle;
  resumeOnceInStep_.reset();
  cursor_ = start;
  freeSlots_ = maxReq_;
  inLen_ = 0;
  longStatus_.clear();
  gathered_ = 0;
  lineCut_ = false;
  answerBytes_ = 0;
  resetResponse();
  clearMatchTable();
  texts_.clear();
  headersAgain_.clear();
  outstanding_.clear();
  overviewsOutstanding_ = 0;
  headsOutstanding_ = 0;
  overviewDropped_ = false;
  pending_.clear();
  doubtful_.clear();
  stopAt_ = kHighest;
  unconfirmed_ = kHighest;
  lastCheckpoint_ = start;
  held_ = false;
  abandoned_ = false;
  abandonAt_ = 2;
  lastDone_ = before(start);
  lastSeen_ = lastDone_;
  lastRequested_ = lastDone_;
  highestListed_ = lastDone_;
  pendingMatch_ = 0;

  for (;;) {
    // Whatever signal comes after this is noticed by the wait, and the
    // next pass looks at it.
    signalsSeen_ = signalsCaught;
    if (signalAbandons() && freeSlots_ != maxReq_) abandonConnection();
    if (freeSlots_ != 0) sendRequests();
    if (freeSlots_ == maxReq_) {
      const bool stopped = !keepRunning;
      if (stopped || ((held_ || cursor_ > lastArticle_) && texts_.empty() && headersAgain_.empty())) {
        // The last answers may have had no number, and a line the server
        // sent besides them would show only after the end (as the next
        // GROUP's answer): until the stream is seen in step, the articles
        // they settled are not passed.
        const ArticleNumber resume = resumePoint(stopped);
        ngInfo->nextArticle = std::min(resume, unconfirmed_);
        if (resume > unconfirmed_) resumeOnceInStep_ = resume;
        break;
      }
    }
    offerCheckpoint();
    waitAndTransfer();
  }
  // Matched articles whose text never came are not delivered.
  clearMatchTable();
  texts_.clear();
  headersAgain_.clear();
  pending_.clear();
  filter_.reset();
  ngInfo_ = nullptr;
}

PipelineEngine::PipelineEngine(NntpConnection& connection, int maxReq, unsigned long articleLimit,
                               std::size_t heldHeaderBudget)
    : engine_(std::make_unique<Engine>(connection, maxReq, articleLimit, heldHeaderBudget)) {}

PipelineEngine::~PipelineEngine() = default;

void PipelineEngine::Run(NewsgroupInfo* ngInfo, ArticleNumber lastArticle,
                         const Reading& reading) {
  engine_->Run(ngInfo, lastArticle, reading);
}

void PipelineEngine::SetCheckpointSink(CheckpointSink sink) {
  engine_->SetCheckpointSink(std::move(sink));
}

std::optional<ArticleNumber> PipelineEngine::ResumeOnceInStep() const {
  return engine_->ResumeOnceInStep();
}

}  // namespace pelliton
