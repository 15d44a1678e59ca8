// The scripted news server itself: what it puts on the wire, and that its
// misbehaviour switches do what the tests that rely on them expect.
#include "newsserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "test_util.h"

namespace {

using namespace std::chrono_literals;
using testserver::NewsServer;

// A blocking loopback client that reads with a deadline.
class Client {
 public:
  explicit Client(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Client() { close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }
  void Send(const std::string& text) {
    ASSERT_EQ(send(fd_, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
  }
  // Reads until `count` bytes arrived, the peer closed, or the time is up.
  std::string Read(std::size_t count, std::chrono::milliseconds limit = 2000ms) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (got.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[4096];
      ssize_t n = recv(fd_, buf, std::min(sizeof buf, count - got.size()), 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      reads_++;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }
  // Reads up to and including `terminator`.
  std::string ReadUntil(const std::string& terminator, std::chrono::milliseconds limit = 2000ms) {
    std::string got;
    while (got.size() < terminator.size() ||
           got.compare(got.size() - terminator.size(), terminator.size(), terminator) != 0) {
      std::string one = Read(1, limit);
      if (one.empty()) break;
      got += one;
    }
    return got;
  }
  bool closed() const { return closed_; }
  int reads() const { return reads_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  int reads_ = 0;
};

const std::string kGreeting = "200 testserver ready (posting ok)\r\n";

class NewsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.AddArticle("comp.test", 3, "Subject: three\nMessage-ID: <three@x>",
                      "..dots\n.\nplain\nFrom here\n");
    server.AddArticle("comp.test", 5, "Subject: five", "body");
    server.AddGroup("empty.group");
    port = server.Start();
    ASSERT_GT(port, 0);
  }
  NewsServer server;
  int port = 0;
};

TEST_F(NewsServerTest, ServesGroupsAndArticlesDotStuffed) {
  Client c(port);
  ASSERT_TRUE(c.connected());
  EXPECT_EQ(c.ReadUntil("\r\n"), kGreeting);
  c.Send("LIST\r\n");
  EXPECT_EQ(c.ReadUntil("\r\n.\r\n"),
            "215 list of newsgroups follows\r\ncomp.test 5 3 y\r\nempty.group 0 1 y\r\n.\r\n");
  c.Send("HEAD 3\r\n");
  EXPECT_EQ(c.ReadUntil("\r\n"), "412 no newsgroup selected\r\n");
  c.Send("GROUP comp.test\r\nGROUP empty.group\r\nGROUP nope\r\nGROUP comp.test\r\n");
  EXPECT_EQ(c.ReadUntil("empty.group\r\n"), "211 2 3 5 comp.test\r\n211 0 1 0 empty.group\r\n");
  EXPECT_EQ(c.ReadUntil("comp.test\r\n"), "411 no such newsgroup\r\n211 2 3 5 comp.test\r\n");
  c.Send("HEAD 3\r\nBODY 3\r\nBODY 4\r\nHEAD 5\r\nBODY 5\r\n");
  EXPECT_EQ(c.ReadUntil("222 5 <5.comp.test@testserver>\r\nbody\r\n.\r\n"),
            "221 3 <three@x>\r\nSubject: three\r\nMessage-ID: <three@x>\r\n.\r\n"
            "222 3 <three@x>\r\n...dots\r\n..\r\nplain\r\nFrom here\r\n\r\n.\r\n"
            "423 no such article number in this group\r\n"
            "221 5 <5.comp.test@testserver>\r\nSubject: five\r\n.\r\n"
            "222 5 <5.comp.test@testserver>\r\nbody\r\n.\r\n");
  c.Send("MODE READER\r\nXYZZY\r\nQUIT\r\n");
  EXPECT_EQ(c.Read(1000), "200 reader mode, posting ok\r\n500 unknown command\r\n"
                          "205 closing connection\r\n");
  EXPECT_TRUE(c.closed());
  std::vector<std::string> expected = {"LIST", "HEAD 3", "GROUP comp.test", "GROUP empty.group",
                                       "GROUP nope", "GROUP comp.test", "HEAD 3", "BODY 3",
                                       "BODY 4", "HEAD 5", "BODY 5", "MODE READER", "XYZZY",
                                       "QUIT"};
  EXPECT_EQ(server.Commands(), expected);
}

TEST_F(NewsServerTest, AuthinfoChecksUserAndPassword) {
  server.SetCredentials("alice", "secret");
  server.SetRequireAuth(true);
  Client c(port);
  c.ReadUntil("\r\n");
  c.Send("GROUP comp.test\r\nAUTHINFO USER bob\r\nAUTHINFO PASS secret\r\n");
  EXPECT_EQ(c.ReadUntil("481 authentication failed\r\n"),
            "480 authentication required\r\n381 password required\r\n"
            "481 authentication failed\r\n");
  c.Send("AUTHINFO USER alice\r\nAUTHINFO PASS wrong\r\nAUTHINFO PASS secret\r\nGROUP empty.group\r\n");
  EXPECT_EQ(c.ReadUntil("empty.group\r\n"),
            "381 password required\r\n481 authentication failed\r\n"
            "281 authentication accepted\r\n211 0 1 0 empty.group\r\n");
}

TEST_F(NewsServerTest, CannedRepliesMatchWholeWordsAndCanRunOut) {
  server.SetGreeting("201 no posting\r\n");
  server.SetReply("AUTHINFO PASS", "481 go away\r\n");
  server.SetReply("GROUP comp.test", "211 9 1 9\r\n", 1);
  Client c(port);
  EXPECT_EQ(c.ReadUntil("\r\n"), "201 no posting\r\n");
  c.Send("AUTHINFO PASS x y\r\nGROUP comp.test\r\nGROUP comp.testing\r\nGROUP comp.test\r\n");
  EXPECT_EQ(c.ReadUntil("comp.test\r\n"), "481 go away\r\n211 9 1 9\r\n411 no such newsgroup\r\n"
                                         "211 2 3 5 comp.test\r\n");
}

TEST_F(NewsServerTest, ClosesBeforeAnsweringTheNthCommand) {
  server.CloseAfterCommands(2);
  server.SetDelay(50ms);
  Client c(port);
  c.ReadUntil("\r\n");
  c.Send("GROUP comp.test\r\nHEAD 5\r\n");
  // The first answer still comes, after its delay.
  EXPECT_EQ(c.Read(1000, 2000ms), "211 2 3 5 comp.test\r\n");
  EXPECT_TRUE(c.closed());
}

TEST_F(NewsServerTest, ClosesAfterByteCountMidResponse) {
  server.CloseAfterBytes(static_cast<std::int64_t>(kGreeting.size()) + 5);
  Client c(port);
  EXPECT_EQ(c.ReadUntil("\r\n"), kGreeting);
  c.Send("LIST\r\n");
  EXPECT_EQ(c.Read(1000), "215 l");
  EXPECT_TRUE(c.closed());
}

TEST_F(NewsServerTest, ChunkedWritesArriveSeparately) {
  server.SetChunkSize(4);
  Client c(port);
  std::string got = c.ReadUntil("\r\n");
  EXPECT_EQ(got, kGreeting);
  EXPECT_GE(c.reads(), 5);
}

TEST_F(NewsServerTest, StallsAndResumes) {
  server.StallAfterCommands(1);
  Client c(port);
  c.ReadUntil("\r\n");
  c.Send("GROUP comp.test\r\nGROUP empty.group\r\n");
  EXPECT_EQ(c.Read(1000, 300ms), "211 2 3 5 comp.test\r\n");
  EXPECT_FALSE(c.closed());
  server.StallAfterCommands(-1);
  EXPECT_EQ(c.ReadUntil("\r\n"), "211 0 1 0 empty.group\r\n");
}

TEST_F(NewsServerTest, DelayedResponsesOverlapAndCountOutstanding) {
  server.SetDelay(200ms);
  Client c(port);
  c.ReadUntil("\r\n");
  auto start = std::chrono::steady_clock::now();
  c.Send("GROUP comp.test\r\n");
  for (int i = 0; i < 5; ++i) c.Send("HEAD 5\r\n");
  std::string all = c.ReadUntil("Subject: five\r\n.\r\n221 5 <5.comp.test@testserver>\r\n"
                                "Subject: five\r\n.\r\n221 5 <5.comp.test@testserver>\r\n"
                                "Subject: five\r\n.\r\n",
                                3000ms);
  auto elapsed = std::chrono::steady_clock::now() - start;
  // Six delayed answers overlapping: one delay, not six (a loose bound, for
  // a loaded machine).
  EXPECT_LT(elapsed, 1000ms);
  EXPECT_GE(elapsed, 190ms);
  std::vector<testserver::LogEntry> log = server.Log();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0].outstanding, 1);
  EXPECT_EQ(log[5].outstanding, 6);
}

TEST(NewsServerSpool, LoadsTheSampleSpool) {
  NewsServer server;
  std::string error;
  ASSERT_TRUE(server.LoadSpool(std::string(PELLITON_SOURCE_DIR) + "/tests/data/spool", &error))
      << error;
  int port = server.Start();
  Client c(port);
  c.ReadUntil("\r\n");
  c.Send("LIST\r\n");
  std::string list = c.ReadUntil("\r\n.\r\n");
  EXPECT_NE(list.find("\r\npelliton.test.tricky "), std::string::npos) << list;
  c.Send("GROUP pelliton.test.tricky\r\nBODY 1\r\n");
  c.ReadUntil("tricky\r\n");
  std::string body = c.ReadUntil("\r\n.\r\n");
  EXPECT_EQ(body.rfind("222 1 ", 0), 0u) << body;
  EXPECT_NE(body.find("\r\n..leading dot\r\n"), std::string::npos) << body;
  EXPECT_NE(body.find("\r\n...\r\n"), std::string::npos) << body;
  EXPECT_NE(body.find("\r\n\r\n.\r\n"), std::string::npos) << body;  // empty last line
}

TEST(NewsServerSynthetic, GeneratesSizedArticlesWithMarkers) {
  std::string h5 = NewsServer::SyntheticHeader("bench", 5, 5);
  std::string h6 = NewsServer::SyntheticHeader("bench", 6, 5);
  EXPECT_NE(h5.find("\nX-Bench: match\n"), std::string::npos);
  EXPECT_EQ(h6.find("X-Bench: match"), std::string::npos);
  EXPECT_GT(h6.size(), 700u);
  EXPECT_LT(h6.size(), 950u);
  std::string b = NewsServer::SyntheticBody("bench", 6);
  EXPECT_GT(b.size(), 1800u);
  EXPECT_LT(b.size(), 2600u);
}

TEST(NewsServerStandalone, ReportsItsPortAndLogsCommands) {
  testutil::TempDir dir;
  testutil::Child server({PELLITON_TESTSERVER, "--synthetic", "bench:10:2", "--port-file",
                          dir.file("port"), "--log", dir.file("log")});
  for (int i = 0; i < 200 && !testutil::FileExists(dir.file("port")); ++i)
    usleep(10000);
  int port = std::atoi(testutil::ReadFile(dir.file("port")).c_str());
  ASSERT_GT(port, 0);
  {
    Client c(port);
    c.ReadUntil("\r\n");
    c.Send("GROUP bench\r\n");
    EXPECT_EQ(c.ReadUntil("\r\n"), "211 10 1 10 bench\r\n");
    c.Send("QUIT\r\n");
    EXPECT_EQ(c.Read(1000), "205 closing connection\r\n");
  }
  server.Signal(SIGTERM);
  testutil::RunResult r = server.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "listening on 127.0.0.1:" + std::to_string(port) + "\n");
  EXPECT_EQ(testutil::ReadFile(dir.file("log")), "1\tGROUP bench\n1\tQUIT\n");
}

}  // namespace
