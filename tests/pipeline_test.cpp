// The request engine over a socketpair, with a scripted peer in a thread
// standing in for the news server.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "config_release.h"
#include "connection.h"
#include "filterfile.h"
#include "mailbox.h"
#include "nntppipeline.h"
#include "test_util.h"
#include "text_stream.h"

namespace pelliton {
namespace {

using namespace std::chrono_literals;
using testutil::Delivered;
using testutil::Messages;

// The text of an article as the server sends it: CR LF line ends, lines
// that begin with a dot get another one.
std::string Stuffed(const std::string& text) {
  std::string wire;
  if (text.empty()) return wire;
  std::istringstream in(text + "\n");
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '.') wire += '.';
    wire += line + "\r\n";
  }
  return wire;
}

std::string HeadResponse(long long number, const std::string& header) {
  return "221 " + std::to_string(number) + " <" + std::to_string(number) + "@peer>\r\n" +
         Stuffed(header) + ".\r\n";
}

std::string BodyResponse(long long number, const std::string& body) {
  return "222 " + std::to_string(number) + " <" + std::to_string(number) + "@peer>\r\n" +
         Stuffed(body) + ".\r\n";
}

std::string ArticleResponse(long long number, const std::string& header, const std::string& body) {
  return "220 " + std::to_string(number) + " <" + std::to_string(number) + "@peer>\r\n" +
         Stuffed(header) + "\r\n" + Stuffed(body) + ".\r\n";
}

// An OVER answer with the lines given (without their line ends).
std::string OverResponse(const std::vector<std::string>& lines) {
  std::string wire = "224 overview follows\r\n";
  for (const std::string& line : lines) wire += line + "\r\n";
  return wire + ".\r\n";
}

// A news server on the other end of a socketpair.  It logs every request,
// answers from its articles (423 for a missing one) unless a canned reply
// is set for the exact command, and can hold its answers back so that the
// engine's window of outstanding requests shows.  Over a SOCK_SEQPACKET
// pair every read is one write of the engine, so Batches() shows what
// each write carried.
class ScriptedPeer {
 public:
  // The engine runs on the thread that makes the peer.
  explicit ScriptedPeer(int type = SOCK_STREAM)
      : engineState_("/proc/self/task/" + std::to_string(syscall(SYS_gettid)) + "/syscall") {
    int fds[2];
    if (socketpair(AF_UNIX, type, 0, fds) != 0) throw std::runtime_error("socketpair");
    engineFd_ = fds[0];
    peerFd_ = fds[1];
    if (testutil::ReadFile(engineState_).empty()) engineState_.clear();
  }
  ~ScriptedPeer() {
    CloseEngineSide();
    Join();
    if (peerFd_ >= 0) close(peerFd_);
  }
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  int engineFd() const { return engineFd_; }

  void AddArticle(long long number, const std::string& header, const std::string& body) {
    replies_["HEAD " + std::to_string(number)] = {HeadResponse(number, header), false};
    replies_["BODY " + std::to_string(number)] = {BodyResponse(number, body), false};
    replies_["ARTICLE " + std::to_string(number)] = {ArticleResponse(number, header, body), false};
  }
  // `raw` goes out instead of the normal answer; with closeAfter the peer
  // then closes the connection.
  void SetReply(const std::string& command, const std::string& raw, bool closeAfter = false) {
    replies_[command] = {raw, closeAfter};
  }
  // Closes the connection when this command arrives, without answering it.
  void CloseOn(const std::string& command) { closeOn_ = command; }
  // Answers only the oldest request, and only once `window` requests are
  // outstanding or the engine waits for an answer with fewer.
  void SetLockstep(int window) { lockstep_ = window; }
  // Writes in pieces of k bytes, each read by the engine before the next.
  void SetChunk(int k) { chunk_ = k; }
  // Writes every line on its own, read by the engine before the next.
  void SetLineWrites(bool on) { lineWrites_ = on; }
  void SetStall(bool on) { stall_ = on; }
  // Answers `command` with `prefix` and then, without end, one byte every
  // `interval`, or nothing at all when it is 0.  After 10 s the peer gives
  // up and closes, so that an engine that waits for ever shows as one that
  // lost its connection instead of hanging the test.
  void SetEndless(const std::string& command, const std::string& prefix,
                  std::chrono::milliseconds interval) {
    endless_ = {command, prefix, interval, ""};
  }
  // Answers `command` with `prefix` and then `filler`, over and over, as
  // fast as the engine reads, until it closes or 10 s have passed.
  void SetFlood(const std::string& command, const std::string& prefix, const std::string& filler) {
    endless_ = {command, prefix, std::chrono::milliseconds(0), filler};
  }
  bool EndlessStarted() const { return endlessStarted_; }
  void SetReadDelay(std::chrono::milliseconds delay) { readDelay_ = delay; }
  // Answers the requests of one read together, in one write.
  void SetBatchAnswers(bool on) { batchAnswers_ = on; }
  // Called on the peer's thread for every request as it arrives.
  void SetHook(std::function<void(const std::string&)> hook) { hook_ = std::move(hook); }

  void Start() { thread_ = std::thread([this] { Serve(); }); }
  // After the engine is done: the peer sees the end of the stream and stops.
  void Finish() {
    CloseEngineSide();
    Join();
  }

  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  int MaxOutstanding() {
    std::lock_guard<std::mutex> lock(mutex_);
    return maxOutstanding_;
  }
  // The requests that each read brought, in order.
  std::vector<std::vector<std::string>> Batches() {
    std::lock_guard<std::mutex> lock(mutex_);
    return batches_;
  }

 private:
  struct Reply {
    std::string raw;
    bool closeAfter;
  };

  void CloseEngineSide() {
    if (engineFd_ >= 0) close(engineFd_);
    engineFd_ = -1;
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  void Serve() {
    std::this_thread::sleep_for(readDelay_);
    std::string input;
    std::deque<std::string> pending;
    for (;;) {
      pollfd p = {peerFd_, POLLIN, 0};
      int ready = poll(&p, 1, lockstep_ > 0 ? (engineState_.empty() ? 150 : 5) : 1000);
      if (ready > 0) {
        char buf[65536];
        ssize_t n = read(peerFd_, buf, sizeof buf);
        if (n <= 0) return;
        input.append(buf, n);
        {
          std::lock_guard<std::mutex> lock(mutex_);
          batches_.emplace_back();
        }
        std::size_t lf;
        while ((lf = input.find("\r\n")) != std::string::npos) {
          std::string request = input.substr(0, lf);
          input.erase(0, lf + 2);
          if (hook_) hook_(request);
          {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
            batches_.back().push_back(request);
          }
          if (request == closeOn_) return CloseConnection();
          pending.push_back(request);
          std::lock_guard<std::mutex> lock(mutex_);
          maxOutstanding_ = std::max(maxOutstanding_, static_cast<int>(pending.size()));
        }
      }
      if (stall_) continue;
      if (batchAnswers_ && !pending.empty()) {
        std::string answers;
        for (const std::string& request : pending) answers += AnswerText(request);
        pending.clear();
        if (!Write(answers)) return CloseConnection();
      }
      while (!pending.empty()) {
        bool windowFull = static_cast<int>(pending.size()) >= lockstep_;
        if (lockstep_ > 0 && !windowFull && (ready != 0 || !EngineWaits())) break;
        std::string request = pending.front();
        pending.pop_front();
        if (!Answer(request)) return CloseConnection();
        if (lockstep_ > 0) break;
      }
    }
  }

  void CloseConnection() {
    close(peerFd_);
    peerFd_ = -1;
  }

  // True when the engine will send nothing more before it hears from us:
  // its thread sleeps in its wait for the socket, and what it sent before
  // has all been read.  However long a loaded machine keeps the engine
  // from its next request, this does not take it for one that waits.
  // Without /proc, a quiet spell of 150 ms counts instead.
  bool EngineWaits() {
    if (engineState_.empty()) return true;
    const long call = std::strtol(testutil::ReadFile(engineState_).c_str(), nullptr, 10);
    bool waits = call == SYS_ppoll;
#ifdef SYS_poll
    waits = waits || call == SYS_poll;
#endif
    pollfd p = {peerFd_, POLLIN, 0};
    return waits && poll(&p, 1, 0) == 0;
  }

  std::string AnswerText(const std::string& request) {
    auto it = replies_.find(request);
    return it == replies_.end() ? "423 no such article\r\n" : it->second.raw;
  }

  // False when the connection is to be closed.
  bool Answer(const std::string& request) {
    if (!endless_.command.empty() && request == endless_.command) return AnswerEndlessly();
    auto it = replies_.find(request);
    if (it == replies_.end()) return Write("423 no such article\r\n");
    return Write(it->second.raw) && !it->second.closeAfter;
  }

  bool AnswerEndlessly() {
    if (!Write(endless_.prefix)) return false;
    endlessStarted_ = true;
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    if (!endless_.filler.empty()) {
      while (std::chrono::steady_clock::now() < giveUp) {
        if (send(peerFd_, endless_.filler.data(), endless_.filler.size(), MSG_NOSIGNAL) <= 0)
          return false;
      }
      return false;
    }
    const int wait = static_cast<int>(endless_.interval.count() > 0 ? endless_.interval.count() : 50);
    while (std::chrono::steady_clock::now() < giveUp) {
      pollfd p = {peerFd_, POLLIN, 0};
      if (poll(&p, 1, wait) > 0) {
        char buf[4096];
        if (read(peerFd_, buf, sizeof buf) <= 0) return false;  // the engine is done
      }
      if (endless_.interval.count() > 0 && send(peerFd_, "x", 1, MSG_NOSIGNAL) != 1) return false;
    }
    return false;
  }

  bool Write(const std::string& data) {
    bool paced = chunk_ > 0 || lineWrites_;
    for (std::size_t pos = 0; pos < data.size();) {
      std::size_t step = data.size() - pos;
      if (chunk_ > 0) step = std::min<std::size_t>(step, chunk_);
      if (lineWrites_) {
        std::size_t lf = data.find('\n', pos);
        if (lf != std::string::npos) step = lf + 1 - pos;
      }
      if (send(peerFd_, data.data() + pos, step, MSG_NOSIGNAL) != static_cast<ssize_t>(step))
        return false;
      pos += step;
      if (paced) WaitUntilRead();
    }
    return true;
  }

  // Bytes of a unix socket stay charged to the writer until read.
  void WaitUntilRead() {
    for (int i = 0; i < 2000; ++i) {
      int queued = 0;
      if (ioctl(peerFd_, SIOCOUTQ, &queued) != 0 || queued == 0) return;
      std::this_thread::sleep_for(1ms);
    }
  }

  std::string engineState_;  // "" when /proc does not show it
  int engineFd_ = -1;
  int peerFd_ = -1;
  std::map<std::string, Reply> replies_;
  std::string closeOn_;
  int lockstep_ = 0;
  int chunk_ = 0;
  bool lineWrites_ = false;
  bool stall_ = false;
  bool batchAnswers_ = false;
  std::chrono::milliseconds readDelay_{0};
  std::function<void(const std::string&)> hook_;
  struct Endless {
    std::string command;
    std::string prefix;
    std::chrono::milliseconds interval{0};
    std::string filler;
  } endless_;
  std::atomic<bool> endlessStarted_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
  std::vector<std::vector<std::string>> batches_;
  int maxOutstanding_ = 0;
};

std::vector<std::string> Range(const char* verb, long long first, long long last) {
  std::vector<std::string> out;
  for (long long n = first; n <= last; ++n)
    out.push_back(std::string(verb) + " " + std::to_string(n));
  return out;
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const char* const kOneMailbox =
    "comp.test:\n"
    "* ^Subject: .*match\n"
    "$DIR/mbox\n";

std::string Header(int n, const char* subject);

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ReleaseConfigModel();
    verbose = 0;
    fileSizeLimit = 0;
    keepRunning = 1;
    signalsCaught = 0;
    runFailed = 0;
  }
  void TearDown() override {
    ReleaseConfigModel();
    verbose = 0;
    keepRunning = 0;
    signalsCaught = 0;
  }

  // Reads a filter text; "$DIR" in it stands for the temporary directory.
  NewsgroupInfo* Filters(std::string text, const char* group = "comp.test") {
    for (std::size_t pos; (pos = text.find("$DIR")) != std::string::npos;)
      text.replace(pos, 4, dir.path());
    EXPECT_EQ(1, ReadConfig(testutil::TextStream(text).get(), "filters"));
    NewsgroupInfo* ngInfo = FindNewsgroup(group);
    EXPECT_NE(nullptr, ngInfo);
    return ngInfo;
  }

  // Runs the engine over [first, last] on a connection to `server` and
  // returns the resume point.  Everything the engine printed lands in
  // `err`.
  ArticleNumber RunOn(ScriptedPeer& server, NewsgroupInfo* ngInfo, ArticleNumber first,
                      ArticleNumber last, int maxReq) {
    server.Start();
    ngInfo->nextArticle = first;
    {
      NntpConnection connection(timeout);
      connection.Adopt(UniqueFd(dup(server.engineFd())));
      testing::internal::CaptureStderr();
      PipelineEngine engine(connection, maxReq, articleLimit, heldHeaderBudget);
      engine.SetCheckpointSink(checkpointSink);
      engine.Run(ngInfo, last, reading);
      err = testing::internal::GetCapturedStderr();
      // As at the end of a walk, with no later answer to doubt the last.
      doubted = ngInfo->nextArticle;
      if (const std::optional<ArticleNumber> later = engine.ResumeOnceInStep())
        ngInfo->nextArticle = *later;
    }
    server.Finish();
    return ngInfo->nextArticle;
  }
  ArticleNumber Run(NewsgroupInfo* ngInfo, ArticleNumber first, ArticleNumber last, int maxReq) {
    return RunOn(peer, ngInfo, first, last, maxReq);
  }

  std::string Mailbox(const char* name) { return dir.file(name); }

  // Articles 1 to 6, every one matching, the answer to `request` replaced
  // by `reply`: the engine runs over them (with kOneMailbox) and returns
  // the resume point; the request sent last lands in lastRequest.
  ArticleNumber RunSixMatches(const std::string& request, const std::string& reply, int maxReq) {
    ScriptedPeer local;
    NewsgroupInfo* ngInfo = Filters(kOneMailbox);
    for (int n = 1; n <= 6; ++n) local.AddArticle(n, Header(n, "match"), "b" + std::to_string(n));
    local.SetReply(request, reply);
    keepRunning = 1;
    runFailed = 0;
    const ArticleNumber resume = RunOn(local, ngInfo, 1, 6, maxReq);
    lastRequest = local.Requests().back();
    return resume;
  }
  // Whether the mailbox holds those six articles from the first up to
  // `end`, and nothing else; the next case starts afresh.
  void ExpectSixMatchesBefore(ArticleNumber end) {
    std::vector<std::string> expected;
    for (int n = 1; n < end; ++n)
      expected.push_back(Delivered(Header(n, "match"), "b" + std::to_string(n)));
    EXPECT_EQ(expected, Messages(Mailbox("mbox")));
    std::remove(Mailbox("mbox").c_str());
    ReleaseConfigModel();
  }

  testutil::TempDir dir;
  ScriptedPeer peer;
  std::string err;
  // A fault in the engine fails the test instead of hanging it.
  int timeout = 20;
  unsigned long articleLimit = kDefaultArticleLimit;
  std::size_t heldHeaderBudget = kHeldHeaderBudget;
  CheckpointSink checkpointSink;
  // Where the run left the newsgroup while nothing showed its last
  // answers in step.
  ArticleNumber doubted = 0;
  std::string lastRequest;
  Reading reading;
};

// Articles whose subject is "bad" go to a mailbox that cannot be made,
// those whose subject is "good" to one that can.
const char* const kBadFailsGoodDelivered =
    "comp.test:\n"
    "* ^Subject: bad\n"
    "$DIR/missing/mbox\n"
    "comp.test:\n"
    "* ^Subject: good\n"
    "$DIR/mbox\n";

std::string Header(int n, const char* subject) {
  return "From: a@b\nSubject: " + std::string(subject) + "\nMessage-ID: <" + std::to_string(n) +
         "@peer>";
}

// --- Request order and the window of outstanding requests -----------------

TEST_F(PipelineTest, OneRequestAtATimeFetchesMatchingBodiesBeforeTheNextHeader) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  peer.AddArticle(1, Header(1, "a match"), "one");
  peer.AddArticle(2, Header(2, "other"), "two");
  peer.AddArticle(3, Header(3, "match again"), "three");

  EXPECT_EQ(4, Run(ngInfo, 1, 3, 1));
  EXPECT_EQ((std::vector<std::string>{"HEAD 1", "BODY 1", "HEAD 2", "HEAD 3", "BODY 3"}),
            peer.Requests());
  EXPECT_EQ(1, peer.MaxOutstanding());
  EXPECT_EQ((std::vector<std::string>{Delivered(Header(1, "a match"), "one"),
                                       Delivered(Header(3, "match again"), "three")}),
            Messages(Mailbox("mbox")));
  EXPECT_EQ("", err);
}

TEST_F(PipelineTest, WindowOfFourNeverExceededAndEveryNumberRequested) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  // Gaps on the server are asked for like the others and answered 423.
  for (int n : {1, 2, 4, 7, 8, 10}) peer.AddArticle(n, Header(n, "other"), "x");
  peer.SetLockstep(4);

  EXPECT_EQ(11, Run(ngInfo, 1, 10, 4));
  EXPECT_EQ(Range("HEAD", 1, 10), peer.Requests());
  EXPECT_EQ(4, peer.MaxOutstanding());
  EXPECT_FALSE(testutil::FileExists(Mailbox("mbox")));
}

TEST_F(PipelineTest, BodyOfAMatchGoesOutBeforeFurtherHeaders) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  for (int n = 1; n <= 10; ++n) peer.AddArticle(n, Header(n, n == 5 ? "match" : "other"), "b");
  peer.SetLockstep(4);

  EXPECT_EQ(11, Run(ngInfo, 1, 10, 4));
  // Header 5 arrives while HEAD 6 to 8 are outstanding.
  EXPECT_EQ(Concat({Range("HEAD", 1, 8), {"BODY 5"}, Range("HEAD", 9, 10)}), peer.Requests());
  EXPECT_LE(peer.MaxOutstanding(), 4);
  EXPECT_EQ(1u, Messages(Mailbox("mbox")).size());
}

TEST_F(PipelineTest, RequestsTheSocketCannotTakeAtOnceWaitAndGoOutWhole) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  int small = 2048;
  setsockopt(peer.engineFd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  peer.SetReadDelay(300ms);

  EXPECT_EQ(5001, Run(ngInfo, 1, 5000, 5000));
  EXPECT_EQ(Range("HEAD", 1, 5000), peer.Requests());
}

TEST_F(PipelineTest, NothingIsSentWhenStoppedBeforeTheStart) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  keepRunning = 0;
  EXPECT_EQ(7, Run(ngInfo, 7, 20, 4));
  EXPECT_TRUE(peer.Requests().empty());
}

TEST_F(PipelineTest, EmptyRangeEndsAtOnce) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  EXPECT_EQ(300, Run(ngInfo, 300, 299, 4));
  EXPECT_TRUE(peer.Requests().empty());
}

TEST_F(PipelineTest, RequestLinesLeaveTogetherInFewWrites) {
  ScriptedPeer records(SOCK_SEQPACKET);
  records.SetBatchAnswers(true);
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  for (int n = 1; n <= 20; ++n) records.AddArticle(n, Header(n, n == 1 ? "match" : "x"), "b");

  EXPECT_EQ(21, RunOn(records, ngInfo, 1, 20, 8));
  // Each write of the engine is one record, and each record of requests
  // is answered in one write.  A pass fills every free slot in one write;
  // while a read is cut, its freed slots go out four at a time, bodies
  // first; the slot that a delivery leaves is filled at once only while
  // few requests are outstanding, for the server has work enough.
  EXPECT_EQ((std::vector<std::vector<std::string>>{
                Range("HEAD", 1, 8),
                Concat({{"BODY 1"}, Range("HEAD", 9, 11)}),
                Range("HEAD", 12, 15),
                Range("HEAD", 16, 19),
                {"HEAD 20"},
            }),
            records.Batches());
  EXPECT_EQ(1u, Messages(Mailbox("mbox")).size());
}

TEST_F(PipelineTest, ArticleNumbersBeyondThirtyTwoBits) {
  const struct {
    const char* name;
    ArticleNumber first;
    ArticleNumber last;
    ArticleNumber lastRequested;
    ArticleNumber resume;
  } cases[] = {
      {"across 2^31", 2147483646LL, 2147483649LL, 2147483649LL, 2147483650LL},
      {"across 2^32", 4294967294LL, 4294967297LL, 4294967297LL, 4294967298LL},
      // The highest number has no successor to resume at: it is never
      // asked for, and the resume point stays one below the end.
      {"at 2^63 - 1", LLONG_MAX - 2, LLONG_MAX, LLONG_MAX - 1, LLONG_MAX},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer local;
    NewsgroupInfo* ngInfo = Filters(kOneMailbox);
    for (ArticleNumber n = c.first; n <= c.lastRequested; ++n)
      local.AddArticle(n, Header(static_cast<int>(n % 1000), "match"), "b " + std::to_string(n));
    verbose = 1;
    EXPECT_EQ(c.resume, RunOn(local, ngInfo, c.first, c.last, 2));
    verbose = 0;
    std::vector<std::string> heads;
    for (const std::string& request : local.Requests())
      if (request.rfind("HEAD", 0) == 0) heads.push_back(request);
    EXPECT_EQ(Range("HEAD", c.first, c.lastRequested), heads);
    const std::vector<std::string> messages = Messages(Mailbox("mbox"));
    ASSERT_EQ(static_cast<std::size_t>(c.lastRequested - c.first + 1), messages.size());
    EXPECT_NE(std::string::npos, messages.back().find("b " + std::to_string(c.lastRequested)));
    EXPECT_NE(std::string::npos,
              err.find("Examining article " + std::to_string(c.lastRequested) + "... match!\n"));
    EXPECT_NE(std::string::npos,
              err.find("  Saving article " + std::to_string(c.lastRequested) + "... done!\n"));
    std::remove(Mailbox("mbox").c_str());
    ReleaseConfigModel();
  }
}

// --- Cutting lines ---------------------------------------------------------

TEST_F(PipelineTest, LinesOfAnyLengthArriveWholeWhateverTheReadsCut) {
  NewsgroupInfo* ngInfo = Filters(
      "comp.test:\n"
      "$DIR/mbox\n");
  // Lengths around 4096 and 65536 bytes (sizes that input buffers are
  // made of), with the CR landing on either side of their ends.
  std::vector<std::size_t> lengths = {1,     4093,  4094,  4095,  4096,  4097, 5000,
                                      9000,  65533, 65534, 65535, 65536, 65537, 70000, 140000};
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    std::string line(lengths[i], static_cast<char>('a' + i));
    int n = static_cast<int>(i) + 1;
    peer.SetReply("HEAD " + std::to_string(n),
                  "221 " + std::to_string(n) + " <id>\r\n" + line + "\r\n.\r\n");
    peer.SetReply("BODY " + std::to_string(n),
                  "222 " + std::to_string(n) + " <id>\r\n" + line + "\r\n.\r\n");
  }
  // Each line goes out in a write of its own, so that it starts the buffer.
  peer.SetLineWrites(true);
  int last = static_cast<int>(lengths.size());
  EXPECT_EQ(last + 1, Run(ngInfo, 1, last, 1));

  std::vector<std::string> messages = Messages(Mailbox("mbox"));
  ASSERT_EQ(lengths.size(), messages.size());
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    std::string line(lengths[i], static_cast<char>('a' + i));
    EXPECT_EQ(Delivered(line, line), messages[i]) << "line of " << lengths[i] << " bytes";
  }
}

TEST_F(PipelineTest, LinesSplitAcrossReadsAreDispatchedOnce) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  for (int n = 1; n <= 3; ++n) peer.AddArticle(n, Header(n, "match"), "line one\n\nline three");
  peer.SetChunk(3);

  EXPECT_EQ(4, Run(ngInfo, 1, 3, 2));
  std::vector<std::string> messages = Messages(Mailbox("mbox"));
  ASSERT_EQ(3u, messages.size());
  for (int n = 1; n <= 3; ++n)
    EXPECT_EQ(Delivered(Header(n, "match"), "line one\n\nline three"), messages[n - 1]);
}

TEST_F(PipelineTest, OneCarriageReturnIsRemovedBeforeTheLineFeed) {
  NewsgroupInfo* ngInfo = Filters(
      "comp.test:\n"
      "$DIR/mbox\n");
  peer.SetReply("HEAD 1",
                "221 1 <id>\r\n"
                "A: crlf\r\n"
                "B: two crs\r\r\n"
                "C: bare lf\n"
                "D: cr inside\rx\r\n"
                ".\r\n");
  peer.SetReply("BODY 1", "222 1 <id>\n\r\n\r\r\nend\n.\n");

  EXPECT_EQ(2, Run(ngInfo, 1, 1, 1));
  EXPECT_EQ((std::vector<std::string>{
                Delivered("A: crlf\nB: two crs\r\nC: bare lf\nD: cr inside\rx", "\n\r\nend")}),
            Messages(Mailbox("mbox")));
}

// --- Openers ---------------------------------------------------------------

TEST_F(PipelineTest, ArticleNumberIsReadInAnyBaseAfterBlanks) {
  const struct {
    const char* statusLine;
    ArticleNumber article;
  } cases[] = {
      {"221 0x1F <id>", 31},
      {"221 010 <id>", 8},
      {"221 \t  7 <id>", 7},
      {"221 12", 12},
      {"221 +12x", 12},
      {"221 -5 <id>", -5},                    // a negative number still finds its chain
      {"221 4294967306 <id>", 4294967306LL},  // past 2^32, never cut
      {"221 9223372036854775806 <id>", LLONG_MAX - 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.statusLine);
    ScriptedPeer local;
    NewsgroupInfo* ngInfo = Filters(kOneMailbox);
    const std::string n = std::to_string(c.article);
    local.SetReply("HEAD " + n, std::string(c.statusLine) + "\r\nSubject: match " + n + "\r\n.\r\n");
    local.SetReply("BODY " + n, BodyResponse(c.article, "body " + n));
    EXPECT_EQ(c.article + 1, RunOn(local, ngInfo, c.article, c.article, 1));
    EXPECT_EQ((std::vector<std::string>{"HEAD " + n, "BODY " + n}), local.Requests());
    EXPECT_EQ((std::vector<std::string>{Delivered("Subject: match " + n, "body " + n)}),
              Messages(Mailbox("mbox")));
    EXPECT_EQ("", err);
    std::remove(Mailbox("mbox").c_str());
    ReleaseConfigModel();
  }
}

// --- Answers out of step ----------------------------------------------------

// Articles 1 to 6 all match and are fetched one request at a time; one
// answer does not fit its request.  Nothing the server sends after it can
// be trusted: the message names the article asked for, nothing more is
// read or delivered, and the next run starts at the first article not
// dealt with.
TEST_F(PipelineTest, AnswerOutOfStepEndsTheWalkAtTheFirstArticleNotDealtWith) {
  const struct {
    const char* name;
    const char* request;
    std::string reply;
    std::string answer;  // as the message shows it
    int article;         // named in the message
  } cases[] = {
      {"no number", "HEAD 3", "221\r\nSubject: match\r\n.\r\n", "221", 3},
      {"blanks for a number", "HEAD 3", "221   \r\nSubject: match\r\n.\r\n", "221   ", 3},
      {"message-id for a number", "HEAD 3", "221 <3@x>\r\nSubject: match\r\n.\r\n", "221 <3@x>", 3},
      {"another number", "HEAD 3", HeadResponse(4, Header(4, "match")), "221 4 <4@peer>", 3},
      {"number past 2^63", "HEAD 3", "221 9223372036854775811 <x>\r\nS: x\r\n.\r\n",
       "221 9223372036854775811 <x>", 3},
      {"body to a HEAD", "HEAD 3", BodyResponse(3, "b"), "222 3 <3@peer>", 3},
      {"article to a HEAD", "HEAD 3", "220 3 <3@peer>\r\nS: x\r\n\r\nb\r\n.\r\n", "220 3 <3@peer>",
       3},
      {"status only", "HEAD 3", "223 3 <3@peer>\r\n", "223 3 <3@peer>", 3},
      {"header to a BODY", "BODY 3", HeadResponse(3, Header(3, "match")), "221 3 <3@peer>", 3},
      {"another body", "BODY 3", BodyResponse(77, "From elsewhere"), "222 77 <77@peer>", 3},
      {"1xx", "BODY 3", "100 help text follows\r\n", "100 help text follows", 3},
      {"3xx", "HEAD 3", "340 send article\r\n", "340 send article", 3},
      {"no status code", "HEAD 3", "Subject: match\r\n", "Subject: match", 3},
      {"code run on", "HEAD 3", "5031 later\r\n", "5031 later", 3},
      {"empty line", "HEAD 3", "\r\n", "", 3},
      {"control characters", "HEAD 3", std::string("2\0\x1b[2J\r\r\n", 9), "2??[2J", 3},
      // The copy arrives while no request is outstanding: it names the
      // article asked for last.
      {"answered twice", "HEAD 2", HeadResponse(2, Header(2, "match")) + HeadResponse(2, "S: x"),
       "221 2 <2@peer>", 2},
      {"line nobody asked for", "HEAD 3", HeadResponse(3, Header(3, "match")) + "500 unasked\r\n",
       "500 unasked", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.article, RunSixMatches(c.request, c.reply, 1));
    EXPECT_EQ(0, keepRunning);
    EXPECT_EQ(1, runFailed);
    EXPECT_EQ("pelliton: article " + std::to_string(c.article) +
                  ": answer out of step with the requests -- " + c.answer + "\n",
              err);
    EXPECT_EQ(c.request, lastRequest);
    ExpectSixMatchesBefore(c.article);
  }
}

// A status line without an article number (423, 430, a refusal) that the
// server sends besides the answer it owes is taken for the answer to the
// next request, and settles an article it was not meant for; the real
// answer then comes out of step.  Articles 1 to 6 all match.  The next
// run starts no later than the article settled that way: every article
// below the resume point was delivered, none above it, so that over two
// runs each arrives exactly once.
TEST_F(PipelineTest, AnswersWithoutANumberAreDoubtedOnceTheStreamIsOutOfStep) {
  const struct {
    const char* name;
    const char* request;
    std::string reply;
    int resume;       // with one request at a time
    const char* err;  // the same
  } cases[] = {
      {"423 after a body", "BODY 3", BodyResponse(3, "b3") + "423 no such article\r\n", 4,
       "pelliton: article 5: answer out of step with the requests -- 221 4 <4@peer>\n"},
      {"430 after a body", "BODY 3", BodyResponse(3, "b3") + "430 no such article\r\n", 4,
       "pelliton: article 5: answer out of step with the requests -- 221 4 <4@peer>\n"},
      {"a header answered 423 twice", "HEAD 3", "423 no such article\r\n423 no such article\r\n",
       3, "pelliton: article 3: answer out of step with the requests -- 423 no such article\n"},
      // The refusal holds the newsgroup at the article it was taken for.
      {"a refusal after a body", "BODY 3", BodyResponse(3, "b3") + "503 program fault\r\n", 4,
       "pelliton: article 4: server refused HEAD -- 503 program fault\n"},
  };
  for (const auto& c : cases) {
    for (int maxReq : {1, 4}) {
      SCOPED_TRACE(std::string(c.name) + ", -n " + std::to_string(maxReq));
      const ArticleNumber resume = RunSixMatches(c.request, c.reply, maxReq);
      EXPECT_EQ(1, runFailed);
      if (maxReq == 1) {
        EXPECT_EQ(c.resume, resume);
        EXPECT_EQ(c.err, err);
      }
      ExpectSixMatchesBefore(resume);
    }
  }
}

// A newsgroup that ends on answers without a number (articles 5 and 6
// are gone) has nothing after them to show the stream in step: the engine
// leaves the newsgroup before them, and says where it may start once the
// next answer (the next GROUP's) shows it.
TEST_F(PipelineTest, TheLastAnswersWithoutANumberWaitToBeShownInStep) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  for (int n = 1; n <= 4; ++n) peer.AddArticle(n, Header(n, "match"), "b");
  EXPECT_EQ(7, Run(ngInfo, 1, 6, 2));
  EXPECT_EQ(5, doubted);
  EXPECT_EQ(0, runFailed);
}

// --- Header and body texts -------------------------------------------------

TEST_F(PipelineTest, TextsAreJoinedWithoutATrailingLineFeed) {
  NewsgroupInfo* ngInfo = Filters(
      "comp.test:\n"
      "$DIR/mbox\n");
  peer.AddArticle(1, "aaaaaaaaaa\nbbbbbbb", "x\n");  // two lines: "x" and ""
  peer.AddArticle(2, "", "");
  peer.SetReply("HEAD 3", "221 3 <id>\r\n..two dots\r\n.x\r\n.\r\n");  // header lines keep dots
  peer.SetReply("BODY 3", BodyResponse(3, ""));
  peer.AddArticle(4, "Subject: s", "");
  peer.SetReply("BODY 4", "222 4 <id>\r\n\r\n.\r\n");

  EXPECT_EQ(5, Run(ngInfo, 1, 4, 1));
  std::vector<std::string> messages = Messages(Mailbox("mbox"));
  ASSERT_EQ(4u, messages.size());
  EXPECT_EQ("aaaaaaaaaa\nbbbbbbb\n\nx\n\n\n", messages[0]);  // header of 18 bytes, body of 2
  EXPECT_EQ("\n\n\n\n", messages[1]);
  EXPECT_EQ(Delivered("..two dots\n.x", ""), messages[2]);
  EXPECT_EQ(Delivered("Subject: s", ""), messages[3]);  // one empty line is the empty text
}

TEST_F(PipelineTest, BodyLinesAreUnstuffedAndThenQuoted) {
  NewsgroupInfo* ngInfo = Filters(
      "comp.test:\n"
      "$DIR/mbox\n");
  const struct {
    const char* wire;
    const char* stored;
  } cases[] = {
      {"..", "."},
      {".x", "x"},
      {"...", ".."},
      {"From me", ">From me"},
      {".From x", ">From x"},
      {"..From x", ".From x"},
      {"from me", "from me"},
      {">From me", ">From me"},
      {"From: me", "From: me"},
      {"From", "From"},
      {"plain", "plain"},
  };
  std::string wire = "222 1 <id>\r\n";
  std::string stored;
  for (const auto& c : cases) {
    wire += std::string(c.wire) + "\r\n";
    stored += std::string(stored.empty() ? "" : "\n") + c.stored;
  }
  peer.AddArticle(1, "Subject: s", "");
  peer.SetReply("BODY 1", wire + ".\r\n");

  EXPECT_EQ(2, Run(ngInfo, 1, 1, 1));
  EXPECT_EQ((std::vector<std::string>{Delivered("Subject: s", stored)}),
            Messages(Mailbox("mbox")));
}

TEST_F(PipelineTest, BuffersGrowForLargeTextsAndStartSmallAgain) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  std::string bigHeader = "Subject: match\nX-Pad: " + std::string(1500, 'h');
  std::string bigBody;
  for (int i = 0; i < 4000; ++i) bigBody += "body line " + std::to_string(i) + " " + std::string(40, 'b') + "\n";
  bigBody += "last";
  peer.AddArticle(1, bigHeader, bigBody);
  peer.AddArticle(2, Header(2, "match"), "small");
  peer.AddArticle(3, bigHeader + "\nX-More: " + std::string(3000, 'm'), bigBody + bigBody);

  EXPECT_EQ(4, Run(ngInfo, 1, 3, 3));
  EXPECT_EQ((std::vector<std::string>{
                Delivered(bigHeader, bigBody), Delivered(Header(2, "match"), "small"),
                Delivered(bigHeader + "\nX-More: " + std::string(3000, 'm'), bigBody + bigBody)}),
            Messages(Mailbox("mbox")));
}

TEST_F(PipelineTest, NulBytesAreDataInHeadersAndBodies) {
  NewsgroupInfo* ngInfo = Filters(
      "comp.test:\n"
      "* wanted\n"
      "* ^X-After: nul\n"
      "$DIR/mbox\n");
  using namespace std::string_literals;
  // The conditions hold only beyond the first NUL of the header.  (A dot
  // of an expression matches no NUL, as POSIX has it.)
  const std::string header = "From: a\0b\nSubject: x\0 wanted\nX-After: nul"s;
  peer.SetReply("HEAD 1", "221 1 <id>\r\n" + Stuffed(header) + ".\r\n");
  // Neither a dot followed by a NUL nor a lone NUL ends the body.
  peer.SetReply("BODY 1", "222 1 <id>\r\n.\0\r\n..\0tail\r\n\0\r\nmid\0dle\r\n.\r\n"s);
  peer.AddArticle(2, "Subject: wanted\nX-After: nul", "second");

  EXPECT_EQ(3, Run(ngInfo, 1, 2, 1));
  EXPECT_EQ("", err);
  EXPECT_EQ((std::vector<std::string>{Delivered(header, "\0\n.\0tail\n\0\nmid\0dle"s),
                                       Delivered("Subject: wanted\nX-After: nul", "second")}),
            Messages(Mailbox("mbox")));
}

// --- Matching --------------------------------------------------------------

TEST_F(PipelineTest, GeneralConditionsOfEveryApplyingWildcardGoFirst) {
  NewsgroupInfo* ngInfo = Filters(
      "*:\n"
      "* ^Newsgroups:.*comp\n"
      "comp.*:\n"
      "* !^From:.*spammer\n"
      "other.*:\n"
      "* ^Subject: never\n"
      "comp.test:\n"
      "* ^Subject:.*alpha\n"
      "$DIR/alpha\n"
      "comp.test:\n"
      "* !^Subject:.*alpha\n"
      "* ^Subject:.*beta\n"
      "$DIR/beta-not-alpha\n"
      "comp.test:\n"
      "$DIR/all\n");
  const struct {
    const char* header;
    std::vector<const char*> mailboxes;
  } cases[] = {
      {"Newsgroups: comp.test\nFrom: a\nSubject: alpha", {"alpha", "all"}},
      {"Newsgroups: comp.test\nFrom: a\nSubject: beta", {"beta-not-alpha", "all"}},
      {"Newsgroups: comp.test\nFrom: a\nSubject: alpha beta", {"alpha", "all"}},
      {"Newsgroups: comp.test\nFrom: a\nSubject: gamma", {"all"}},
      {"Newsgroups: comp.test\nFrom: spammer\nSubject: alpha", {}},   // fails comp.*
      {"Newsgroups: misc.test\nFrom: a\nSubject: alpha", {}},          // fails *
      {"NEWSGROUPS: COMP.TEST\nFrom: a\nSUBJECT: ALPHA", {"alpha", "all"}},  // case ignored
      {"X: y\nNewsgroups: comp\nSubject: alpha", {"alpha", "all"}},  // ^ anchors at each line
  };
  int n = 0;
  for (const auto& c : cases) {
    ++n;
    peer.AddArticle(n, c.header, "body " + std::to_string(n));
  }
  verbose = 1;
  EXPECT_EQ(n + 1, Run(ngInfo, 1, n, 1));

  std::map<std::string, std::vector<std::string>> expected;
  n = 0;
  for (const auto& c : cases) {
    ++n;
    for (const char* mailbox : c.mailboxes)
      expected[mailbox].push_back(Delivered(c.header, "body " + std::to_string(n)));
  }
  for (const char* mailbox : {"alpha", "beta-not-alpha", "all"})
    EXPECT_EQ(expected[mailbox], Messages(Mailbox(mailbox))) << mailbox;
  EXPECT_NE(std::string::npos, err.find("Examining article 5... no match. (general)\n"));
  EXPECT_NE(std::string::npos, err.find("Examining article 6... no match. (general)\n"));
}

TEST_F(PipelineTest, VerboseLinesTellTheFateOfEachArticle) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  peer.AddArticle(1, Header(1, "match"), "one");
  peer.AddArticle(2, Header(2, "other"), "two");
  verbose = 1;
  EXPECT_EQ(3, Run(ngInfo, 1, 2, 1));
  EXPECT_EQ(
      "Examining article 1... match!\n"
      "  Saving article 1... done!\n"
      "Examining article 2... no match.\n",
      err);
}

TEST_F(PipelineTest, FirstFailingActionStopsTheRestAndTheRun) {
  NewsgroupInfo* ngInfo = Filters(
      "comp.test:\n"
      "$DIR/missing/mbox\n"
      "comp.test:\n"
      "$DIR/second\n");
  for (int n = 1; n <= 6; ++n) peer.AddArticle(n, Header(n, "any"), "b");
  peer.SetLockstep(3);

  EXPECT_EQ(1, Run(ngInfo, 1, 6, 3));
  EXPECT_EQ(0, keepRunning);
  EXPECT_FALSE(testutil::FileExists(Mailbox("second")));
  // Draining: what was outstanding is still answered, nothing new is asked.
  EXPECT_EQ((std::vector<std::string>{"HEAD 1", "HEAD 2", "HEAD 3", "BODY 1", "BODY 2", "BODY 3"}),
            peer.Requests());
  EXPECT_NE(std::string::npos, err.find("unable to open file"));
}

TEST_F(PipelineTest, RecordsInOneChainEachFindTheirBody) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  for (int n = 5; n <= 256; ++n)
    peer.AddArticle(n, n == 5 || n == 256 ? "Subject: match " + std::to_string(n) : "S: x",
                    "body " + std::to_string(n));

  // Every HEAD goes out at once, so every header is in before the first
  // body: 256 then stands in front of 5 in their chain.
  EXPECT_EQ(257, Run(ngInfo, 5, 256, 300));
  EXPECT_EQ(Concat({Range("HEAD", 5, 256), {"BODY 5", "BODY 256"}}), peer.Requests());
  EXPECT_EQ((std::vector<std::string>{Delivered("Subject: match 5", "body 5"),
                                       Delivered("Subject: match 256", "body 256")}),
            Messages(Mailbox("mbox")));
}

// --- Error replies and the resume point -------------------------------------

// Articles 1 to 10, of which 5 and 8 match, three requests at a time; one
// request is answered with an error status.  An article the server no
// longer has is dealt with; one it refuses holds the newsgroup: nothing
// more is asked, nothing numbered above it is delivered, the next run
// starts with it, and the run goes on.
TEST_F(PipelineTest, ArticlesGoneArePassedOverAndRefusedOnesHoldTheNewsgroup) {
  const struct {
    const char* request;
    const char* reply;
    const char* err;
    std::vector<int> delivered;
    int resume;
    const char* lastRequest;
    // Answers of one read come together, so that a refusal arrives
    // before the body of the match just ahead of it has gone out.
    bool together = false;
  } cases[] = {
      {"HEAD 5", "423 no such article\r\n", "", {8}, 11, "BODY 8"},
      {"HEAD 5", "430 no such article\r\n", "", {8}, 11, "BODY 8"},
      {"BODY 5", "423 no such article\r\n", "", {8}, 11, "BODY 8"},
      {"BODY 5", "430 no article with that message-id\r\n", "", {8}, 11, "BODY 8"},
      {"HEAD 5", "480 authentication required\r\n",
       "pelliton: article 5: server refused HEAD -- 480 authentication required\n", {}, 5,
       "HEAD 7"},
      {"BODY 5", "503 program fault\r\n",
       "pelliton: article 5: server refused BODY -- 503 program fault\n", {}, 5, "HEAD 9"},
      {"HEAD 8", "503 program fault\r\n",
       "pelliton: article 8: server refused HEAD -- 503 program fault\n", {5}, 8, "HEAD 10"},
      {"BODY 8", "400 going away\x07\r\r\n",
       "pelliton: article 8: server refused BODY -- 400 going away?\n", {5}, 8, "BODY 8"},
      // A match below the article refused is still fetched: the hold
      // keeps back only what lies at and above it.
      {"HEAD 6", "503 program fault\r\n",
       "pelliton: article 6: server refused HEAD -- 503 program fault\n", {5}, 6, "BODY 5",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.request) + " answered " + c.reply);
    ScriptedPeer local;
    NewsgroupInfo* ngInfo = Filters(kOneMailbox);
    for (int n = 1; n <= 10; ++n)
      local.AddArticle(n, Header(n, n == 5 || n == 8 ? "match" : "x"), "b");
    local.SetReply(c.request, c.reply);
    if (c.together)
      local.SetBatchAnswers(true);
    else
      local.SetLockstep(3);
    keepRunning = 1;
    runFailed = 0;
    EXPECT_EQ(c.resume, RunOn(local, ngInfo, 1, 10, 3));
    EXPECT_EQ(1, keepRunning);
    EXPECT_EQ(c.err, err);
    // A refusal leaves work undone; an article gone does not.
    EXPECT_EQ(*c.err != '\0' ? 1 : 0, runFailed);
    EXPECT_EQ(c.lastRequest, local.Requests().back());
    std::vector<std::string> expected;
    for (int n : c.delivered) expected.push_back(Delivered(Header(n, "match"), "b"));
    EXPECT_EQ(expected, Messages(Mailbox("mbox")));
    std::remove(Mailbox("mbox").c_str());
    ReleaseConfigModel();
  }
}

// Newsgroup started at 101; headers up to 120 examined when the server goes.
TEST_F(PipelineTest, StoppedEndResumesBehindWhatWasDealtWith) {
  const struct {
    const char* name;
    std::vector<int> matching;
    const char* closeOn;
    int resume;
  } cases[] = {
      {"no match", {}, "HEAD 121", 121},
      {"most recent match delivered", {115}, "HEAD 121", 121},
      {"most recent match not delivered", {115, 118}, "BODY 118", 116},
      {"nothing delivered", {104}, "BODY 104", 101},
  };
  for (const auto& c : cases) {
    ScriptedPeer local;
    NewsgroupInfo* ngInfo = Filters(kOneMailbox);
    for (int n = 101; n <= 130; ++n) {
      bool match = std::find(c.matching.begin(), c.matching.end(), n) != c.matching.end();
      local.AddArticle(n, Header(n, match ? "match" : "x"), "b");
    }
    local.CloseOn(c.closeOn);
    keepRunning = 1;
    runFailed = 0;
    EXPECT_EQ(c.resume, RunOn(local, ngInfo, 101, 130, 1)) << c.name;
    EXPECT_EQ(0, keepRunning) << c.name;
    EXPECT_EQ(1, runFailed) << c.name;
    EXPECT_EQ("server closed connection... aborting!\n", err) << c.name;
    ReleaseConfigModel();
  }
}

TEST_F(PipelineTest, NothingAboveAFailedDeliveryIsDelivered) {
  NewsgroupInfo* ngInfo = Filters(kBadFailsGoodDelivered);
  for (int n = 101; n <= 130; ++n)
    peer.AddArticle(n, Header(n, n == 110 ? "bad" : n == 112 ? "good" : "x"), "b");
  peer.SetLockstep(4);

  // The body of 112 was on its way when 110 failed: it is read and
  // dropped, and the next run fetches both again.
  EXPECT_EQ(101, Run(ngInfo, 101, 130, 4));
  EXPECT_EQ(0, keepRunning);
  EXPECT_FALSE(testutil::FileExists(Mailbox("mbox")));
  std::vector<std::string> requests = peer.Requests();
  EXPECT_EQ("BODY 112", requests[requests.size() - 2]);
  EXPECT_EQ("HEAD 115", requests.back());
}

TEST_F(PipelineTest, SignalWhileRequestsAreOutstandingDrainsThem) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  for (int n = 1; n <= 20; ++n) peer.AddArticle(n, Header(n, n == 2 || n == 5 ? "match" : "x"), "b");
  peer.SetLockstep(4);
  // The "signal" lands when HEAD 6 goes out: HEAD 4, HEAD 5, BODY 2 and
  // HEAD 6 are outstanding then.
  peer.SetHook([](const std::string& request) {
    if (request == "HEAD 6") keepRunning = 0;
  });

  // Article 5 matches while draining; its body is never asked for, so the
  // next run starts behind the last article delivered.
  EXPECT_EQ(3, Run(ngInfo, 1, 20, 4));
  EXPECT_EQ(Concat({Range("HEAD", 1, 5), {"BODY 2", "HEAD 6"}}), peer.Requests());
  EXPECT_EQ((std::vector<std::string>{Delivered(Header(2, "match"), "b")}),
            Messages(Mailbox("mbox")));
}

TEST_F(PipelineTest, ServerClosingMidBodyDropsThePartialBody) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  peer.AddArticle(1, Header(1, "match"), "one");
  peer.AddArticle(2, Header(2, "match"), "two");
  peer.SetReply("BODY 2", "222 2 <id>\r\nfirst half\r\n", true);

  EXPECT_EQ(2, Run(ngInfo, 1, 5, 1));
  EXPECT_EQ(0, keepRunning);
  EXPECT_EQ((std::vector<std::string>{Delivered(Header(1, "match"), "one")}),
            Messages(Mailbox("mbox")));
  EXPECT_EQ("server closed connection... aborting!\n", err);
}

// --- The article limit ------------------------------------------------------

// A header or body over the limit is read to its end without being kept,
// reported, and dealt with: it is never fetched again.  Lines longer than
// the input buffer count against the limit as they arrive.
TEST_F(PipelineTest, ArticlesOverTheLimitAreReadToTheirEndAndPassedOver) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  articleLimit = 100;
  // Texts of exactly 100 bytes: the lines, the line feeds between them,
  // and no stuffed dot.
  const std::string header100 = "Subject: match\n" + std::string(85, 'h');
  const std::string body100 = ".dot\n" + std::string(95, 'b');
  const std::string huge(200000, 'z');
  peer.AddArticle(1, header100, "one");
  peer.AddArticle(2, header100 + "h", "two");                // header of 101 bytes
  peer.AddArticle(3, "Subject: match 3", body100);
  peer.AddArticle(4, "Subject: match 4", body100 + "b");     // body of 101 bytes
  peer.AddArticle(5, "Subject: match 5", "a\n" + huge + "\nz");  // a line past the buffer
  peer.AddArticle(6, "Subject: match\nX-Long: " + huge, "six");
  peer.AddArticle(7, "Subject: match 7", "seven");
  verbose = 1;

  EXPECT_EQ(8, Run(ngInfo, 1, 7, 1));
  EXPECT_EQ(1, keepRunning);
  EXPECT_EQ((std::vector<std::string>{Delivered(header100, "one"),
                                       Delivered("Subject: match 3", body100),
                                       Delivered("Subject: match 7", "seven")}),
            Messages(Mailbox("mbox")));
  for (int n : {2, 6}) {
    EXPECT_NE(std::string::npos,
              err.find("Examining article " + std::to_string(n) +
                       "... skipped.\npelliton: article " + std::to_string(n) +
                       ": larger than 100 bytes, skipped\n"))
        << n;
  }
  for (int n : {4, 5}) {
    EXPECT_NE(std::string::npos,
              err.find("  Saving article " + std::to_string(n) +
                       "... skipped.\npelliton: article " + std::to_string(n) +
                       ": larger than 100 bytes, skipped\n"))
        << n;
  }
  EXPECT_EQ((std::vector<std::string>{"HEAD 1", "BODY 1", "HEAD 2", "HEAD 3", "BODY 3", "HEAD 4",
                                       "BODY 4", "HEAD 5", "BODY 5", "HEAD 6", "HEAD 7", "BODY 7"}),
            peer.Requests());
}

// Lines longer than the input buffer (64 KB) count against the limit as
// they arrive, and may take the whole limit: a header of one line, or a
// body of one line that the server stuffs with a dot, of exactly the
// limit is kept, and so is one a byte shorter; one a byte longer is not.
TEST_F(PipelineTest, ALongLineMayTakeTheWholeLimit) {
  articleLimit = 100000;
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  const std::string subject = "Subject: match ";
  auto header = [&](std::size_t size) { return subject + std::string(size - subject.size(), 'h'); };
  auto body = [](std::size_t size) { return "." + std::string(size - 1, 'b'); };
  const std::size_t sizes[] = {99999, 100000, 100001};
  std::vector<std::string> kept;
  int n = 0;
  for (std::size_t size : sizes) {
    ++n;
    peer.AddArticle(n, header(size), "b");
    if (size <= 100000) kept.push_back(Delivered(header(size), "b"));
  }
  for (std::size_t size : sizes) {
    ++n;
    peer.AddArticle(n, "Subject: match", body(size));
    if (size <= 100000) kept.push_back(Delivered("Subject: match", body(size)));
  }

  EXPECT_EQ(7, Run(ngInfo, 1, 6, 1));
  EXPECT_EQ(kept, Messages(Mailbox("mbox")));
  EXPECT_EQ(
      "pelliton: article 3: larger than 100000 bytes, skipped\n"
      "pelliton: article 6: larger than 100000 bytes, skipped\n",
      err);
}

// An answer that never ends is read up to twice the article limit and 16
// megabytes more; then the connection is given up as out of step.  A
// text that long is over the limit: it is skipped for good, so that the
// next run does not meet it again.
TEST_F(PipelineTest, AnswersWithoutEndAreGivenUp) {
  articleLimit = 1000;
  const struct {
    const char* name;
    const char* request;
    std::string prefix;
    std::string filler;
    bool skipped;
    int resume;
  } cases[] = {
      {"header lines without end", "HEAD 2", "221 2 <2@peer>\r\n",
       "X-More: " + std::string(200, 'm') + "\r\n", true, 3},
      {"a body line without end", "BODY 2", "222 2 <2@peer>\r\n", std::string(4096, 'z'), true, 3},
      {"a status line without end", "HEAD 2", "221 2 ", std::string(4096, '2'), false, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer local;
    NewsgroupInfo* ngInfo = Filters(kOneMailbox);
    for (int n = 1; n <= 3; ++n) local.AddArticle(n, Header(n, "match"), "b");
    local.SetFlood(c.request, c.prefix, c.filler);
    keepRunning = 1;
    runFailed = 0;
    EXPECT_EQ(c.resume, RunOn(local, ngInfo, 1, 3, 1));
    EXPECT_TRUE(local.EndlessStarted());
    EXPECT_EQ(std::string(c.skipped ? "pelliton: article 2: larger than 1000 bytes, skipped\n" : "") +
                  "pelliton: article 2: answer too long, taken as out of step with the requests\n",
              err);
    EXPECT_EQ(0, keepRunning);
    EXPECT_EQ(1, runFailed);
    EXPECT_EQ((std::vector<std::string>{Delivered(Header(1, "match"), "b")}),
              Messages(Mailbox("mbox")));
    std::remove(Mailbox("mbox").c_str());
    ReleaseConfigModel();
  }
}

// A status line is kept to a sane length however long the server makes
// it: the rest is read and dropped, and a message shows what was kept.
TEST_F(PipelineTest, OverlongStatusLinesAreKeptToASaneLength) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  const std::string pad(300000, 'y');
  peer.AddArticle(1, "Subject: match", "one");
  peer.SetReply("HEAD 1", "221 1 <" + pad + ">\r\nSubject: match\r\n.\r\n");
  peer.SetReply("HEAD 2", "503 " + pad + "\r\n");

  EXPECT_EQ(2, Run(ngInfo, 1, 2, 1));
  EXPECT_EQ((std::vector<std::string>{Delivered("Subject: match", "one")}),
            Messages(Mailbox("mbox")));
  EXPECT_EQ("pelliton: article 2: server refused HEAD -- 503 " + pad.substr(0, 1020) + "\n", err);
}

// --- Checkpoints -------------------------------------------------------------

// Along the way the engine offers where the next run could start, for the
// newsrc to be saved in the middle of a newsgroup.  A save must never let
// the next run pass an article not yet delivered: at every offer, each
// matching article below it is in the mailbox (unless the server no
// longer has it).  Articles 1 to 30, of which those in `matching` match.
TEST_F(PipelineTest, CheckpointsNeverPassAnArticleNotDelivered) {
  const std::vector<int> someMatch = {2, 5, 9, 14, 15, 22, 29};
  std::vector<int> allMatch;
  for (int n = 1; n <= 30; ++n) allMatch.push_back(n);
  const struct {
    const char* name;
    int maxReq;
    std::vector<int> matching;
    std::vector<std::pair<std::string, std::string>> replies;
    int gone;
    int resume;
  } cases[] = {
      {"one request at a time", 1, someMatch, {}, 0, 31},
      {"eight at a time", 8, someMatch, {}, 0, 31},
      {"a body refused holds the newsgroup", 8, someMatch, {{"BODY 14", "503 fault\r\n"}}, 0, 14},
      {"a body gone", 8, someMatch, {{"BODY 9", "430 gone\r\n"}}, 9, 31},
      // Article 11 is taken for gone by the stray line; the offers that
      // follow must not pass it.
      {"a stray line", 1, allMatch, {{"BODY 10", BodyResponse(10, "b") + "423 stray\r\n"}}, 0,
       11},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer local;
    NewsgroupInfo* ngInfo = Filters(kOneMailbox);
    auto matches = [&](int n) {
      return std::find(c.matching.begin(), c.matching.end(), n) != c.matching.end();
    };
    for (int n = 1; n <= 30; ++n) local.AddArticle(n, Header(n, matches(n) ? "match" : "x"), "b");
    for (const auto& [command, reply] : c.replies) local.SetReply(command, reply);
    // Answers trickle in, so that the engine passes between them.
    local.SetLineWrites(true);
    std::vector<ArticleNumber> offers;
    checkpointSink = [&](const NewsgroupInfo& ng, ArticleNumber next) {
      EXPECT_EQ(ngInfo, &ng);
      offers.push_back(next);
      const std::vector<std::string> delivered = Messages(Mailbox("mbox"));
      for (int n = 1; n < next; ++n) {
        const std::string message = Delivered(Header(n, "match"), "b");
        if (!matches(n) || n == c.gone) continue;
        EXPECT_NE(delivered.end(), std::find(delivered.begin(), delivered.end(), message))
            << "offered " << next << " before article " << n << " was delivered";
      }
    };
    keepRunning = 1;
    runFailed = 0;
    EXPECT_EQ(c.resume, RunOn(local, ngInfo, 1, 30, c.maxReq));
    EXPECT_GT(offers.size(), 3u);
    std::remove(Mailbox("mbox").c_str());
    ReleaseConfigModel();
  }
}

// --- Memory --------------------------------------------------------------------

// Matched headers wait whole for their bodies.  With a budget of 8000
// bytes and headers of about 3000, two may wait: of the first window of
// eight HEADs those that find no room are read again later, and from then
// on the HEADs that go out stay within the budget.  Header 10, larger
// than the whole budget, still passes, alone.  Every article arrives
// exactly once.
TEST_F(PipelineTest, HeadersWaitingForTheirBodiesStayWithinABudget) {
  heldHeaderBudget = 8000;
  auto header = [](int n) {
    return "Subject: match " + std::to_string(n) + "\nX-Pad: " +
           std::string(n == 10 ? 20000 : 3000, 'p');
  };
  for (int maxReq : {1, 8}) {
    SCOPED_TRACE("-n " + std::to_string(maxReq));
    ScriptedPeer local;
    NewsgroupInfo* ngInfo = Filters(kOneMailbox);
    std::vector<std::string> expected;
    for (int n = 1; n <= 12; ++n) {
      local.AddArticle(n, header(n), "b" + std::to_string(n));
      expected.push_back(Delivered(header(n), "b" + std::to_string(n)));
    }
    verbose = 1;
    EXPECT_EQ(13, RunOn(local, ngInfo, 1, 12, maxReq));
    verbose = 0;
    std::vector<std::string> delivered = Messages(Mailbox("mbox"));
    std::sort(delivered.begin(), delivered.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, delivered);
    std::map<std::string, int> asked;
    for (const std::string& request : local.Requests()) ++asked[request];
    for (int n = 1; n <= 12; ++n) EXPECT_EQ(1, asked["BODY " + std::to_string(n)]) << n;
    if (maxReq == 1) {
      EXPECT_EQ(24u, local.Requests().size());
    } else {
      EXPECT_GT(asked["HEAD 8"], 1);
      EXPECT_NE(std::string::npos,
                err.find("match, read again later: too many headers wait for their bodies.\n"));
      // Once the sizes are known, a HEAD goes out only when its header
      // will find room: at most a few are read again beside the first
      // window's.
      EXPECT_LE(local.Requests().size(), 24u + 8u);
    }
    std::remove(Mailbox("mbox").c_str());
    ReleaseConfigModel();
  }
}

// --- Reading from the overview ----------------------------------------------

// Articles 1 to 10 in RFC 3977's overview format; 3 and 7 match.
class OverviewPipelineTest : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    support.command = OverviewSupport::Command::kOver;
    reading.way = Reading::Way::kOverview;
    reading.overview = &support;
  }
  static std::string Subject(int n) { return n == 3 || n == 7 ? "a match" : "other"; }
  static std::string Line(int n) {
    return std::to_string(n) + "\t" + Subject(n) + "\ta@b\t\t<" + std::to_string(n) +
           "@peer>\t\t120\t1";
  }
  static std::vector<std::string> Lines(std::vector<int> numbers) {
    std::vector<std::string> lines;
    for (int n : numbers) lines.push_back(Line(n));
    return lines;
  }
  void AddArticles(ScriptedPeer& server) {
    for (int n = 1; n <= 10; ++n) server.AddArticle(n, Header(n, Subject(n).c_str()), "b" + std::to_string(n));
  }
  std::vector<std::string> DeliveredOf(std::vector<int> numbers) {
    std::vector<std::string> out;
    for (int n : numbers) out.push_back(Delivered(Header(n, Subject(n).c_str()), "b" + std::to_string(n)));
    return out;
  }
  OverviewSupport support;
};

// One OVER per range and one ARTICLE per match; the matches are delivered
// as HEAD and BODY would deliver them.
TEST_F(OverviewPipelineTest, OneOverPerRangeAndOneArticlePerMatch) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  AddArticles(peer);
  peer.SetReply("OVER 1-1000", OverResponse(Lines({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})));
  verbose = 1;

  EXPECT_EQ(11, Run(ngInfo, 1, 2500, 4));
  // The next range is asked for while one is read, ahead of the matches.
  EXPECT_EQ((std::vector<std::string>{"OVER 1-1000", "OVER 1001-2000", "OVER 2001-2500",
                                       "ARTICLE 3", "ARTICLE 7"}),
            peer.Requests());
  EXPECT_LE(peer.MaxOutstanding(), 4);
  EXPECT_EQ(DeliveredOf({3, 7}), Messages(Mailbox("mbox")));
  EXPECT_NE(std::string::npos, err.find("Examining article 2... no match.\n"
                                        "Examining article 3... match!\n"));
  EXPECT_NE(std::string::npos, err.find("  Saving article 7... done!\n"));
}

// The overview refused while the next range is on its way: that range's
// answer is not read, and HEAD covers the whole newsgroup.
TEST_F(OverviewPipelineTest, RefusalWhileTheNextRangeIsOnItsWay) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  AddArticles(peer);
  peer.SetReply("OVER 1-1000", "503 overview not available\r\n");
  peer.SetReply("OVER 1001-1005", OverResponse({"1003\ta match\ta@b\t\t<1003@peer>\t\t1\t1"}));

  EXPECT_EQ(1006, Run(ngInfo, 1, 1005, 4));
  std::vector<std::string> requests = peer.Requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ((std::vector<std::string>{"OVER 1-1000", "OVER 1001-1005"}),
            std::vector<std::string>(requests.begin(), requests.begin() + 2));
  std::vector<std::string> heads, bodies;
  for (const std::string& r : requests) {
    if (r.rfind("HEAD ", 0) == 0) heads.push_back(r);
    if (r.rfind("BODY ", 0) == 0) bodies.push_back(r);
  }
  EXPECT_EQ(Range("HEAD", 1, 1005), heads);
  EXPECT_EQ((std::vector<std::string>{"BODY 3", "BODY 7"}), bodies);
  EXPECT_EQ(2 + heads.size() + bodies.size(), requests.size());
  EXPECT_EQ(DeliveredOf({3, 7}), Messages(Mailbox("mbox")));
}

// What the overview leaves out below the highest number it lists is
// gone; what it leaves out above may not be listed yet.  Lines that
// cannot be placed leave the numbers they may stand for to HEAD.
TEST_F(OverviewPipelineTest, AnswersDecideWhatIsGoneAndWhereTheNextRunStarts) {
  const struct {
    const char* name;
    std::string over;
    std::vector<std::string> requests;  // after the OVER
    std::vector<int> delivered;
    int resume;
    const char* err;
  } cases[] = {
      {"every article listed", OverResponse(Lines({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})),
       {"ARTICLE 3", "ARTICLE 7"}, {3, 7}, 11, ""},
      {"gaps are gone", OverResponse(Lines({1, 2, 5, 9})), {}, {}, 10, ""},
      {"the last ones not listed yet", OverResponse(Lines({1, 2, 3, 4, 5})), {"ARTICLE 3"}, {3},
       6, ""},
      {"nothing listed (423)", "423 no articles\r\n", {}, {}, 1, ""},
      {"nothing listed (420)", "420 no articles\r\n", {}, {}, 1, ""},
      {"nothing listed (224 alone)", OverResponse({}), {}, {}, 1, ""},
      // Bodies of matches go before headers asked for again.
      {"a line without a number", OverResponse({Line(1), Line(2), "x\tjunk", Line(5), Line(6)}),
       {"HEAD 3", "BODY 3", "HEAD 4"}, {3}, 7, ""},
      // With no line placed after it, such a line may stand for any number
      // up to the end of the range.
      {"a line without a number at the end", OverResponse({Line(1), Line(2), "x\tjunk"}),
       Concat({{"HEAD 3", "BODY 3"}, Range("HEAD", 4, 7), {"BODY 7"}, Range("HEAD", 8, 10)}),
       {3, 7}, 11, ""},
      {"no line that can be used", OverResponse({"x\tjunk", "y"}),
       Concat({Range("HEAD", 1, 3), {"BODY 3"}, Range("HEAD", 4, 7), {"BODY 7"},
               Range("HEAD", 8, 10)}),
       {3, 7}, 11, ""},
      {"a line outside the range", OverResponse({Line(1), "15\tS\tF\t\t<m>\t\t1\t1", Line(4)}),
       {"HEAD 2", "HEAD 3", "BODY 3"}, {3}, 5, ""},
      {"lines out of order", OverResponse({Line(1), Line(4), Line(3), Line(8)}),
       {"HEAD 3", "BODY 3", "HEAD 5", "HEAD 6", "HEAD 7", "BODY 7"}, {3, 7}, 9, ""},
      {"a line repeated", OverResponse({Line(2), Line(3), Line(3), Line(5)}),
       {"ARTICLE 3", "HEAD 4"}, {3}, 6, ""},
      // The number is placed, so the gap before it is gone.
      {"too few fields", OverResponse({Line(1), "3", Line(4)}), {"HEAD 3", "BODY 3"}, {3}, 5, ""},
      {"only the fields the conditions name", OverResponse({Line(1), "3\ta match", Line(4)}),
       {"ARTICLE 3"}, {3}, 5, ""},
      {"overview refused", "503 overview not available\r\n",
       Concat({Range("HEAD", 1, 3), {"BODY 3"}, Range("HEAD", 4, 7), {"BODY 7"},
               Range("HEAD", 8, 10)}),
       {3, 7}, 11, "OVER refused -- 503 overview not available; reading with HEAD from article 1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer local;
    NewsgroupInfo* ngInfo = Filters(kOneMailbox);
    AddArticles(local);
    local.SetReply("OVER 1-10", c.over);
    keepRunning = 1;
    runFailed = 0;
    verbose = 1;
    EXPECT_EQ(c.resume, RunOn(local, ngInfo, 1, 10, 1));
    verbose = 0;
    EXPECT_EQ(Concat({{"OVER 1-10"}, c.requests}), local.Requests());
    EXPECT_EQ(DeliveredOf(c.delivered), Messages(Mailbox("mbox")));
    if (*c.err != '\0') {
      EXPECT_NE(std::string::npos, err.find(c.err)) << err;
    }
    EXPECT_EQ(1, keepRunning);
    EXPECT_EQ(0, runFailed);
    std::remove(Mailbox("mbox").c_str());
    ReleaseConfigModel();
  }
}

// ARTICLE gone, refused or answered out of step, and an OVER answered out
// of step, with two requests outstanding.
TEST_F(OverviewPipelineTest, RefusedAndOddArticleAnswers) {
  const struct {
    const char* name;
    const char* request;
    std::string reply;
    std::vector<int> delivered;
    int resume;
    const char* err;
    bool stops;
  } cases[] = {
      {"ARTICLE gone", "ARTICLE 3", "423 no such article\r\n", {7}, 11, "", false},
      {"ARTICLE gone by message-id", "ARTICLE 7", "430 gone\r\n", {3}, 11, "", false},
      {"ARTICLE refused", "ARTICLE 3", "503 program fault\r\n", {}, 3,
       "pelliton: article 3: server refused ARTICLE -- 503 program fault\n", false},
      {"ARTICLE with another number", "ARTICLE 7", ArticleResponse(8, "S: x", "b"), {3}, 4,
       "pelliton: article 7: answer out of step with the requests -- 220 8 <8@peer>\n", true},
      {"a header to an ARTICLE", "ARTICLE 3", HeadResponse(3, "S: x"), {}, 1,
       "pelliton: article 3: answer out of step with the requests -- 221 3 <3@peer>\n", true},
      {"an article to an OVER", "OVER 1-10", ArticleResponse(1, "S: x", "b"), {}, 1,
       "pelliton: article 1: answer out of step with the requests -- 220 1 <1@peer>\n", true},
      // The stray line is taken for ARTICLE 7's answer; the next run does
      // not pass 7.  It comes in one write with the real answer, so that
      // the engine cannot be done before that answer shows the stream out
      // of step.
      {"a stray line after an article", "ARTICLE 7",
       "423 no such article\r\n" + ArticleResponse(7, "S: x", "b7"), {3}, 7,
       "pelliton: article 7: answer out of step with the requests -- 220 7 <7@peer>\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer local;
    NewsgroupInfo* ngInfo = Filters(kOneMailbox);
    AddArticles(local);
    local.SetReply("OVER 1-10", OverResponse(Lines({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})));
    local.SetReply(c.request, c.reply);
    keepRunning = 1;
    runFailed = 0;
    EXPECT_EQ(c.resume, RunOn(local, ngInfo, 1, 10, 2));
    EXPECT_EQ(c.err, err);
    EXPECT_EQ(DeliveredOf(c.delivered), Messages(Mailbox("mbox")));
    EXPECT_EQ(c.stops ? 0 : 1, keepRunning);
    EXPECT_EQ(*c.err != '\0' ? 1 : 0, runFailed);
    std::remove(Mailbox("mbox").c_str());
    ReleaseConfigModel();
  }
}

// Read from the overview, the checkpoints follow the same rules as the
// end: never past a match not yet delivered, never past the highest
// number listed.  Articles 6 to 10 are not listed yet.
TEST_F(OverviewPipelineTest, CheckpointsKeepToTheOverviewsRules) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  AddArticles(peer);
  peer.SetReply("OVER 1-10", OverResponse(Lines({1, 2, 3, 4, 5})));
  peer.SetLineWrites(true);
  std::vector<ArticleNumber> offers;
  checkpointSink = [&](const NewsgroupInfo&, ArticleNumber next) {
    offers.push_back(next);
    EXPECT_LE(next, 6);
    if (next > 3) {
      EXPECT_EQ(DeliveredOf({3}), Messages(Mailbox("mbox")));
    }
  };
  EXPECT_EQ(6, Run(ngInfo, 1, 10, 2));
  EXPECT_FALSE(offers.empty());
}

// An overview answer that never ends: far more lines than numbers asked
// for give the connection up as out of step.
TEST_F(OverviewPipelineTest, AnOverviewWithoutEndIsGivenUp) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  AddArticles(peer);
  peer.SetFlood("OVER 1-10", "224 overview follows\r\n", Line(1) + "\r\n");
  EXPECT_EQ(2, Run(ngInfo, 1, 10, 2));
  EXPECT_EQ("pelliton: article 1: answer too long, taken as out of step with the requests\n", err);
  EXPECT_EQ(1, runFailed);
  EXPECT_EQ(0, keepRunning);
}

// A signal while the overview is read: the answer is read to its end and
// nothing more is asked.  The server going away halfway through the
// answer.  Either way no match was delivered, and the next run starts
// where this one did.
TEST_F(OverviewPipelineTest, StoppedWhileTheOverviewIsRead) {
  {
    NewsgroupInfo* ngInfo = Filters(kOneMailbox);
    AddArticles(peer);
    peer.SetReply("OVER 1-10", OverResponse(Lines({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})));
    peer.SetHook([](const std::string& request) {
      if (request == "OVER 1-10") keepRunning = 0;
    });
    EXPECT_EQ(1, Run(ngInfo, 1, 10, 4));
    EXPECT_EQ((std::vector<std::string>{"OVER 1-10"}), peer.Requests());
    EXPECT_FALSE(testutil::FileExists(Mailbox("mbox")));
    EXPECT_EQ(0, runFailed);
  }
  ReleaseConfigModel();
  {
    ScriptedPeer local;
    NewsgroupInfo* ngInfo = Filters(kOneMailbox);
    AddArticles(local);
    // Lines 1 to 5 come, then the connection ends in the middle of line 6.
    // One request at a time, so that no ARTICLE is left unread at the
    // peer, whose close would then be a reset rather than an end.
    const std::string over = OverResponse(Lines({1, 2, 3, 4, 5, 6}));
    local.SetReply("OVER 1-10", over.substr(0, over.find("\r\n6\t") + 5), true);
    keepRunning = 1;
    runFailed = 0;
    EXPECT_EQ(1, RunOn(local, ngInfo, 1, 10, 1));
    EXPECT_EQ("server closed connection... aborting!\n", err);
    EXPECT_EQ(1, runFailed);
  }
}

// Without conditions every article is taken whole with ARTICLE, and the
// mailbox holds what HEAD and BODY give for the same articles.
TEST_F(PipelineTest, ArticleAloneDeliversWhatHeadAndBodyDeliver) {
  const std::vector<std::pair<std::string, std::string>> articles = {
      {"Subject: one\n.X-Dot: kept as HEAD keeps it", "From the start\n.\n..\n\nlast"},
      {"Subject: two", ""},
      {"Subject: three", "\n"},
      {"", "a body without a header"},
  };
  std::vector<std::string> mailboxes[2];
  for (Reading::Way way : {Reading::Way::kHead, Reading::Way::kArticle}) {
    ScriptedPeer local;
    NewsgroupInfo* ngInfo = Filters(
        "comp.test:\n"
        "$DIR/mbox\n");
    for (std::size_t i = 0; i < articles.size(); ++i)
      local.AddArticle(static_cast<int>(i) + 1, articles[i].first, articles[i].second);
    reading.way = way;
    // Article 5 is not there.
    EXPECT_EQ(6, RunOn(local, ngInfo, 1, 5, 3));
    EXPECT_EQ("", err);
    const bool whole = way == Reading::Way::kArticle;
    if (whole) {
      EXPECT_EQ(Range("ARTICLE", 1, 5), local.Requests());
    }
    mailboxes[whole] = Messages(Mailbox("mbox"));
    std::remove(Mailbox("mbox").c_str());
    ReleaseConfigModel();
  }
  EXPECT_EQ(articles.size(), mailboxes[0].size());
  EXPECT_EQ(mailboxes[0], mailboxes[1]);
}

// --- Signals -----------------------------------------------------------------

// What the run's own handler does.
void CountSignal(int) {
  signalsCaught = signalsCaught + 1;
  keepRunning = 0;
}

// A server that stops answering in the middle of a body (falling silent,
// or sending a byte now and then, which keeps its timeout from running
// out) holds a draining engine for ever.  Once the run is stopping, a
// further signal gives up what is outstanding: the second one after a
// first, or the first after a failed delivery.
TEST_F(PipelineTest, FurtherSignalGivesUpTheAnswersStillOutstanding) {
  const struct {
    const char* name;
    std::chrono::milliseconds trickle;  // 0: silent
    bool failedDelivery;
    int signals;   // needed to end the drain
    int resume;
    std::vector<int> delivered;
  } cases[] = {
      {"silent, stopped by a signal", 0ms, false, 2, 3, {1, 2}},
      {"trickling, stopped by a signal", 20ms, false, 2, 3, {1, 2}},
      {"silent, stopped by a failed delivery", 0ms, true, 1, 2, {1}},
      {"trickling, stopped by a failed delivery", 20ms, true, 1, 2, {1}},
  };
  struct sigaction action = {};
  struct sigaction saved = {};
  action.sa_handler = CountSignal;
  sigaction(SIGUSR1, &action, &saved);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer local;
    NewsgroupInfo* ngInfo = Filters(kBadFailsGoodDelivered);
    for (int n = 1; n <= 6; ++n)
      local.AddArticle(n, Header(n, c.failedDelivery && n == 2 ? "bad" : "good"), "b");
    // Body 3 is asked for while bodies 1 and 2 are outstanding, and its
    // answer starts after both are handled.
    local.SetEndless("BODY 3", "222 3 <3@peer>\r\nfirst line\r\n", c.trickle);
    local.SetLockstep(3);
    keepRunning = 1;
    signalsCaught = 0;

    const pthread_t engineThread = pthread_self();
    std::atomic<bool> engineDone{false};
    std::atomic<int> sent{0};
    std::atomic<bool> drainHeld{true};
    std::thread signaller([&] {
      while (!local.EndlessStarted() && !engineDone) std::this_thread::sleep_for(5ms);
      for (int i = 0; i < c.signals && !engineDone; ++i) {
        if (i > 0) {
          // The signals before the last must leave the drain waiting.
          std::this_thread::sleep_for(300ms);
          if (engineDone) drainHeld = false;
        }
        std::this_thread::sleep_for(100ms);
        pthread_kill(engineThread, SIGUSR1);
        ++sent;
      }
    });
    const ArticleNumber resume = RunOn(local, ngInfo, 1, 6, 3);
    engineDone = true;
    signaller.join();

    EXPECT_EQ(c.resume, resume);
    EXPECT_EQ(c.signals, sent);
    EXPECT_TRUE(drainHeld);
    EXPECT_EQ(0, keepRunning);
    EXPECT_EQ(std::string::npos, err.find("server closed connection")) << err;
    std::vector<std::string> expected;
    for (int n : c.delivered) expected.push_back(Delivered(Header(n, "good"), "b"));
    EXPECT_EQ(expected, Messages(Mailbox("mbox")));
    std::remove(Mailbox("mbox").c_str());
    ReleaseConfigModel();
  }
  sigaction(SIGUSR1, &saved, nullptr);
}

// --- Inactivity timeout ----------------------------------------------------

void IgnoreSignal(int) {}

TEST_F(PipelineTest, SilentServerTimesOutEvenWhileSignalsArrive) {
  NewsgroupInfo* ngInfo = Filters(kOneMailbox);
  peer.AddArticle(1, Header(1, "x"), "b");
  peer.AddArticle(2, Header(2, "x"), "b");
  peer.SetHook([this](const std::string& request) {
    if (request == "HEAD 3") peer.SetStall(true);
  });
  timeout = 1;

  // Signals every 100 ms interrupt each wait; they must not restart the
  // clock.  Ten seconds of them are far more than the timeout.
  struct sigaction action = {};
  struct sigaction saved = {};
  action.sa_handler = IgnoreSignal;
  sigaction(SIGUSR1, &action, &saved);
  pthread_t engineThread = pthread_self();
  std::atomic<bool> engineDone{false};
  std::atomic<int> sent{0};
  std::thread signaller([&] {
    while (!engineDone && sent < 100) {
      std::this_thread::sleep_for(100ms);
      pthread_kill(engineThread, SIGUSR1);
      ++sent;
    }
  });

  int resume = Run(ngInfo, 1, 10, 1);
  engineDone = true;
  signaller.join();
  sigaction(SIGUSR1, &saved, nullptr);

  EXPECT_LT(sent, 100);
  EXPECT_EQ(3, resume);
  EXPECT_EQ(0, keepRunning);
  EXPECT_EQ("pelliton: timeout talking to NNTP server\n", err);
}

}  // namespace
}  // namespace pelliton
