// The request engine on whatever a server may send after GROUP.
//
// Input layout:
//   byte 0     bits 0-2: maxReq - 1; bit 3: verbose; bits 4-5: where the
//              article range starts (1, 1000, -3 or near 2^63 - 1); bit 6:
//              the server talks without waiting for requests; bit 7: the
//              engine's socket holds only a few requests, and the server
//              reads them slowly
//   byte 1     bits 0-5: number of articles in the range (0: none); bits
//              6-7: how the newsgroup is read: HEAD and BODY, the overview
//              in RFC 3977's format, the overview in INN's (with Xref:full),
//              or ARTICLE alone
//   bytes 2-5  sizes of the successive recv() results, used in turn
//              (0: as much as the engine asks for)
//   the rest   the bytes the server sends, in order
//
// The bytes go through a real socket pair, written before the engine starts
// and followed by the end of the stream, so every input ends, at the
// latest, in the closed-connection path.  Unless bit 6 is set, the engine
// gets to read the n-th response (a status line, and for 220, 221, 222 and
// 224 the text up to its "." line) only once it has sent its n-th request, as from
// a server that answers requests; should the engine wait for more than
// that, the next response is let through anyway.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "connection.h"
#include "filterfile.h"
#include "fuzz_support.h"
#include "nntppipeline.h"
#include "text_stream.h"
#include "util.h"

using namespace pelliton;

namespace {

constexpr std::size_t kPrefixSize = 6;
constexpr std::size_t kChunkSlots = 4;
const char* const kGroup = "pelliton.test.tricky";
// Small, so that headers and bodies pass it and lines outgrow it.
constexpr unsigned long kArticleLimit = 2000;
// Small too, so that matched headers wait for room and are read again.
constexpr std::size_t kSmallHeaderBudget = 3000;

// What the engine may read, and how it is cut.
struct Feed {
  int engineFd = -1;  // the descriptor whose recv() results are shaped
  int serverFd = -1;
  bool gated = false;
  bool slowReader = false;  // takes a few bytes of the requests per recv()
  std::vector<std::size_t> responseEnds;  // offset behind each response
  std::size_t requests = 0;               // request lines the engine sent
  std::size_t unasked = 0;                // responses let through unasked
  std::size_t consumed = 0;               // bytes the engine has read
  std::uint8_t chunkSizes[kChunkSlots] = {};
  std::size_t chunkIndex = 0;
};
Feed feed;

bool IsEndLine(const std::uint8_t* line, std::size_t len) {
  return (len == 1 && line[0] == '.') || (len == 2 && line[0] == '.' && line[1] == '\r');
}

// Where each response of the stream ends, by NNTP's framing.
std::vector<std::size_t> ResponseEnds(const std::uint8_t* stream, std::size_t size) {
  std::vector<std::size_t> ends;
  auto lineEnd = [&](std::size_t from) {
    const void* lf = std::memchr(stream + from, '\n', size - from);
    return lf == nullptr ? size : static_cast<const std::uint8_t*>(lf) - stream + 1;
  };
  std::size_t pos = 0;
  while (pos < size) {
    std::size_t end = lineEnd(pos);
    bool withText = size - pos >= 3 && stream[pos] == '2' && stream[pos + 1] == '2' &&
                    (stream[pos + 2] == '0' || stream[pos + 2] == '1' ||
                     stream[pos + 2] == '2' || stream[pos + 2] == '4');
    while (withText && end < size) {
      std::size_t next = lineEnd(end);
      std::size_t len = next - end - (stream[next - 1] == '\n' ? 1 : 0);
      bool last = IsEndLine(stream + end, len);
      end = next;
      if (last) break;
    }
    ends.push_back(end);
    pos = end;
  }
  return ends;
}

std::size_t Released() {
  std::size_t count = std::min(feed.requests + feed.unasked, feed.responseEnds.size());
  return count == 0 ? 0 : feed.responseEnds[count - 1];
}

struct Mailboxes {
  std::string first = fuzz::ScratchFile("mbox-a");
  std::string second = fuzz::ScratchFile("mbox-b");
};

// A filter that takes some articles and leaves others: a general condition
// from a wildcard entry, two actions into mailboxes (one with a size
// limit), and one whose delivery always fails, which stops the run.
NewsgroupInfo* SetUpModel(const Mailboxes& boxes) {
  std::string text = std::string("pelliton.*:\n") +
                     "* !^X-Fuzz-Drop:\n" +
                     kGroup + ":\n" +
                     "* ^Subject:.*(dot|from|body)\n" +
                     boxes.first + "\n" +
                     kGroup + ":\n" +
                     "* ^From:.*tester\n" +
                     "* !^Subject:.*gap\n" +
                     boxes.second + "\n" +
                     kGroup + ":\n" +
                     "* ^X-Fuzz-Fail:\n" +
                     fuzz::ScratchFile("no-such-directory/mbox") + "\n";
  InitConfigLists();
  fileSizeLimit = 0;
  if (ReadConfig(testutil::TextStream(text).get(), "filters") != 1) std::abort();
  NewsgroupInfo* ngInfo = FindNewsgroup(kGroup);
  if (ngInfo == nullptr) std::abort();
  auto* second = static_cast<ActionInfo*>(ngInfo->actions.head()->succ);
  second->sizeLimit = 4096;
  return ngInfo;
}

ArticleNumber RangeStart(std::uint8_t selector) {
  switch (selector & 3) {
    case 0: return 1;
    case 1: return 1000;
    case 2: return -3;
    default: return LLONG_MAX - 62;  // the range may end at 2^63 - 1
  }
}

void SetNonBlocking(int fd) {
  int on = 1;
  FUZZ_CHECK(ioctl(fd, FIONBIO, &on) == 0);
}

}  // namespace

extern "C" ssize_t __real_recv(int fd, void* buf, std::size_t len, int flags);

// The engine's recv() is routed here at link time, so that the input
// decides how the stream is cut, as a network would.
extern "C" ssize_t __wrap_recv(int fd, void* buf, std::size_t len, int flags) {
  if (fd != feed.engineFd) return __real_recv(fd, buf, len, flags);
  char requests[4096];
  ssize_t n;
  while ((n = __real_recv(feed.serverFd, requests, feed.slowReader ? 4 : sizeof requests,
                          MSG_DONTWAIT)) > 0) {
    feed.requests += static_cast<std::size_t>(std::count(requests, requests + n, '\n'));
    if (feed.slowReader) break;
  }
  if (feed.gated) {
    if (Released() == feed.consumed && feed.consumed < feed.responseEnds.back()) ++feed.unasked;
    // Behind the last response only the end of the stream is left.
    if (Released() > feed.consumed) len = std::min(len, Released() - feed.consumed);
  }
  std::size_t limit = feed.chunkSizes[feed.chunkIndex++ % kChunkSlots];
  if (limit != 0 && limit < len) len = limit;
  ssize_t got = __real_recv(fd, buf, len, flags);
  if (got > 0) feed.consumed += static_cast<std::size_t>(got);
  return got;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Mailboxes boxes;
  static NewsgroupInfo* const ngInfo = SetUpModel(boxes);

  std::uint8_t prefix[kPrefixSize] = {};
  for (std::size_t i = 0; i < kPrefixSize && i < size; ++i) prefix[i] = data[i];
  const std::uint8_t* stream = size > kPrefixSize ? data + kPrefixSize : data + size;
  std::size_t streamSize = size > kPrefixSize ? size - kPrefixSize : 0;

  const int maxReq = 1 + (prefix[0] & 7);
  const ArticleNumber start = RangeStart(prefix[0] >> 4);
  const int count = prefix[1] % 64;
  static const OverviewSupport rfcOverview = [] {
    OverviewSupport support;
    support.command = OverviewSupport::Command::kOver;
    return support;
  }();
  static const OverviewSupport innOverview = [] {
    OverviewSupport support;
    support.command = OverviewSupport::Command::kXover;
    support.format = OverviewFormat::FromLines({"Subject:", "From:", "Date:", "Message-ID:",
                                                "References:", "Bytes:", "Lines:", "Xref:full"});
    return support;
  }();
  Reading reading;
  switch (prefix[1] >> 6) {
    case 1:
      reading.way = Reading::Way::kOverview;
      reading.overview = &rfcOverview;
      break;
    case 2:
      reading.way = Reading::Way::kOverview;
      reading.overview = &innOverview;
      break;
    case 3:
      reading.way = Reading::Way::kArticle;
      break;
    default:
      break;
  }
  const ArticleNumber lastArticle = count == 0 ? start - 1 : start + (count - 1);

  int fdBefore = fuzz::LowestFreeDescriptor();
  int pair[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
  const int server = pair[1];
  // Room for every input that the fuzzer makes, and for every request the
  // engine can send, without anyone reading them.
  int bufferSize = 1 << 20;
  setsockopt(server, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
  setsockopt(server, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  SetNonBlocking(server);
  const std::uint8_t* const streamStart = stream;
  std::size_t sent = 0;
  while (streamSize > 0) {
    ssize_t n = send(server, stream, streamSize, MSG_NOSIGNAL);
    if (n <= 0) break;  // what does not fit is never sent
    stream += n;
    streamSize -= static_cast<std::size_t>(n);
    sent += static_cast<std::size_t>(n);
  }
  shutdown(server, SHUT_WR);

  const int inFd = pair[0];

  feed = Feed{};
  feed.engineFd = inFd;
  feed.serverFd = server;
  feed.gated = (prefix[0] & 0x40) == 0 && sent > 0;
  feed.slowReader = (prefix[0] & 0x80) != 0;
  if (feed.slowReader) {
    // The kernel raises this to its minimum, which holds a handful of
    // request lines: the rest waits in the engine's output buffer.
    int smallest = 1;
    setsockopt(inFd, SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
  }
  feed.responseEnds = ResponseEnds(streamStart, sent);
  for (std::size_t i = 0; i < kChunkSlots; ++i) feed.chunkSizes[i] = prefix[2 + i];

  verbose = (prefix[0] & 8) != 0 ? 1 : 0;
  keepRunning = 1;
  {
    // No timeout: the peer always hangs up, so a wait for ever is a finding.
    NntpConnection connection(0);
    connection.Adopt(UniqueFd(inFd));
    ngInfo->nextArticle = start;
    PipelineEngine engine(connection, maxReq, kArticleLimit, kSmallHeaderBudget);
    // A checkpoint lies within what the newsgroup covers.
    engine.SetCheckpointSink([&](const NewsgroupInfo& ng, ArticleNumber next) {
      FUZZ_CHECK(&ng == ngInfo);
      FUZZ_CHECK(next >= start);
      FUZZ_CHECK(lastArticle < start || lastArticle == LLONG_MAX || next <= lastArticle + 1);
    });
    engine.Run(ngInfo, lastArticle, reading);
    // Answers not yet shown in step only ever hold the newsgroup back.
    if (const std::optional<ArticleNumber> later = engine.ResumeOnceInStep())
      FUZZ_CHECK(*later > ngInfo->nextArticle);
  }

  // A normal end leaves the range behind it, unless an article whose
  // delivery did not complete holds the next run back.
  FUZZ_CHECK(keepRunning == 0 || lastArticle == LLONG_MAX ||
             ngInfo->nextArticle <= lastArticle + 1);
  // Whatever happened, the next run never starts before this one did.
  FUZZ_CHECK(ngInfo->nextArticle >= start || lastArticle < start);

  feed.engineFd = -1;
  close(server);
  for (const std::string* box : {&boxes.first, &boxes.second})
    if (truncate(box->c_str(), 0) != 0 && errno != ENOENT) std::abort();
  verbose = 0;
  keepRunning = 0;
  fuzz::CheckNoDescriptorLeak(fdBefore, "the request engine");
  return 0;
}
