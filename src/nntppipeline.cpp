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

[[noreturn]] void reallocFailed() {
  Diag("realloc() failed\n");
  std::exit(1);
}

CharBuffer freshBuffer(std::size_t size) {
  return CharBuffer(static_cast<char*>(mymalloc(size)));
}

// Doubles the buffer until it holds `needed` bytes.  Lengths are handed on
// as int, so a buffer never grows past what an int can count.
void growBuffer(CharBuffer& buf, std::size_t& size, std::size_t needed) {
  if (needed <= size) return;
  std::size_t newSize = size;
  while (newSize < needed) {
    if (newSize > static_cast<std::size_t>(INT_MAX) / 2) reallocFailed();
    newSize *= 2;
  }
  void* grown = std::realloc(buf.get(), newSize);
  if (grown == nullptr) reallocFailed();
  static_cast<void>(buf.release());
  buf.reset(static_cast<char*>(grown));
  size = newSize;
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
  Engine(NntpConnection& connection, int maxReq, unsigned long articleLimit)
      : connection_(connection), maxReq_(maxReq), articleLimit_(articleLimit) {
    assert(maxReq >= 1);
    hdrBufSize_ = kHeaderBufStart;
    hdrBuf_ = freshBuffer(kHeaderBufStart);
    bodyBufSize_ = kBodyBufStart;
    bodyBuf_ = freshBuffer(kBodyBufStart);
  }
  ~Engine() { clearMatchTable(); }

  void Run(NewsgroupInfo* ngInfo, ArticleNumber lastArticle, const Reading& reading);

 private:
  // --- Slots, stops and the resume point
  bool sending() const { return keepRunning && !held_; }
  bool somethingToRequest() const;
  void responseDone();
  void resetResponse();
  void abandonConnection();
  bool signalAbandons() const { return !keepRunning && signalsCaught >= abandonAt_; }
  void stopNewsgroupAt(ArticleNumber article) { stopAt_ = std::min(stopAt_, article); }
  ArticleNumber resumePoint(bool stopped) const;
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
               ArticleNumber article);
  void deliveryFailed(ArticleNumber article);

  // --- The overview
  void askHeaderAgain(ArticleNumber article);
  void askGapAgain(ArticleNumber from, ArticleNumber to);
  void oddOverviewLine();
  void overviewLine(std::string_view line, bool tooLarge);
  void overviewRefused(std::string_view line);
  bool overviewDue() const;

  // --- Responses
  bool fitsLimit(std::size_t collected, std::size_t more) const;
  void collectLine(CharBuffer& buf, std::size_t& bufSize, std::size_t& len,
                   std::string_view line);
  void bodyLine(std::string_view line);
  void endOfText();
  void articleGone(const Request& request);
  void articleRefused(const Request& request, std::string_view line);
  void outOfStep(ArticleNumber article, std::string_view line);
  void openText(const Request& request);
  void openOverview(const Request& request);
  void handleStatusLine(std::string_view line);
  void dispatchLine(std::string_view line, bool cut);

  // --- The wire
  std::size_t lineRoom() const;
  void keepLinePiece(const char* piece, std::size_t len);
  void finishLine(std::string_view tail);
  void cutLines(std::size_t received);
  void receive();
  void queueRequest(const Request& request);
  void sendRequests();
  void waitAndTransfer();

  NntpConnection& connection_;
  const int maxReq_;
  const unsigned long articleLimit_;  // 0: none

  // The newsgroup being fetched.
  NewsgroupInfo* ngInfo_ = nullptr;
  ArticleNumber lastArticle_ = 0;  // the last article to cover
  Reading::Way way_ = Reading::Way::kHead;
  const OverviewSupport* overview_ = nullptr;
  std::optional<HeaderFilter> filter_;
  std::vector<const ActionInfo*> matched_;  // the filter's verdict, reused

  // Requests.  The cursor is the first number that no request covers yet;
  // waiting requests (the text of a match, a header asked for again) go
  // before the cursor's.
  ArticleNumber cursor_ = 0;
  std::deque<Request> waiting_;
  std::deque<Request> outstanding_;
  int freeSlots_ = 0;
  ArticleNumber lastRequested_ = 0;
  int overviewsOutstanding_ = 0;

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
  // The server refused an article: nothing more is asked in this newsgroup.
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
  bool overviewTrusted_ = true;
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
  // The beginning of a line longer than inBuf; empty in the common case.
  std::string longLine_;
  // The rest of the current line is read and not kept.
  bool lineCut_ = false;

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

bool PipelineEngine::Engine::somethingToRequest() const {
  if (!waiting_.empty()) return true;
  if (cursor_ > lastArticle_) return false;
  return way_ != Reading::Way::kOverview || overviewsOutstanding_ < kOverviewsAhead;
}

// The next overview range goes ahead of the articles waiting to be
// fetched while few are waiting, so that the server always has a range
// to work on; the matches waiting stay bounded by two ranges' worth.
bool PipelineEngine::Engine::overviewDue() const {
  return way_ == Reading::Way::kOverview && cursor_ <= lastArticle_ &&
         overviewsOutstanding_ < kOverviewsAhead &&
         waiting_.size() < static_cast<std::size_t>(kOverviewRange);
}

// A response has been consumed completely: its request is no longer
// outstanding.
void PipelineEngine::Engine::responseDone() {
  assert(!outstanding_.empty());
  if (outstanding_.front().kind == RequestKind::kOver) --overviewsOutstanding_;
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
}

// Nothing more will be read from the connection (it is gone, silent, out
// of step with the requests, or given up by a signal): whatever is
// outstanding is forgotten, and the engine takes its stopped end.
void PipelineEngine::Engine::abandonConnection() {
  outstanding_.clear();
  overviewsOutstanding_ = 0;
  freeSlots_ = maxReq_;
  keepRunning = 0;
  abandoned_ = true;
  resetResponse();
  inLen_ = 0;
  longLine_.clear();
  lineCut_ = false;
  connection_.DiscardBuffers();
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
}

// Unlinks the record of an article from the match table; null when there
// is none.
std::unique_ptr<MatchedHeader> PipelineEngine::Engine::takeRecord(ArticleNumber article) {
  std::unique_ptr<MatchedHeader>* link = &matchTable_[chainOf(article)];
  while (*link && (*link)->article != article) link = &(*link)->next;
  if (!*link) return nullptr;
  std::unique_ptr<MatchedHeader> mh = std::move(*link);
  *link = std::move(mh->next);
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
  waiting_.push_back({fetch, article, article});
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
  const HeaderFilter::Verdict verdict = filter_->Test(text, matched_);
  headerDealtWith(curArticle_);
  if (verdict == HeaderFilter::Verdict::kMatch) {
    // The record takes the buffer; collection goes on in a fresh one.
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
                                     const char* header, int headerLen, ArticleNumber article) {
  const char* body = bodyBuf_.get();
  const int bodyLen = static_cast<int>(bodyLen_);
  for (const ActionInfo* actInfo : actions) {
    if (ProcessAction(actInfo, header, headerLen, body, bodyLen) < 1) {
      deliveryFailed(article);
      return;
    }
  }
  bodyDealtWith(article);
  Progress("done!\n");
}

void PipelineEngine::Engine::processBody() {
  finishText(bodyBuf_, bodyLen_);
  // A body is asked for only for an article with a record, and its answer
  // carries the number that was asked for.
  const std::unique_ptr<MatchedHeader> mh = takeRecord(curArticle_);
  assert(mh != NULL);
  deliver(mh->actions, mh->header.get(), mh->headerLen, curArticle_);
}

// An ARTICLE answer, split at its first empty line: the same header and
// body that HEAD and BODY give.
void PipelineEngine::Engine::processArticle() {
  const std::string_view header = finishText(hdrBuf_, hdrLen_);
  finishText(bodyBuf_, bodyLen_);
  const int headerLen = static_cast<int>(header.size());
  if (const std::unique_ptr<MatchedHeader> mh = takeRecord(curArticle_)) {
    deliver(mh->actions, header.data(), headerLen, curArticle_);
    return;
  }
  // Read with ARTICLE alone: the article decides for itself.
  headerDealtWith(curArticle_);
  if (filter_->Test(header, matched_) != HeaderFilter::Verdict::kMatch) {
    Progress("no match.\n");
    return;
  }
  pendingMatch_ = std::max(pendingMatch_, curArticle_);
  deliver(matched_, header.data(), headerLen, curArticle_);
}

// ---------------------------------------------------------------------------
// The overview

// An article that the overview could not tell about is read with HEAD, as
// if there were no overview.
void PipelineEngine::Engine::askHeaderAgain(ArticleNumber article) {
  if (!pending_.insert(article).second) return;
  waiting_.push_back({RequestKind::kHead, article, article});
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

void PipelineEngine::Engine::overviewLine(std::string_view line, bool tooLarge) {
  if (overviewDropped_) return;
  if (!line.empty() && line[0] == '.') line.remove_prefix(1);
  ArticleNumber article = 0;
  std::string& header = overviewHeader_;
  bool usable = false;
  if (!overview_->format.ParseLine(line, &article, &header, &usable, &overviewFields_) ||
      article < overviewFirst_ || article > overviewLast_) {
    oddOverviewLine();
    return;
  }
  const std::size_t index = static_cast<std::size_t>(article - overviewFirst_);
  if (listed_[index]) {
    oddOverviewLine();
    return;
  }
  listed_[index] = true;
  if (article <= highestListed_) {
    // Its place was passed for a gap: the article is read with HEAD.
    oddOverviewLine();
    askHeaderAgain(article);
    return;
  }
  askGapAgain(after(highestListed_), before(article));
  highestListed_ = article;
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
// limit.
void PipelineEngine::Engine::collectLine(CharBuffer& buf, std::size_t& bufSize, std::size_t& len,
                                         std::string_view line) {
  if (text_ != Text::kKept) return;
  if (!fitsLimit(len, line.size())) {
    text_ = Text::kTooLarge;
    return;
  }
  growBuffer(buf, bufSize, len + line.size() + 2);
  char* dst = buf.get() + len;
  std::memcpy(dst, line.data(), line.size());
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
      Progress("skipped.\n");
      Diag("article %lld: larger than %lu bytes, skipped\n", article, articleLimit_);
      if (state != Parse::kBody) headerDealtWith(article);
      if (state != Parse::kHeader) {
        takeRecord(article);
        bodyDealtWith(article);
      }
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
// nothing more from it can be trusted.
void PipelineEngine::Engine::outOfStep(ArticleNumber article, std::string_view line) {
  Diag("article %lld: answer out of step with the requests -- %s\n", article,
       shown(line).c_str());
  runFailed = 1;
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
  listed_.assign(static_cast<std::size_t>(request.last - request.first) + 1, false);
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
  if (request.kind == RequestKind::kOver) {
    if (code == 224) {
      openOverview(request);
    } else if (code == 423 || code == 420) {
      // Nothing listed in the range (420: older servers' word for it).
      responseDone();
    } else if (code >= 400 && code <= 599) {
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
  if (code >= 400 && code <= 599) {
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
        resetResponse();
        responseDone();
      } else {
        overviewLine(line, cut || (articleLimit_ != 0 && line.size() > articleLimit_));
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

// How much more of the current line may be kept: a status line a sane
// length, an overview line or a line of a text what the article limit
// leaves.
std::size_t PipelineEngine::Engine::lineRoom() const {
  std::size_t cap = 0;
  switch (parseState_) {
    case Parse::kStatus:
      cap = kStatusLineKept;
      break;
    case Parse::kOverview:
      if (articleLimit_ == 0) return SIZE_MAX;
      // A stuffed dot may still go.
      cap = articleLimit_ + 1;
      break;
    default: {
      if (text_ != Text::kKept) break;
      if (articleLimit_ == 0) return SIZE_MAX;
      const bool header = parseState_ == Parse::kHeader || parseState_ == Parse::kArticleHeader;
      const std::size_t collected = header ? hdrLen_ : bodyLen_;
      if (collected < articleLimit_) cap = articleLimit_ - collected;
      // A body line may still lose a stuffed dot.
      if (!header) ++cap;
      break;
    }
  }
  return cap > longLine_.size() ? cap - longLine_.size() : 0;
}

// Part of a line that is longer than inBuf.
void PipelineEngine::Engine::keepLinePiece(const char* piece, std::size_t len) {
  if (lineCut_) return;
  const std::size_t room = lineRoom();
  if (len <= room) {
    longLine_.append(piece, len);
    return;
  }
  lineCut_ = true;
  if (parseState_ == Parse::kStatus) {
    longLine_.append(piece, room);
    return;
  }
  if (parseState_ == Parse::kOverview) {
    // Only its number is still wanted.
    if (longLine_.size() > kStatusLineKept) longLine_.resize(kStatusLineKept);
    longLine_.append(piece, std::min(len, kStatusLineKept - longLine_.size()));
    return;
  }
  longLine_.clear();
  if (text_ == Text::kKept) text_ = Text::kTooLarge;
}

// A line has ended: `tail` is what of it stood in inBuf.
void PipelineEngine::Engine::finishLine(std::string_view tail) {
  if (longLine_.empty() && !lineCut_) {
    dispatchLine(withoutCr(tail), false);
    return;
  }
  keepLinePiece(tail.data(), tail.size());
  const std::string line = std::move(longLine_);
  longLine_.clear();
  const bool cut = lineCut_;
  lineCut_ = false;
  if (!cut)
    dispatchLine(withoutCr(line), false);
  else if (parseState_ == Parse::kStatus || parseState_ == Parse::kOverview)
    dispatchLine(line, true);
  // The rest of a cut header or body line belongs to a text that is
  // passed over.
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
    finishLine(line);
    if (!abandoned_ && signalAbandons()) abandonConnection();
    if (abandoned_) return;
  }
  std::ptrdiff_t len = end - lineStart;
  assert(len >= 0);
  if (static_cast<std::size_t>(len) == kInBufSize) {
    // A line longer than the buffer is gathered aside, as far as it may be
    // kept.
    keepLinePiece(lineStart, static_cast<std::size_t>(len));
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
  }
  outstanding_.push_back(request);
  lastRequested_ = request.first;
  --freeSlots_;
  connection_.Queue(line);
}

// Fills every free slot: waiting requests first, then the cursor's (the
// text of matched articles goes before further headers, which bounds the
// matches that wait for their text).  The lines leave in one write: on
// loopback every write is a whole TCP transmit.  A huge window goes out in
// pieces of kOutputBound bytes, pass by pass.
void PipelineEngine::Engine::sendRequests() {
  if (!sending()) return;
  bool queued = false;
  while (freeSlots_ > 0 && connection_.PendingOutput() <= kOutputBound && somethingToRequest()) {
    if (!waiting_.empty() && !overviewDue()) {
      const Request request = waiting_.front();
      waiting_.pop_front();
      queueRequest(request);
    } else if (way_ == Reading::Way::kOverview) {
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
  cursor_ = start;
  freeSlots_ = maxReq_;
  inLen_ = 0;
  longLine_.clear();
  lineCut_ = false;
  resetResponse();
  clearMatchTable();
  waiting_.clear();
  outstanding_.clear();
  overviewsOutstanding_ = 0;
  overviewDropped_ = false;
  pending_.clear();
  doubtful_.clear();
  stopAt_ = kHighest;
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
      if (stopped || held_ || (cursor_ > lastArticle_ && waiting_.empty())) {
        ngInfo->nextArticle = resumePoint(stopped);
        break;
      }
    }
    waitAndTransfer();
  }
  // Matched articles whose text never came are not delivered.
  clearMatchTable();
  waiting_.clear();
  pending_.clear();
  filter_.reset();
  ngInfo_ = nullptr;
}

PipelineEngine::PipelineEngine(NntpConnection& connection, int maxReq, unsigned long articleLimit)
    : engine_(std::make_unique<Engine>(connection, maxReq, articleLimit)) {}

PipelineEngine::~PipelineEngine() = default;

void PipelineEngine::Run(NewsgroupInfo* ngInfo, ArticleNumber lastArticle,
                         const Reading& reading) {
  engine_->Run(ngInfo, lastArticle, reading);
}

}  // namespace pelliton
