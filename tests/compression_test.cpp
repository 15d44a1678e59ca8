// COMPRESS DEFLATE at the connection's byte seam: the stream on its own,
// fed as a news server compresses; and the connection over a socketpair,
// where the exchanges and the engine must see exactly the plaintext.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "compression.h"
#include "config.h"
#include "config_release.h"
#include "connection.h"
#include "filterfile.h"
#include "mailbox.h"
#include "nntppipeline.h"
#include "rawdeflate.h"
#include "test_util.h"
#include "text_stream.h"

namespace pelliton {
namespace {

using testutil::RawDeflater;
using testutil::RawInflater;

std::unique_ptr<Compression> NewCompression() {
  std::string error;
  std::unique_ptr<Compression> c = Compression::Create(&error);
  EXPECT_TRUE(c) << error;
  return c;
}

// Answers as a server sends them: lines of every length, with the dots
// and blank lines of real articles.
std::string SampleAnswers() {
  std::string text;
  for (int n = 1; n <= 300; ++n) {
    text += "221 " + std::to_string(n) + " <" + std::to_string(n) + "@x>\r\n";
    text += "Subject: article " + std::to_string(n) + "\r\n";
    text += std::string(static_cast<std::size_t>(n * 37 % 1500), static_cast<char>('a' + n % 26));
    text += "\r\n..dotted\r\n\r\n.\r\n";
  }
  return text;
}

TEST(CompressionTest, EachWriteCanBeDecodedTheMomentItArrives) {
  std::unique_ptr<Compression> c = NewCompression();
  RawInflater server;
  for (const char* write : {"HEAD 1\r\n", "HEAD 2\r\nHEAD 3\r\nBODY 2\r\n", "QUIT\r\n"}) {
    std::string wire;
    ASSERT_TRUE(c->Compress(write, &wire));
    std::string plain;
    ASSERT_TRUE(server.Inflate(wire, &plain)) << server.error();
    EXPECT_EQ(write, plain);
  }
}

TEST(CompressionTest, InflatesWhateverThePiecesAndNeverMoreThanAsked) {
  const std::string answers = SampleAnswers();
  // Sixteen megabytes of one byte: a bomb in small.
  const std::string bomb(16 << 20, 'a');
  const struct {
    const char* name;
    const std::string* plain;
    int flush;
    std::size_t piece;  // compressed bytes fed at a time; 0: all at once
    std::size_t cap;    // plaintext asked for at a time
  } cases[] = {
      {"byte by byte, a byte at a time", &answers, Z_SYNC_FLUSH, 1, 1},
      {"byte by byte, a buffer at a time", &answers, Z_PARTIAL_FLUSH, 1, 4096},
      {"odd pieces, small reads", &answers, Z_SYNC_FLUSH, 7, 3},
      {"all at once, large reads", &answers, Z_PARTIAL_FLUSH, 0, 65536},
      {"a bomb, all at once", &bomb, Z_SYNC_FLUSH, 0, 65536},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Compressed one answer-sized piece at a time, as a server flushes.
    RawDeflater server;
    std::string wire;
    for (std::size_t at = 0; at < c.plain->size(); at += 100000)
      wire += server.Compress(std::string_view(*c.plain).substr(at, 100000), c.flush);
    std::unique_ptr<Compression> z = NewCompression();
    std::string plain;
    std::vector<char> buf(c.cap);
    std::size_t fed = 0;
    std::size_t largest = 0;
    for (;;) {
      const long n = z->Inflate(buf.data(), buf.size());
      ASSERT_GE(n, 0);
      if (n > 0) {
        largest = std::max(largest, static_cast<std::size_t>(n));
        plain.append(buf.data(), static_cast<std::size_t>(n));
        continue;
      }
      // Nothing more without input: nothing may be held back either.
      ASSERT_FALSE(z->HasBufferedInput());
      if (fed == wire.size()) break;
      const std::size_t step = c.piece == 0 ? wire.size() : std::min(c.piece, wire.size() - fed);
      std::size_t room = 0;
      char* space = z->InputSpace(&room);
      ASSERT_GE(room, std::min<std::size_t>(step, 4096));
      const std::size_t take = std::min(step, room);
      std::memcpy(space, wire.data() + fed, take);
      z->Fed(take);
      fed += take;
    }
    EXPECT_LE(largest, c.cap);
    EXPECT_TRUE(plain == *c.plain) << plain.size() << " bytes instead of " << c.plain->size();
  }
}

TEST(CompressionTest, EndAndCorruptionComeAfterThePlaintextBeforeThem) {
  RawDeflater finished;
  RawDeflater flushed;
  const struct {
    const char* name;
    std::string wire;
    const char* plain;  // handed out before the outcome
    long outcome;
    const char* reason;
  } cases[] = {
      {"the stream's last block, and bytes after it",
       finished.Compress("205 bye\r\n", Z_FINISH) + "more", "205 bye\r\n", Compression::kEnd, ""},
      {"a block of a reserved type", flushed.Compress("211 1 1 1 x\r\n") + "\xff\xff\xff",
       "211 1 1 1 x\r\n", Compression::kCorrupt, "invalid block type"},
      {"a server that answered 206 and goes on in plain text", "101 Capability list:\r\n", "",
       Compression::kCorrupt, "invalid stored block lengths"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<Compression> z = NewCompression();
    z->Feed(c.wire.data(), c.wire.size());
    char buf[256];
    std::string plain;
    long n;
    while ((n = z->Inflate(buf, sizeof buf)) > 0) plain.append(buf, static_cast<std::size_t>(n));
    EXPECT_EQ(c.outcome, n);
    EXPECT_EQ(c.plain, plain);
    EXPECT_EQ(c.reason, z->reason());
    // It stays so, and says so without waiting for input.
    EXPECT_TRUE(z->HasBufferedInput());
    EXPECT_EQ(c.outcome, z->Inflate(buf, sizeof buf));
  }
}

// --- The connection ----------------------------------------------------------

class CompressedConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    peer = fds[1];
    connection.Adopt(UniqueFd(fds[0]));
    keepRunning = 1;
    signalsCaught = 0;
  }
  void TearDown() override {
    close(peer);
    keepRunning = 0;
  }

  void PeerWrite(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(peer, bytes.data(), bytes.size()));
  }
  // Reads the compressed bytes the connection has sent and inflates them.
  std::string PeerRead() {
    char buf[4096];
    const ssize_t n = read(peer, buf, sizeof buf);
    std::string plain;
    EXPECT_TRUE(n > 0 && inflater.Inflate(std::string_view(buf, static_cast<std::size_t>(n)),
                                          &plain))
        << inflater.error();
    return plain;
  }

  // The 206 answer, with the beginning of the compressed stream in the
  // same write, as a quick server sends it.
  void StartWith(const std::string& compressed) {
    PeerWrite("206 Compression active\r\n" + compressed);
    char line[kResponseLineSize];
    ASSERT_EQ(1, connection.ReadStatusLine(line, sizeof line));
    ASSERT_STREQ("206 Compression active\r\n", line);
    ASSERT_EQ(1, connection.StartCompression());
  }

  NntpConnection connection{5};
  int peer = -1;
  RawDeflater deflater;
  RawInflater inflater;
};

TEST_F(CompressedConnectionTest, ExchangesSeePlaintextBothWays) {
  StartWith(deflater.Compress("101 Capability list:\r\nVERSION 2\r\n"));
  PeerWrite(deflater.Compress(".\r\n211 3 1 3 comp.test\r\n"));
  char line[kResponseLineSize];
  for (const char* expected : {"101 Capability list:\r\n", "VERSION 2\r\n", ".\r\n",
                               "211 3 1 3 comp.test\r\n"}) {
    ASSERT_EQ(1, connection.ReadLine(line, sizeof line));
    EXPECT_STREQ(expected, line);
  }
  ASSERT_EQ(1, connection.SendLine("GROUP comp.test\r\n"));
  EXPECT_EQ("GROUP comp.test\r\n", PeerRead());
  ASSERT_EQ(1, connection.SendLine("QUIT\r\n"));
  EXPECT_EQ("QUIT\r\n", PeerRead());
}

TEST(CompressedStreamEndTest, ABrokenOrEndedStreamIsALostConnection) {
  const struct {
    const char* name;
    bool corrupt;  // else the server ends its stream
    bool engine;   // read as the request engine reads, else as an exchange
    const char* message;
  } cases[] = {
      {"corrupt, an exchange", true, false,
       "pelliton: error talking to NNTP server -- invalid block type\n"},
      {"corrupt, the engine", true, true,
       "pelliton: error talking to NNTP server -- invalid block type\n"},
      {"ended, an exchange", false, false,
       "pelliton: error talking to NNTP server -- connection closed by server\n"},
      {"ended, the engine", false, true, "server closed connection... aborting!\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawDeflater deflater;
    const std::string wire = c.corrupt ? deflater.Compress("221 1 <a>\r\n") + "\xff"
                                       : deflater.Compress("221 1 <a>\r\n", Z_FINISH);
    NntpConnection fresh(5);
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    fresh.Adopt(UniqueFd(fds[0]));
    const std::string bytes = "206 on\r\n" + wire;
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fds[1], bytes.data(), bytes.size()));
    char line[kResponseLineSize];
    ASSERT_EQ(1, fresh.ReadStatusLine(line, sizeof line));
    ASSERT_EQ(1, fresh.StartCompression());
    testing::internal::CaptureStderr();
    std::string got;
    bool failed = false;
    // The connection stays open: only the stream says that it ended.
    for (int i = 0; i < 100 && !failed; ++i) {
      if (c.engine) {
        NntpConnection::Readiness ready;
        fresh.Wait(false, ready);
        const long n = fresh.Read(line, sizeof line);
        if (n > 0) got.append(line, static_cast<std::size_t>(n));
        failed = n < 0;
      } else {
        failed = fresh.ReadLine(line, sizeof line) == 0;
        if (!failed) got += line;
      }
    }
    EXPECT_EQ(c.message, testing::internal::GetCapturedStderr());
    EXPECT_TRUE(failed);
    EXPECT_EQ("221 1 <a>\r\n", got);
    close(fds[1]);
  }
}

// Empty blocks inflate to nothing: a server that floods the connection
// with them, never leaving a wait idle, still has said nothing when the
// timeout passes.  Taken as a sign of life, they kept the run waiting for
// as long as the server sent them.
TEST(CompressedStreamEndTest, AFloodOfEmptyBlocksTimesOut) {
  for (const bool engine : {false, true}) {
    SCOPED_TRACE(engine ? "the engine" : "an exchange");
    NntpConnection fresh(1);
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    fresh.Adopt(UniqueFd(fds[0]));
    const std::string start = "206 on\r\n";
    ASSERT_EQ(static_cast<ssize_t>(start.size()), write(fds[1], start.data(), start.size()));
    char line[kResponseLineSize];
    ASSERT_EQ(1, fresh.ReadStatusLine(line, sizeof line));
    ASSERT_EQ(1, fresh.StartCompression());
    std::string empties;
    for (int i = 0; i < 8192; ++i) empties.append("\x00\x00\x00\xff\xff", 5);
    std::atomic<bool> done{false};
    std::atomic<bool> floodOver{false};
    // The writes block while the socket is full, so that it stays full.
    std::thread flood([&] {
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!done && std::chrono::steady_clock::now() < until)
        // The shutdown below ends a write that blocks: no SIGPIPE for it.
        if (send(fds[1], empties.data(), empties.size(), MSG_NOSIGNAL) < 0) break;
      floodOver = true;
    });
    testing::internal::CaptureStderr();
    bool failed = false;
    while (!failed) {
      if (engine) {
        NntpConnection::Readiness ready;
        failed = fresh.Wait(false, ready) == NntpConnection::WaitResult::kFailed ||
                 (ready.readable && fresh.Read(line, sizeof line) < 0);
      } else {
        failed = fresh.ReadLine(line, sizeof line) == 0;
      }
    }
    const bool gaveUpByItself = !floodOver;
    done = true;
    shutdown(fds[0], SHUT_RDWR);
    flood.join();
    EXPECT_EQ("pelliton: timeout talking to NNTP server\n", testing::internal::GetCapturedStderr());
    EXPECT_TRUE(gaveUpByItself);
    close(fds[1]);
  }
}

// --- One write per pass --------------------------------------------------------

// A news server over SOCK_SEQPACKET, where every read is one write of the
// engine: it answers HEAD and BODY from a fixed set of articles, the
// answers to one write together in one write, and records what each write
// carried.  With compression each write must inflate to whole lines on its
// own, or the server could not answer it.
class RecordPeer {
 public:
  explicit RecordPeer(bool compressed) : compressed_(compressed) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) std::abort();
    engineFd_ = fds[0];
    peerFd_ = fds[1];
    thread_ = std::thread([this] { Serve(); });
  }
  ~RecordPeer() {
    if (engineFd_ >= 0) close(engineFd_);
    if (thread_.joinable()) thread_.join();
    close(peerFd_);
  }

  // The engine's end; the peer stops when it is closed.
  UniqueFd TakeEngineSide() {
    UniqueFd fd(engineFd_);
    engineFd_ = -1;
    return fd;
  }
  // Once the engine's end is closed.
  std::vector<std::vector<std::string>> Batches() {
    if (thread_.joinable()) thread_.join();
    return batches_;
  }
  bool wholeLines() const { return wholeLines_; }

 private:
  static std::string Answer(const std::string& request) {
    const int n = std::atoi(request.c_str() + 5);
    const std::string id = " <" + std::to_string(n) + "@peer>\r\n";
    const char* subject = n == 1 ? "match" : "other";
    if (request.rfind("HEAD ", 0) == 0)
      return "221 " + std::to_string(n) + id + "From: a@b\r\nSubject: " + subject + "\r\n.\r\n";
    if (request.rfind("BODY ", 0) == 0) return "222 " + std::to_string(n) + id + "b\r\n.\r\n";
    return "500 what\r\n";
  }

  void Serve() {
    for (;;) {
      char buf[65536];
      const ssize_t n = recv(peerFd_, buf, sizeof buf, 0);
      if (n <= 0) return;
      std::string text(buf, static_cast<std::size_t>(n));
      if (compressed_) {
        text.clear();
        if (!inflater_.Inflate(std::string_view(buf, static_cast<std::size_t>(n)), &text)) return;
      }
      if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) wholeLines_ = false;
      batches_.emplace_back();
      std::string answers;
      for (std::size_t pos = 0, lf; (lf = text.find("\r\n", pos)) != std::string::npos;
           pos = lf + 2) {
        batches_.back().push_back(text.substr(pos, lf - pos));
        answers += Answer(batches_.back().back());
      }
      if (compressed_) answers = deflater_.Compress(answers);
      if (send(peerFd_, answers.data(), answers.size(), MSG_NOSIGNAL) < 0) return;
    }
  }

  bool compressed_;
  int engineFd_ = -1;
  int peerFd_ = -1;
  RawInflater inflater_;
  RawDeflater deflater_;
  bool wholeLines_ = true;
  std::vector<std::vector<std::string>> batches_;
  std::thread thread_;
};

TEST(CompressedEngineTest, OneWriteOfRequestsStaysOneWrite) {
  testutil::TempDir dir;
  std::vector<std::vector<std::string>> batches[2];
  std::vector<std::string> messages[2];
  for (bool compressed : {false, true}) {
    SCOPED_TRACE(compressed ? "compressed" : "plain");
    ReleaseConfigModel();
    keepRunning = 1;
    signalsCaught = 0;
    const std::string mbox = dir.file(compressed ? "compressed" : "plain");
    ASSERT_EQ(1, ReadConfig(testutil::TextStream("comp.test:\n* ^Subject: match\n" + mbox + "\n")
                                .get(),
                            "filters"));
    NewsgroupInfo* ngInfo = FindNewsgroup("comp.test");
    ngInfo->nextArticle = 1;
    RecordPeer peer(compressed);
    {
      NntpConnection connection(20);
      connection.Adopt(peer.TakeEngineSide());
      if (compressed) {
        ASSERT_EQ(1, connection.StartCompression());
      }
      PipelineEngine engine(connection, 8, kDefaultArticleLimit);
      engine.Run(ngInfo, 20);
    }
    EXPECT_EQ(21, ngInfo->nextArticle);
    batches[compressed] = peer.Batches();
    EXPECT_TRUE(peer.wholeLines());
    messages[compressed] = testutil::Messages(mbox);
  }
  ReleaseConfigModel();
  keepRunning = 0;
  // The same writes, line for line, and the same article delivered.
  EXPECT_EQ(batches[0], batches[1]);
  EXPECT_GT(batches[0].size(), 1u);
  EXPECT_EQ(1u, messages[1].size());
  EXPECT_EQ(messages[0], messages[1]);
}

}  // namespace
}  // namespace pelliton
