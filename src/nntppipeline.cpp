#include "nntppipeline.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "delivery.h"
#include "nntpcommands.h"
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
// order of the requests, so the oldest one tells what a status line answers.
struct Request {
  RequestKind kind;
  ArticleNumber article;
};

// Why the response being read is consumed without being used.
enum class Discard { kNone, kNoNumber, kNoRecord };

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
  char inBuf[kInBufSize] = {};
  int inLen = 0;
  // The beginning of a line longer than inBuf; empty in the common case.
  std::string longLine;
  CharBuffer hdrBuf;
  std::size_t hdrBufSize = 0;
  std::size_t hdrLen = 0;
  CharBuffer bodyBuf;
  std::size_t bodyBufSize = 0;
  std::size_t bodyLen = 0;
  int parseState = PARSE_STATUS;
  Discard discard = Discard::kNone;
  std::array<std::unique_ptr<MatchedHeader>, kMatchChains> matchTable;
  ArticleNumber curArticle = 0;
  std::deque<Request> outstanding;
  // Articles whose header matched in this newsgroup and whose delivery has
  // not completed; the resume point never passes the lowest of them.
  std::multiset<ArticleNumber> undelivered;
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

bool startsWith(const char* s, const char* prefix) {
  return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

bool isEndLine(const char* line) { return line[0] == '.' && line[1] == '\0'; }

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

// ---------------------------------------------------------------------------
// Slots and the resume point

void sendRequests();

// A response has been consumed completely: its request is no longer
// outstanding.  Lines that answer no request give nothing back, so the count
// of outstanding requests holds whatever the server sends.
void responseDone() {
  if (engine.outstanding.empty()) return;
  engine.outstanding.pop_front();
  ++engine.freeSlots;
  // Slots are filled a few at a time while a long read is cut, not only
  // at its end: requests sent together are answered together, and a
  // window that always goes out whole would make every round trip wait
  // for the slowest answer of the previous one.
  if (keepRunning && engine.freeSlots >= kEagerSlots) sendRequests();
}

void forgetUndelivered(ArticleNumber article) {
  auto it = engine.undelivered.find(article);
  if (it != engine.undelivered.end()) engine.undelivered.erase(it);
}

void resetResponse() {
  engine.parseState = PARSE_STATUS;
  engine.discard = Discard::kNone;
  engine.hdrLen = 0;
  engine.bodyLen = 0;
}

// The connection is gone (closed, failed or silent too long): nothing more
// will be answered, and the engine takes its stopped end.
void abandonConnection() {
  engine.outstanding.clear();
  engine.freeSlots = engine.maxReq;
  keepRunning = 0;
  resetResponse();
  engine.inLen = 0;
  engine.longLine.clear();
  engine.connection->DiscardBuffers();
}

ArticleNumber resumePoint(bool stopped) {
  ArticleNumber resume = engine.ngInfo->nextArticle;
  if (stopped) {
    // Behind the last header examined, unless the most recent match was not
    // delivered: then behind the last article delivered completely.
    bool recentMatchDone = engine.pendingMatch == 0 || engine.pendingMatch == engine.lastDone;
    resume = recentMatchDone ? after(engine.lastSeen) : after(engine.lastDone);
  }
  // With several requests outstanding a later article can be delivered
  // after an earlier one failed; the earlier one must not be skipped.
  if (!engine.undelivered.empty()) resume = std::min(resume, *engine.undelivered.begin());
  return resume;
}

// ---------------------------------------------------------------------------
// Header matching and body collection

bool conditionsHold(const ActionInfo* actInfo, const char* text) {
  for (const ConditionInfo* cond : Nodes<ConditionInfo>(actInfo->conditions)) {
    bool found = regexec(&cond->regex, text, 0, nullptr, 0) == 0;
    if (found == (cond->negate != 0)) return false;
  }
  return true;
}

void buildGeneralList(const NewsgroupInfo* ngInfo) {
  for (const NewsgroupInfo* wild : Nodes<NewsgroupInfo>(wildNewsgroupList)) {
    if (MatchWildNewsgroup(ngInfo->name.c_str(), wild) != 0) engine.generalList.push_back(wild);
  }
}

bool passesGeneralConditions(const char* text) {
  for (const NewsgroupInfo* wild : engine.generalList) {
    const ActionInfo* actInfo =
        wild->actions.IsEmpty() ? nullptr : static_cast<const ActionInfo*>(wild->actions.head());
    assert(actInfo != NULL);
    if (!conditionsHold(actInfo, text)) return false;
  }
  return true;
}

void openResponse(const char* line) {
  bool header = line[2] == '1';
  const char* p = line + 3;
  while (*p != '\0' && isBlank(static_cast<unsigned char>(*p))) ++p;
  char* end = nullptr;
  // Beyond 64 bits strtoll holds the number at the end of the range.
  const ArticleNumber number = std::strtoll(p, &end, 0);
  engine.parseState = header ? PARSE_HEADER : PARSE_BODY;
  engine.hdrLen = 0;
  engine.bodyLen = 0;
  if (end == p) {
    // Without a number the text cannot be filed; it is still read to its
    // end so that its lines are not taken for status lines.
    Diag("response without article number, skipped -- %s\n", printable(line).c_str());
    engine.discard = Discard::kNoNumber;
    return;
  }
  engine.curArticle = number;
  engine.discard = Discard::kNone;
  if (header) {
    Progress("Examining article %lld... ", engine.curArticle);
    return;
  }
  Progress("  Saving article %lld... ", engine.curArticle);
  bool recorded = false;
  for (const MatchedHeader* mh = engine.matchTable[chainOf(engine.curArticle)].get(); mh != nullptr;
       mh = mh->next.get()) {
    if (mh->article == engine.curArticle) {
      recorded = true;
      break;
    }
  }
  if (!recorded) engine.discard = Discard::kNoRecord;
}

void handleStatusLine(const char* line) {
  if (startsWith(line, "221") || startsWith(line, "222")) {
    openResponse(line);
    return;
  }
  if (engine.outstanding.empty()) {
    reportBadResponse(line);
    return;
  }
  const Request& request = engine.outstanding.front();
  // The article is gone from the server for good; any other refusal may be
  // temporary and keeps the article in the way of the resume point.
  if (request.kind == RequestKind::kBody && (startsWith(line, "423") || startsWith(line, "430")))
    forgetUndelivered(request.article);
  responseDone();
}

void headerLine(const char* line) {
  if (engine.discard != Discard::kNone) return;
  std::size_t len = std::strlen(line);
  growBuffer(engine.hdrBuf, engine.hdrBufSize, engine.hdrLen + len + 2);
  char* dst = engine.hdrBuf.get() + engine.hdrLen;
  std::memcpy(dst, line, len);
  dst[len] = '\n';
  engine.hdrLen += len + 1;
}

// Unstuffed only: delivery writes the mailbox form ("From " quoting)
// where it is wanted, and a Maildir keeps the text as it is.
void bodyLine(const char* line) {
  if (engine.discard != Discard::kNone) return;
  const char* text = line[0] == '.' ? line + 1 : line;
  std::size_t len = std::strlen(text);
  growBuffer(engine.bodyBuf, engine.bodyBufSize, engine.bodyLen + len + 2);
  char* dst = engine.bodyBuf.get() + engine.bodyLen;
  std::memcpy(dst, text, len);
  dst[len] = '\n';
  engine.bodyLen += len + 1;
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

// The article whose header was just examined, by the number that was asked
// for: a server that numbers its answer otherwise must not move the resume
// point past articles that were never examined.
ArticleNumber examinedArticle() {
  if (!engine.outstanding.empty() && engine.outstanding.front().kind == RequestKind::kHead)
    return std::min(engine.outstanding.front().article, engine.curArticle);
  return engine.curArticle;
}

void processHeader() {
  if (engine.hdrLen > 0) --engine.hdrLen;
  engine.hdrBuf.get()[engine.hdrLen] = '\0';
  const char* text = engine.hdrBuf.get();

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
  engine.lastSeen = examinedArticle();
  resetResponse();
  responseDone();
}

void deliverBody(MatchedHeader& mh) {
  const char* body = engine.bodyBuf.get();
  int bodyLen = static_cast<int>(engine.bodyLen);
  for (const ActionInfo* actInfo : mh.actions) {
    if (ProcessAction(actInfo, mh.header.get(), mh.headerLen, body, bodyLen) < 1) {
      keepRunning = 0;
      return;
    }
  }
  engine.lastDone = engine.curArticle;
  forgetUndelivered(engine.curArticle);
  Progress("done!\n");
}

void processBody() {
  if (engine.bodyLen > 0) --engine.bodyLen;
  engine.bodyBuf.get()[engine.bodyLen] = '\0';

  std::unique_ptr<MatchedHeader>* link = &engine.matchTable[chainOf(engine.curArticle)];
  while (*link && (*link)->article != engine.curArticle) link = &(*link)->next;
  const bool delivered = static_cast<bool>(*link);
  if (delivered) {
    deliverBody(**link);
    std::unique_ptr<MatchedHeader> done = std::move(*link);
    *link = std::move(done->next);
  }
  resetResponse();
  responseDone();
  // A delivery takes long beside everything else the engine does; the slot
  // it leaves is filled at once, so that the server works while the next
  // bodies of the same read are delivered.
  if (delivered && keepRunning) sendRequests();
}

void endDiscardedResponse() {
  if (engine.parseState == PARSE_BODY && engine.discard == Discard::kNoRecord)
    Diag("article %lld: unexpected body, dropped\n", engine.curArticle);
  resetResponse();
  responseDone();
}

void dispatchLine(const char* line) {
  switch (engine.parseState) {
    case PARSE_STATUS:
      handleStatusLine(line);
      break;
    case PARSE_HEADER:
      if (!isEndLine(line))
        headerLine(line);
      else if (engine.discard != Discard::kNone)
        endDiscardedResponse();
      else
        processHeader();
      break;
    case PARSE_BODY:
      if (!isEndLine(line))
        bodyLine(line);
      else if (engine.discard != Discard::kNone)
        endDiscardedResponse();
      else
        processBody();
      break;
    default:
      assert(0);
  }
}

// ---------------------------------------------------------------------------
// The wire

// Only the bytes just received can hold a line feed: the ones before them
// are the start of a line that had none.
void cutLines(std::size_t received) {
  char* lineStart = engine.inBuf;
  char* scan = engine.inBuf + engine.inLen;
  char* const end = scan + received;
  while (char* lf = static_cast<char*>(std::memchr(scan, '\n', end - scan))) {
    *lf = '\0';
    if (engine.longLine.empty()) {
      if (lf > lineStart && lf[-1] == '\r') lf[-1] = '\0';
      dispatchLine(lineStart);
    } else {
      engine.longLine.append(lineStart, lf - lineStart);
      if (engine.longLine.back() == '\r') engine.longLine.pop_back();
      dispatchLine(engine.longLine.c_str());
      engine.longLine.clear();
    }
    lineStart = scan = lf + 1;
  }
  std::ptrdiff_t len = end - lineStart;
  assert(len >= 0);
  if (static_cast<std::size_t>(len) == kInBufSize) {
    // A line longer than the buffer is gathered aside and handed on whole.
    engine.longLine.append(lineStart, len);
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
  --engine.freeSlots;
  sendLine(line);
}

// Fills every free slot: queued BODY requests first, then HEAD requests
// while no BODY waits (the bodies of matched articles go before further
// headers, which bounds the headers that wait for their bodies).  The lines
// leave in one write: on loopback every write is a whole TCP transmit.  A
// huge window goes out in pieces of kOutputBound bytes, pass by pass.
void sendRequests() {
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
  const bool pollOnly = keepRunning && !pending && engine.freeSlots != 0 && somethingToRequest;

  NntpConnection::Readiness ready;
  switch (connection.Wait(pollOnly, ready)) {
    case NntpConnection::WaitResult::kReady:
      break;
    case NntpConnection::WaitResult::kFailed:
      abandonConnection();
      return;
    default:
      // Nothing yet, or a signal: the pass ends and the next one looks at
      // keepRunning.
      return;
  }
  if (ready.writable) connection.FlushPending();
  if (ready.readable) receive();
}

}  // namespace

void PipelineInit(NntpConnection& connection, int maxReq) {
  assert(maxReq >= 1);
  engine.connection = &connection;
  engine.inLen = 0;
  engine.longLine.clear();
  engine.freeSlots = maxReq;
  engine.maxReq = maxReq;
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
  engine.pendingMatch = 0;
  buildGeneralList(ngInfo);

  for (;;) {
    if (keepRunning && engine.freeSlots != 0) sendRequests();
    bool running = keepRunning != 0;
    if (engine.freeSlots == engine.maxReq) {
      if (running && ngInfo->nextArticle > lastArticle) {
        ngInfo->nextArticle = resumePoint(false);
        return;
      }
      if (!running) {
        ngInfo->nextArticle = resumePoint(true);
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
