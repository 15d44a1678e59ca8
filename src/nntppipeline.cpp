#include "nntppipeline.h"

#include <regex.h>

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
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "delivery.h"
#include "util.h"

namespace pelliton {
namespace {

// What the next line from the server is.
constexpr int PARSE_STATUS = 0;
constexpr int PARSE_HEADER = 1;
constexpr int PARSE_BODY = 2;

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
constexpr std::size_t kStatusLineKept = 1024;

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

// One article whose header matched and whose body is awaited.
struct MatchedHeader {
  std::unique_ptr<MatchedHeader> next;  // same chain of the match table
  ArticleNumber article = 0;
  int headerLen = 0;
  CharBuffer header;
  std::vector<const ActionInfo*> actions;  // matched ones, in list order
};

enum class RequestKind { kHead, kBody };

// A request sent and not yet answered completely.  Responses come in the
// order of the requests, so the oldest one tells what a status line must
// answer.
struct Request {
  RequestKind kind;
  ArticleNumber article;
};

// What becomes of the text of the response being read.
enum class Text {
  kKept,      // collected for matching or delivery
  kDropped,   // an answer that was on its way when the newsgroup stopped
  kTooLarge,  // over the article limit: read to its end and passed over
};

struct Engine {
  NntpConnection* connection = nullptr;
  // Resume markers.
  ArticleNumber lastDone = 0;
  ArticleNumber lastSeen = 0;
  ArticleNumber pendingMatch = 0;
  std::vector<const NewsgroupInfo*> generalList;
  int freeSlots = 0;
  std::deque<ArticleNumber> bodyQueue;
  int maxReq = 1;
  unsigned long articleLimit = 0;  // 0: none
  char inBuf[kInBufSize] = {};
  int inLen = 0;
  // The beginning of a line longer than inBuf; empty in the common case.
  std::string longLine;
  // The rest of the current line is read and not kept.
  bool lineCut = false;
  CharBuffer hdrBuf;
  std::size_t hdrBufSize = 0;
  std::size_t hdrLen = 0;
  CharBuffer bodyBuf;
  std::size_t bodyBufSize = 0;
  std::size_t bodyLen = 0;
  int parseState = PARSE_STATUS;
  Text text = Text::kKept;
  std::array<std::unique_ptr<MatchedHeader>, kMatchChains> matchTable;
  ArticleNumber curArticle = 0;
  std::deque<Request> outstanding;
  ArticleNumber lastRequested = 0;
  // Articles whose header matched in this newsgroup and whose body has not
  // been dealt with; the resume point never passes the lowest of them.
  std::set<ArticleNumber> undelivered;
  // Nothing numbered from here up is delivered in this newsgroup: the
  // article that the server refused, or whose delivery failed.
  ArticleNumber stopAt = kHighest;
  // The server refused an article: nothing more is asked in this newsgroup.
  bool held = false;
  // The connection is not read any further.
  bool abandoned = false;
  // The count of signals caught at which the answers still outstanding
  // are given up.
  sig_atomic_t abandonAt = 2;
  // The count of signals caught when the current pass began.
  sig_atomic_t signalsSeen = 0;
  NewsgroupInfo* ngInfo = nullptr;
  ArticleNumber lastArticle = 0;  // the last article to request
};

// One engine for the whole run: its collection buffers are kept from one
// newsgroup to the next.
Engine engine;

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

// The article number of a 221 or 222 line, after the code and blanks, read
// as strtoll reads it in base 0.  False when there is none, or when it does
// not fit 64 bits.
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

void clearMatchTable() {
  // Released one record at a time: a long chain must not recurse.
  for (auto& head : engine.matchTable) {
    while (head) head = std::move(head->next);
  }
}

// Unlinks the record of an article from the match table; null when there
// is none.
std::unique_ptr<MatchedHeader> takeRecord(ArticleNumber article) {
  std::unique_ptr<MatchedHeader>* link = &engine.matchTable[chainOf(article)];
  while (*link && (*link)->article != article) link = &(*link)->next;
  if (!*link) return nullptr;
  std::unique_ptr<MatchedHeader> mh = std::move(*link);
  *link = std::move(mh->next);
  return mh;
}

// ---------------------------------------------------------------------------
// Slots, stops and the resume point

// Requests go out while the run goes on and no article holds the newsgroup.
bool sending() { return keepRunning && !engine.held; }

void sendRequests();

// A response has been consumed completely: its request is no longer
// outstanding.
void responseDone() {
  assert(!engine.outstanding.empty());
  engine.outstanding.pop_front();
  ++engine.freeSlots;
  // Slots are filled a few at a time while a long read is cut, not only
  // at its end: requests sent together are answered together, and a
  // window that always goes out whole would make every round trip wait
  // for the slowest answer of the previous one.
  if (engine.freeSlots >= kEagerSlots) sendRequests();
}

void resetResponse() {
  engine.parseState = PARSE_STATUS;
  engine.text = Text::kKept;
  engine.hdrLen = 0;
  engine.bodyLen = 0;
}

// Nothing more will be read from the connection (it is gone, silent, out
// of step with the requests, or given up by a signal): whatever is
// outstanding is forgotten, and the engine takes its stopped end.
void abandonConnection() {
  engine.outstanding.clear();
  engine.freeSlots = engine.maxReq;
  keepRunning = 0;
  engine.abandoned = true;
  resetResponse();
  engine.inLen = 0;
  engine.longLine.clear();
  engine.lineCut = false;
  engine.connection->DiscardBuffers();
}

// Once the run is stopping, a further signal gives up the answers still
// outstanding: a server that trickles them could keep the run waiting for
// ever.
bool signalAbandons() { return !keepRunning && signalsCaught >= engine.abandonAt; }

// Nothing numbered from `article` up is delivered in this newsgroup.
void stopNewsgroupAt(ArticleNumber article) { engine.stopAt = std::min(engine.stopAt, article); }

// Where the next run starts: behind the range at a normal end; at a
// stopped end behind the last header examined, unless the most recent
// match was not dealt with, and then behind the last body dealt with.
// Neither passes an article whose body was not dealt with, nor the
// article at which the newsgroup stopped.
ArticleNumber resumePoint(bool stopped) {
  ArticleNumber resume = engine.ngInfo->nextArticle;
  if (stopped) {
    bool recentMatchDone = engine.pendingMatch == 0 || engine.pendingMatch == engine.lastDone;
    resume = recentMatchDone ? after(engine.lastSeen) : after(engine.lastDone);
  }
  // With several requests outstanding a later article can be dealt with
  // after an earlier one was not; the earlier one must not be skipped.
  if (!engine.undelivered.empty()) resume = std::min(resume, *engine.undelivered.begin());
  return std::min(resume, engine.stopAt);
}

// A header examined, or one the server no longer has: the next run starts
// behind it.
void headerDealtWith(ArticleNumber article) { engine.lastSeen = article; }

// A body that every action took, or that the server no longer has, or one
// too large to take: it is not fetched again.
void bodyDealtWith(ArticleNumber article) {
  engine.lastDone = article;
  engine.undelivered.erase(article);
}

// ---------------------------------------------------------------------------
// Header matching

// The whole text, NUL bytes and all: REG_STARTEND gives regexec the text's
// length instead of letting it stop at the first NUL.
bool occursIn(const regex_t& regex, std::string_view text) {
#ifdef REG_STARTEND
  regmatch_t range[1];
  range[0].rm_so = 0;
  range[0].rm_eo = static_cast<regoff_t>(text.size());
  return regexec(&regex, text.data(), 1, range, REG_STARTEND) == 0;
#else
  // Without REG_STARTEND a NUL ends the text for matching; the text is
  // NUL-terminated by its collector.
  return regexec(&regex, text.data(), 0, nullptr, 0) == 0;
#endif
}

bool conditionsHold(const ActionInfo* actInfo, std::string_view text) {
  for (const ConditionInfo* cond : Nodes<ConditionInfo>(actInfo->conditions)) {
    if (occursIn(cond->regex, text) == (cond->negate != 0)) return false;
  }
  return true;
}

void buildGeneralList(const NewsgroupInfo* ngInfo) {
  for (const NewsgroupInfo* wild : Nodes<NewsgroupInfo>(wildNewsgroupList)) {
    if (MatchWildNewsgroup(ngInfo->name.c_str(), wild) != 0) engine.generalList.push_back(wild);
  }
}

bool passesGeneralConditions(std::string_view text) {
  for (const NewsgroupInfo* wild : engine.generalList) {
    const ActionInfo* actInfo =
        wild->actions.IsEmpty() ? nullptr : static_cast<const ActionInfo*>(wild->actions.head());
    assert(actInfo != NULL);
    if (!conditionsHold(actInfo, text)) return false;
  }
  return true;
}

void fileMatch(std::vector<const ActionInfo*> actions) {
  auto mh = std::make_unique<MatchedHeader>();
  mh->article = engine.curArticle;
  mh->headerLen = static_cast<int>(engine.hdrLen);
  // The record takes the buffer; collection goes on in a fresh one.
  mh->header = std::move(engine.hdrBuf);
  mh->actions = std::move(actions);
  auto& chain = engine.matchTable[chainOf(engine.curArticle)];
  mh->next = std::move(chain);
  chain = std::move(mh);
  engine.bodyQueue.push_back(engine.curArticle);
  engine.undelivered.insert(engine.curArticle);
  Progress("match!\n");
  engine.pendingMatch = engine.curArticle;
  engine.hdrBufSize = kHeaderBufStart;
  engine.hdrBuf = freshBuffer(kHeaderBufStart);
}

void processHeader() {
  if (engine.hdrLen > 0) --engine.hdrLen;
  engine.hdrBuf.get()[engine.hdrLen] = '\0';
  const std::string_view text(engine.hdrBuf.get(), engine.hdrLen);

  if (!passesGeneralConditions(text)) {
    Progress("no match. (general)\n");
  } else {
    std::vector<const ActionInfo*> matched;
    for (ActionInfo* actInfo : Nodes<ActionInfo>(engine.ngInfo->actions)) {
      actInfo->matched = conditionsHold(actInfo, text) ? 1 : 0;
      if (actInfo->matched) matched.push_back(actInfo);
    }
    if (matched.empty()) {
      Progress("no match.\n");
    } else {
      fileMatch(std::move(matched));
    }
  }
  headerDealtWith(engine.curArticle);
}

// ---------------------------------------------------------------------------
// Body collection and delivery

void deliveryFailed(ArticleNumber article) {
  stopNewsgroupAt(article);
  // When no signal stopped the run before this failure, the first signal
  // that comes is already a further one.
  if (keepRunning) engine.abandonAt = signalsCaught + 1;
  keepRunning = 0;
}

void deliverBody(const MatchedHeader& mh) {
  const char* body = engine.bodyBuf.get();
  const int bodyLen = static_cast<int>(engine.bodyLen);
  for (const ActionInfo* actInfo : mh.actions) {
    if (ProcessAction(actInfo, mh.header.get(), mh.headerLen, body, bodyLen) < 1) {
      deliveryFailed(mh.article);
      return;
    }
  }
  bodyDealtWith(mh.article);
  Progress("done!\n");
}

void processBody() {
  if (engine.bodyLen > 0) --engine.bodyLen;
  engine.bodyBuf.get()[engine.bodyLen] = '\0';
  // A body is asked for only for an article with a record, and its answer
  // carries the number that was asked for.
  const std::unique_ptr<MatchedHeader> mh = takeRecord(engine.curArticle);
  assert(mh != NULL);
  deliverBody(*mh);
}

// ---------------------------------------------------------------------------
// Responses

// Whether a text of `collected` bytes may take `more`.
bool fitsLimit(std::size_t collected, std::size_t more) {
  return engine.articleLimit == 0 || (collected <= engine.articleLimit &&
                                      more <= engine.articleLimit - collected);
}

// Appends the line and a LF to a collection buffer, unless that would
// take the text past the article limit.
void collectLine(CharBuffer& buf, std::size_t& bufSize, std::size_t& len,
                 std::string_view line) {
  if (engine.text != Text::kKept) return;
  if (!fitsLimit(len, line.size())) {
    engine.text = Text::kTooLarge;
    return;
  }
  growBuffer(buf, bufSize, len + line.size() + 2);
  char* dst = buf.get() + len;
  std::memcpy(dst, line.data(), line.size());
  dst[line.size()] = '\n';
  len += line.size() + 1;
}

void headerLine(std::string_view line) {
  collectLine(engine.hdrBuf, engine.hdrBufSize, engine.hdrLen, line);
}

// Unstuffed only: delivery writes the mailbox form ("From " quoting)
// where it is wanted, and a Maildir keeps the text as it is.
void bodyLine(std::string_view line) {
  if (!line.empty() && line[0] == '.') line.remove_prefix(1);
  collectLine(engine.bodyBuf, engine.bodyBufSize, engine.bodyLen, line);
}

// The "." line that ends a header or a body.
void endOfText() {
  const bool header = engine.parseState == PARSE_HEADER;
  const ArticleNumber article = engine.curArticle;
  bool delivering = false;
  switch (engine.text) {
    case Text::kKept:
      if (header) {
        processHeader();
      } else {
        processBody();
        delivering = true;
      }
      break;
    case Text::kTooLarge:
      Progress("skipped.\n");
      Diag("article %lld: larger than %lu bytes, skipped\n", article, engine.articleLimit);
      if (header) {
        headerDealtWith(article);
      } else {
        takeRecord(article);
        bodyDealtWith(article);
      }
      break;
    case Text::kDropped:
      if (!header) takeRecord(article);
      break;
  }
  resetResponse();
  responseDone();
  // A delivery takes long beside everything else the engine does; the slot
  // it leaves is filled at once, so that the server works while the next
  // bodies of the same read are delivered.
  if (delivering) sendRequests();
}

// The server no longer has the article: it is dealt with.
void articleGone(const Request& request) {
  if (request.kind == RequestKind::kBody) takeRecord(request.article);
  if (request.article >= engine.stopAt) return;
  if (request.kind == RequestKind::kHead)
    headerDealtWith(request.article);
  else
    bodyDealtWith(request.article);
}

// A refusal may be temporary ("503 program fault", "480 authentication
// required"): the article holds the newsgroup, so that nothing behind it
// is delivered before it, and the next run starts with it.
void articleRefused(const Request& request, std::string_view line) {
  if (request.kind == RequestKind::kBody) takeRecord(request.article);
  // An answer that was on its way when the newsgroup stopped.
  if (request.article >= engine.stopAt) return;
  Diag("article %lld: server refused %s -- %s\n", request.article,
       request.kind == RequestKind::kHead ? "HEAD" : "BODY", shown(line).c_str());
  stopNewsgroupAt(request.article);
  engine.held = true;
}

// The stream no longer tells which answer belongs to which request, so
// nothing more from it can be trusted.
void outOfStep(ArticleNumber article, std::string_view line) {
  Diag("article %lld: answer out of step with the requests -- %s\n", article,
       shown(line).c_str());
  abandonConnection();
}

void openText(const Request& request) {
  engine.parseState = request.kind == RequestKind::kHead ? PARSE_HEADER : PARSE_BODY;
  engine.curArticle = request.article;
  engine.hdrLen = 0;
  engine.bodyLen = 0;
  if (request.article >= engine.stopAt) {
    engine.text = Text::kDropped;
    return;
  }
  engine.text = Text::kKept;
  if (request.kind == RequestKind::kHead)
    Progress("Examining article %lld... ", request.article);
  else
    Progress("  Saving article %lld... ", request.article);
}

// A status line answers the oldest outstanding request, and only in the
// ways that request can be answered; anything else is out of step.
void handleStatusLine(std::string_view line) {
  if (engine.outstanding.empty()) {
    outOfStep(engine.lastRequested, line);
    return;
  }
  const Request request = engine.outstanding.front();
  const int code = statusCode(line);
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
  const int opener = request.kind == RequestKind::kHead ? 221 : 222;
  ArticleNumber number = 0;
  if (code == opener && statusArticle(line, &number) && number == request.article) {
    openText(request);
    return;
  }
  outOfStep(request.article, line);
}

void dispatchLine(std::string_view line) {
  switch (engine.parseState) {
    case PARSE_STATUS:
      handleStatusLine(line);
      break;
    case PARSE_HEADER:
      if (isEndLine(line))
        endOfText();
      else
        headerLine(line);
      break;
    case PARSE_BODY:
      if (isEndLine(line))
        endOfText();
      else
        bodyLine(line);
      break;
    default:
      assert(0);
  }
}

// ---------------------------------------------------------------------------
// The wire

// How much more of the current line may be kept: a status line a sane
// length, a header or body line what the article limit leaves.
std::size_t lineRoom() {
  std::size_t cap = 0;
  if (engine.parseState == PARSE_STATUS) {
    cap = kStatusLineKept;
  } else if (engine.text == Text::kKept) {
    if (engine.articleLimit == 0) return SIZE_MAX;
    const bool header = engine.parseState == PARSE_HEADER;
    const std::size_t collected = header ? engine.hdrLen : engine.bodyLen;
    if (collected < engine.articleLimit) cap = engine.articleLimit - collected;
    // A body line may still lose a stuffed dot.
    if (!header) ++cap;
  }
  return cap > engine.longLine.size() ? cap - engine.longLine.size() : 0;
}

// Part of a line that is longer than inBuf.
void keepLinePiece(const char* piece, std::size_t len) {
  if (engine.lineCut) return;
  const std::size_t room = lineRoom();
  if (len <= room) {
    engine.longLine.append(piece, len);
    return;
  }
  engine.lineCut = true;
  if (engine.parseState == PARSE_STATUS) {
    engine.longLine.append(piece, room);
    return;
  }
  engine.longLine.clear();
  if (engine.text == Text::kKept) engine.text = Text::kTooLarge;
}

// A line has ended: `tail` is what of it stood in inBuf.
void finishLine(std::string_view tail) {
  if (engine.longLine.empty() && !engine.lineCut) {
    dispatchLine(withoutCr(tail));
    return;
  }
  keepLinePiece(tail.data(), tail.size());
  const std::string line = std::move(engine.longLine);
  engine.longLine.clear();
  const bool cut = engine.lineCut;
  engine.lineCut = false;
  if (!cut)
    dispatchLine(withoutCr(line));
  else if (engine.parseState == PARSE_STATUS)
    dispatchLine(line);
  // The rest of a cut header or body line belongs to a text that is
  // passed over.
}

// Only the bytes just received can hold a line feed: the ones before them
// are the start of a line that had none.
void cutLines(std::size_t received) {
  char* lineStart = engine.inBuf;
  char* scan = engine.inBuf + engine.inLen;
  char* const end = scan + received;
  while (char* lf = static_cast<char*>(std::memchr(scan, '\n', end - scan))) {
    const std::string_view line(lineStart, lf - lineStart);
    lineStart = scan = lf + 1;
    finishLine(line);
    if (!engine.abandoned && signalAbandons()) abandonConnection();
    if (engine.abandoned) return;
  }
  std::ptrdiff_t len = end - lineStart;
  assert(len >= 0);
  if (static_cast<std::size_t>(len) == kInBufSize) {
    // A line longer than the buffer is gathered aside, as far as it may be
    // kept.
    keepLinePiece(lineStart, static_cast<std::size_t>(len));
    len = 0;
  } else if (lineStart != engine.inBuf && len > 0) {
    std::memmove(engine.inBuf, lineStart, len);
  }
  engine.inLen = static_cast<int>(len);
}

void receive() {
  const long n =
      engine.connection->Read(engine.inBuf + engine.inLen, kInBufSize - engine.inLen);
  if (n == 0) return;
  if (n < 0) {
    DiagPlain("server closed connection... aborting!\n");
    abandonConnection();
    return;
  }
  cutLines(static_cast<std::size_t>(n));
}

void queueRequest(RequestKind kind, ArticleNumber article) {
  char line[64];
  std::snprintf(line, sizeof line, "%s %lld\r\n", kind == RequestKind::kHead ? "HEAD" : "BODY",
                article);
  engine.outstanding.push_back({kind, article});
  engine.lastRequested = article;
  --engine.freeSlots;
  sendLine(line);
}

// Fills every free slot: queued BODY requests first, then HEAD requests
// while no BODY waits (the bodies of matched articles go before further
// headers, which bounds the headers that wait for their bodies).  The lines
// leave in one write: on loopback every write is a whole TCP transmit.  A
// huge window goes out in pieces of kOutputBound bytes, pass by pass.
void sendRequests() {
  if (!sending()) return;
  bool queued = false;
  while (engine.freeSlots > 0 && engine.connection->PendingOutput() <= kOutputBound) {
    if (!engine.bodyQueue.empty()) {
      const ArticleNumber article = engine.bodyQueue.front();
      engine.bodyQueue.pop_front();
      queueRequest(RequestKind::kBody, article);
    } else if (engine.ngInfo->nextArticle <= engine.lastArticle) {
      queueRequest(RequestKind::kHead, engine.ngInfo->nextArticle);
      ++engine.ngInfo->nextArticle;
    } else {
      break;
    }
    queued = true;
  }
  if (queued) engine.connection->FlushPending();
}

void waitAndTransfer() {
  NntpConnection& connection = *engine.connection;
  const bool pending = connection.PendingOutput() != 0;
  const bool somethingToRequest =
      !engine.bodyQueue.empty() || engine.ngInfo->nextArticle <= engine.lastArticle;
  const bool pollOnly = sending() && !pending && engine.freeSlots != 0 && somethingToRequest;

  NntpConnection::Readiness ready;
  switch (connection.Wait(pollOnly, ready, engine.signalsSeen)) {
    case NntpConnection::WaitResult::kReady:
      break;
    case NntpConnection::WaitResult::kFailed:
      abandonConnection();
      return;
    default:
      // Nothing yet, or a signal: the pass ends and the next one looks at
      // keepRunning and the count of signals.
      return;
  }
  if (ready.writable) connection.FlushPending();
  if (ready.readable) receive();
}

}  // namespace

void PipelineInit(NntpConnection& connection, int maxReq, unsigned long articleLimit) {
  assert(maxReq >= 1);
  engine.connection = &connection;
  engine.inLen = 0;
  engine.longLine.clear();
  engine.lineCut = false;
  engine.freeSlots = maxReq;
  engine.maxReq = maxReq;
  engine.articleLimit = articleLimit;
  if (!engine.hdrBuf) {
    engine.hdrBufSize = kHeaderBufStart;
    engine.hdrBuf = freshBuffer(kHeaderBufStart);
    engine.bodyBufSize = kBodyBufStart;
    engine.bodyBuf = freshBuffer(kBodyBufStart);
  }
  resetResponse();
  clearMatchTable();
  engine.bodyQueue.clear();
  engine.generalList.clear();
  engine.outstanding.clear();
  engine.undelivered.clear();
  engine.stopAt = kHighest;
  engine.held = false;
  engine.abandoned = false;
  engine.abandonAt = 2;
}

void PipelineEngine(NewsgroupInfo* ngInfo, ArticleNumber lastArticle) {
  assert(ngInfo != NULL);
  assert(engine.connection != NULL);
  // nextArticle must be able to stand one past the last article.
  if (lastArticle == kHighest) lastArticle = kHighest - 1;
  engine.ngInfo = ngInfo;
  engine.lastArticle = lastArticle;
  engine.lastDone = before(ngInfo->nextArticle);
  engine.lastSeen = engine.lastDone;
  engine.lastRequested = engine.lastDone;
  engine.pendingMatch = 0;
  buildGeneralList(ngInfo);

  for (;;) {
    // Whatever signal comes after this is noticed by the wait, and the
    // next pass looks at it.
    engine.signalsSeen = signalsCaught;
    if (signalAbandons() && engine.freeSlots != engine.maxReq) abandonConnection();
    if (engine.freeSlots != 0) sendRequests();
    if (engine.freeSlots == engine.maxReq) {
      const bool stopped = !keepRunning;
      if (stopped || engine.held ||
          (ngInfo->nextArticle > lastArticle && engine.bodyQueue.empty())) {
        ngInfo->nextArticle = resumePoint(stopped);
        return;
      }
    }
    waitAndTransfer();
  }
}

void PipelineCleanup() {
  engine.bodyQueue.clear();
  engine.generalList.clear();
  // Matched articles whose bodies never came are not delivered.
  clearMatchTable();
  engine.outstanding.clear();
  engine.undelivered.clear();
  engine.ngInfo = nullptr;
  engine.connection = nullptr;
}

void sendLine(const char* line) {
  assert(line != NULL);
  assert(engine.connection != NULL);
  const std::size_t lineLen = std::strlen(line);
  assert(lineLen > 0);
  engine.connection->Queue(std::string_view(line, lineLen));
}

}  // namespace pelliton
