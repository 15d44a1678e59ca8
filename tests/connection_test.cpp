// The server connection end to end: the real binary against the scripted
// news server, through the greeting, AUTHINFO, LIST, marking with GROUP,
// QUIT, and the ways a server can fail or misbehave on the way.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "newsserver.h"
#include "test_util.h"

namespace {

using namespace std::chrono_literals;
using testserver::NewsServer;
using testutil::FileExists;
using testutil::ReadFile;
using testutil::RunResult;
using testutil::WriteFile;

const std::string kGreeting = "200 testserver ready (posting ok)\r\n";
// What pelliton prints on stdout for the default server's LIST.
const std::string kListing = "comp.test 20 3 y\nalt.test 49 50 y\nonly.newsrc 30 1 y\n";
// Written before each run; a rewrite drops the comment and the blank line.
const std::string kNewsrcBefore = "# untouched\ncomp.test: 1-5\nalt.test: 1-2\n\nonly.newsrc: 1-7\n";

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int n = 3; n <= 20; ++n)
      server.AddArticle("comp.test", n, "Subject: article " + std::to_string(n), "body");
    server.SetGroupRange("alt.test", 0, 50, 49);  // empty
    server.SetGroupRange("only.newsrc", 30, 1, 30);
    port = server.Start();
    ASSERT_GT(port, 0);
    WriteFile(dir.file("filters"), "comp.test:\n* ^Subject:\n" + dir.file("mbox") +
                                       "\nalt.test:\n" + dir.file("mbox") + "\n");
    WriteFile(dir.file("newsrc"), kNewsrcBefore);
    WriteServerFile("");
  }

  // The server section "news" with absolute paths for every file, plus
  // `extra` attribute lines.
  void WriteServerFile(const std::string& extra, int serverPort = 0) {
    WriteFile(dir.file("servers"),
              "[news]\nhost 127.0.0.1\nport " + std::to_string(serverPort ? serverPort : port) +
                  "\nconfig " + dir.file("filters") + "\nnewsrc " + dir.file("newsrc") +
                  "\npostconnect touch " + dir.file("postconnect-ran") + "\n" + extra);
    // A password in a file that others can read draws a warning.
    chmod(dir.file("servers").c_str(), 0600);
  }

  // Runs pelliton with the options before the server name and waits until
  // the server has seen the connection end, so that its log is complete.
  RunResult Run(const std::vector<std::string>& options) {
    std::vector<std::string> args = {"-f", dir.file("servers")};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("news");
    RunResult r = testutil::RunPelliton(args);
    EXPECT_TRUE(server.WaitForIdle(5000ms));
    return r;
  }

  std::string Newsrc() const { return ReadFile(dir.file("newsrc")); }
  bool NewsrcUntouched() const { return Newsrc() == kNewsrcBefore; }

  testutil::TempDir dir;
  NewsServer server;
  int port = 0;
};

using Commands = std::vector<std::string>;

// --- Greeting ----------------------------------------------------------------

TEST_F(ConnectionTest, GreetingIsJudgedByItsFirstThreeCharacters) {
  const struct {
    std::string greeting;
    bool accepted;
  } cases[] = {
      {"200 ready\r\n", true},
      {"201 no posting\r\n", true},
      {"2001 odd\r\n", true},
      {"200\r\n", true},
      // Longer than the line buffer: the rest must not be taken for the
      // answer to LIST.
      {"200 " + std::string(1500, 'x') + "\r\n", true},
      {"20\r\n", false},
      {"400 go away\r\n", false},
      {"502 no access\r\n", false},
      {"\r\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.greeting);
    server.SetGreeting(c.greeting);
    server.ClearLog();
    WriteFile(dir.file("newsrc"), kNewsrcBefore);
    RunResult r = Run({"-l"});
    EXPECT_EQ(r.status, c.accepted ? 0 : 1);
    if (c.accepted) {
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.out, kListing);
      EXPECT_EQ(server.Commands(), (Commands{"LIST", "QUIT"}));
      EXPECT_FALSE(NewsrcUntouched());
    } else {
      EXPECT_EQ(r.err, "pelliton: bad response from NNTP server\n");
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(server.Commands(), Commands{});  // the connection is not used
      EXPECT_TRUE(NewsrcUntouched());
    }
  }
}

TEST_F(ConnectionTest, ServerClosingInsteadOfGreeting) {
  server.SetGreeting("");
  server.CloseAfterBytes(0);
  RunResult r = Run({"-l"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pelliton: error talking to NNTP server -- connection closed by server\n");
  EXPECT_TRUE(NewsrcUntouched());
  EXPECT_TRUE(FileExists(dir.file("postconnect-ran")));
}

// --- AUTHINFO ----------------------------------------------------------------

TEST_F(ConnectionTest, AuthinfoSendsWhatTheServerFileAsksFor) {
  const struct {
    const char* name;
    std::string attributes;
    std::string userReply;  // canned answer to AUTHINFO USER, if any
    Commands commands;
  } cases[] = {
      {"no credentials", "", "", {"LIST", "QUIT"}},
      {"user without password", "user alice\n", "", {"LIST", "QUIT"}},
      {"password only", "password secret\n", "", {"AUTHINFO PASS secret", "LIST", "QUIT"}},
      {"user and password",
       "user alice\npassword secret\n",
       "",
       {"AUTHINFO USER alice", "AUTHINFO PASS secret", "LIST", "QUIT"}},
      {"281 to USER", "user alice\npassword secret\n", "281 welcome\r\n",
       {"AUTHINFO USER alice", "LIST", "QUIT"}},
      {"2810 to USER", "user alice\npassword secret\n", "2810 welcome\r\n",
       {"AUTHINFO USER alice", "LIST", "QUIT"}},
  };
  server.SetCredentials("alice", "secret");
  server.SetRequireAuth(true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.ClearLog();
    server.ClearReplies();
    if (!c.userReply.empty()) server.SetReply("AUTHINFO USER", c.userReply);
    // Without authentication this server refuses LIST, which is fine here:
    // only the commands matter.
    WriteServerFile(c.attributes);
    Run({"-l"});
    EXPECT_EQ(server.Commands(), c.commands);
  }
}

TEST_F(ConnectionTest, RefusedAuthinfoEndsTheRun) {
  const struct {
    const char* command;
    const char* reply;
    const char* message;
    Commands commands;
  } cases[] = {
      {"AUTHINFO PASS", "481 authentication failed\r\n",
       "pelliton: bad NNTP server response -- 481 authentication failed\n",
       {"AUTHINFO USER alice", "AUTHINFO PASS wrong"}},
      {"AUTHINFO USER", "482 too many users\r\r\n",
       "pelliton: bad NNTP server response -- 482 too many users\n",
       {"AUTHINFO USER alice"}},
      {"AUTHINFO PASS", "381 more please\r\n",
       "pelliton: bad NNTP server response -- 381 more please\n",
       {"AUTHINFO USER alice", "AUTHINFO PASS wrong"}},
  };
  WriteServerFile("user alice\npassword wrong\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    server.ClearLog();
    server.ClearReplies();
    server.SetReply(c.command, c.reply);
    RunResult r = Run({"-l"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(server.Commands(), c.commands);
    EXPECT_TRUE(NewsrcUntouched());
    EXPECT_TRUE(FileExists(dir.file("postconnect-ran")));
  }
}

TEST_F(ConnectionTest, WrongPasswordFromTheServerSide) {
  server.SetCredentials("alice", "secret");
  WriteServerFile("user alice\npassword guess\n");
  RunResult r = Run({"-l"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pelliton: bad NNTP server response -- 481 authentication failed\n");
}

// --- LIST --------------------------------------------------------------------

TEST_F(ConnectionTest, ListingIsPrintedAsReceived) {
  std::string longLine(2500, 'g');
  std::string exact1023(1023, 'h');
  server.SetReply("LIST", "215 list follows\r\n"
                          "comp.test 20 3 y\r\n"
                          ".\n"             // not the end line: LF only
                          "..dotted 2 1 y\r\n"  // no dot is removed
                          ".\r\r\n"         // not the end line either
                          "bare.lf 1 1 n\n" +
                              longLine + "\r\n" + exact1023 +
                              ".\r\n"  // the tail of a long line, not the end
                              "\r\n"
                              "last 9 9 y\r\n"
                              ".\r\n");
  RunResult r = Run({"-l"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "comp.test 20 3 y\n.\n..dotted 2 1 y\n.\nbare.lf 1 1 n\n" +
                       longLine.substr(0, 1023) + "\n" + longLine.substr(1023, 1023) + "\n" +
                       longLine.substr(2046) + "\n" + exact1023 + "\n.\n\nlast 9 9 y\n");
  EXPECT_FALSE(NewsrcUntouched());  // written after the listing too
}

TEST_F(ConnectionTest, ListingFailures) {
  const std::string head = kGreeting + "215 list of newsgroups follows\r\n";
  const std::string truncated = "215 list\r\ncomp.test 20 3 y\r\n";
  const std::string closed =
      "pelliton: error talking to NNTP server -- connection closed by server\n";
  const struct {
    const char* name;
    std::string reply;  // canned LIST answer, or ""
    int closeAfterCommands;
    std::int64_t closeAfterBytes;
    std::string out;
    std::string err;
    Commands commands;
  } cases[] = {
      {"refused", "503 program fault\r\n", 0, -1, "",
       "pelliton: bad NNTP server response -- 503 program fault\n", {"LIST", "QUIT"}},
      {"closed before the answer", "", 1, -1, "", closed, {"LIST"}},
      {"closed after a line", "", 0, static_cast<std::int64_t>(head.size() + 18),
       "comp.test 20 3 y\n", closed, {"LIST"}},
      {"no end line", truncated, 0,
       static_cast<std::int64_t>(kGreeting.size() + truncated.size()), "comp.test 20 3 y\n",
       closed, {"LIST"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.ClearReplies();
    if (!c.reply.empty()) server.SetReply("LIST", c.reply);
    server.CloseAfterCommands(c.closeAfterCommands);
    server.CloseAfterBytes(c.closeAfterBytes);
    server.ClearLog();
    WriteFile(dir.file("newsrc"), kNewsrcBefore);
    RunResult r = Run({"-l"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(server.Commands(), c.commands);
    EXPECT_FALSE(NewsrcUntouched());
  }
}

TEST_F(ConnectionTest, ListingSurvivesTinyChunks) {
  server.SetChunkSize(3);
  RunResult r = Run({"-l"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kListing);
}

// --- Marking -----------------------------------------------------------------

TEST_F(ConnectionTest, MarkAllMarksEveryNewsgroupWithActions) {
  RunResult r = Run({"-C", "-c", "only.newsrc", "-l"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(server.Commands(), (Commands{"GROUP comp.test", "GROUP alt.test", "QUIT"}));
  // An empty group (211 0 50 49) leaves the next run at its first number.
  EXPECT_EQ(Newsrc(), "comp.test: 1-20\nalt.test: 1-49\nonly.newsrc: 1-7\n");
}

TEST_F(ConnectionTest, MarkListGoesLastGivenFirstAndSkipsUnknownNames) {
  RunResult r =
      Run({"-c", "alt.test", "-c", "only.newsrc", "-c", "Comp.Test", "-c", "no.such.group"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "pelliton: group no.such.group not defined in filters; skipping...\n"
            "pelliton: group Comp.Test not defined in filters; skipping...\n");
  EXPECT_EQ(server.Commands(), (Commands{"GROUP only.newsrc", "GROUP alt.test", "QUIT"}));
  EXPECT_EQ(Newsrc(), "comp.test: 1-5\nalt.test: 1-49\nonly.newsrc: 1-30\n");
}

TEST_F(ConnectionTest, BadGroupAnswersAreReportedAndMarkingGoesOn) {
  const struct {
    const char* reply;
    const char* shown;
  } cases[] = {
      {"411 no such group\r\n", "411 no such group"},
      {"211 5\r\n", "211 5"},
      {"211 5 7\r\n", "211 5 7"},
      {"211 x 1 9\r\n", "211 x 1 9"},
      {"211 3 1 9223372036854775808 comp.test\r\n", "211 3 1 9223372036854775808 comp.test"},
      {"211 3 -9223372036854775809 9 comp.test\r\n", "211 3 -9223372036854775809 9 comp.test"},
      {"211 3 1 9 alt.test\r\n", "211 3 1 9 alt.test"},
      {"211 3 1 9 comp.test.x\r\n", "211 3 1 9 comp.test.x"},
      {"211 3 1 9 Comp.Test\r\n", "211 3 1 9 Comp.Test"},
      {"480 authentication required\r\r\n", "480 authentication required"},
      {"411 \x1b[31mred\x07\tand\x7f \xc3\xa9t\xc3\xa9\r\n", "411 ?[31mred?\tand? \xc3\xa9t\xc3\xa9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    server.ClearLog();
    server.SetReply("GROUP comp.test", c.reply);
    WriteFile(dir.file("newsrc"), kNewsrcBefore);
    RunResult r = Run({"-C"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, std::string("pelliton: bad NNTP server response -- ") + c.shown + "\n");
    EXPECT_EQ(server.Commands(), (Commands{"GROUP comp.test", "GROUP alt.test", "QUIT"}));
    EXPECT_EQ(Newsrc(), "comp.test: 1-5\nalt.test: 1-49\nonly.newsrc: 1-7\n");
  }
}

TEST_F(ConnectionTest, MarkingSetsTheNewsrcBehindTheLastNumber) {
  const struct {
    const char* reply;
    const char* newsrc;
  } cases[] = {
      {"211 4 1 3 comp.test\r\n", "comp.test: 1-3\n"},  // numbers may go down
      {"211 4 1 3\r\n", "comp.test: 1-3\n"},            // no name is no wrong name
      {"211 4 1 3 comp.test extra words\r\n", "comp.test: 1-3\n"},
      {"211 10 1 3000000000 comp.test\r\n", "comp.test: 1-3000000000\n"},
      {"211 10 1 4294967306 comp.test\r\n", "comp.test: 1-4294967306\n"},
      // The highest number has no successor: held one below it, as
      // fetching holds it.
      {"211 10 1 9223372036854775807 comp.test\r\n", "comp.test: 1-9223372036854775806\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    server.SetReply("GROUP comp.test", c.reply);
    WriteFile(dir.file("newsrc"), kNewsrcBefore);
    RunResult r = Run({"-c", "comp.test"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Newsrc(), std::string(c.newsrc) + "alt.test: 1-2\nonly.newsrc: 1-7\n");
  }
}

// An answer that arrives late (here the first GROUP is answered twice)
// must not mark the next newsgroup with its neighbour's numbers.
TEST_F(ConnectionTest, MarkingTakesNoNumbersFromAnAnswerForAnotherNewsgroup) {
  server.SetReply("GROUP comp.test", "211 9 1 9 alt.test\r\n211 18 3 20 comp.test\r\n");
  RunResult r = Run({"-C"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "pelliton: bad NNTP server response -- 211 9 1 9 alt.test\n"
            "pelliton: bad NNTP server response -- 211 18 3 20 comp.test\n");
  EXPECT_EQ(server.Commands(), (Commands{"GROUP comp.test", "GROUP alt.test", "QUIT"}));
  EXPECT_EQ(Newsrc(), "comp.test: 1-5\nalt.test: 1-2\nonly.newsrc: 1-7\n");
}

TEST_F(ConnectionTest, ConnectionLostDuringMarkingStillWritesTheNewsrc) {
  server.CloseAfterCommands(2);
  RunResult r = Run({"-C"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pelliton: error talking to NNTP server -- connection closed by server\n");
  EXPECT_EQ(server.Commands(), (Commands{"GROUP comp.test", "GROUP alt.test"}));
  EXPECT_EQ(Newsrc(), "comp.test: 1-20\nalt.test: 1-2\nonly.newsrc: 1-7\n");
  EXPECT_TRUE(FileExists(dir.file("postconnect-ran")));
}

TEST_F(ConnectionTest, ClosedConnectionNeverReusesAnEarlierAnswer) {
  // The answer to the first GROUP is cut after its line; the second GROUP
  // finds the connection closed and must not take the first answer's
  // numbers again.
  server.CloseAfterBytes(
      static_cast<std::int64_t>(kGreeting.size() + std::string("211 18 3 20 comp.test\r\n").size()));
  RunResult r = Run({"-C"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pelliton: error talking to NNTP server -- connection closed by server\n");
  EXPECT_EQ(Newsrc(), "comp.test: 1-20\nalt.test: 1-2\nonly.newsrc: 1-7\n");
}

// --- Failing connections -----------------------------------------------------

TEST_F(ConnectionTest, RefusedConnection) {
  testutil::ClosedPort closed;
  const int refusedPort = closed.port();
  WriteServerFile("", refusedPort);
  RunResult r = Run({"-v", "-l"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Connecting to 127.0.0.1:" + std::to_string(refusedPort) +
                       "... pelliton: Connection refused\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(NewsrcUntouched());
  EXPECT_TRUE(FileExists(dir.file("postconnect-ran")));
}

TEST_F(ConnectionTest, UnknownHost) {
  // A label longer than 63 characters cannot be put into a DNS query, so
  // the look-up fails without any traffic leaving the machine.
  std::string host = std::string(64, 'x') + ".invalid";
  WriteServerFile("host " + host + "\n");
  RunResult r = Run({"-l"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pelliton: " + host + ": unknown host\n");
  EXPECT_TRUE(NewsrcUntouched());
  EXPECT_TRUE(FileExists(dir.file("postconnect-ran")));
}

TEST_F(ConnectionTest, PortOptionWinsOverTheServerFile) {
  testutil::ClosedPort closed;
  WriteServerFile("", closed.port());
  RunResult r = Run({"-p", std::to_string(port), "-l"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kListing);
}

// --- Verbose, signals, timeouts ----------------------------------------------

TEST_F(ConnectionTest, VerboseLines) {
  server.SetGreeting("200 \x1b]0;title\x07 ready\r\n");
  WriteServerFile("password secret\n");
  RunResult r = Run({"-v", "-l"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("Connecting to 127.0.0.1:" + std::to_string(port) +
                       "... ok\n"
                       "Response from NNTP server:\n"
                       "  200 ?]0;title? ready\r\n"
                       "Authenticating with NNTP server...\n"
                       "Listing all newsgroups...\n"
                       "Disconnected from NNTP server\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("secret"), std::string::npos);

  r = Run({"-v", "-c", "alt.test"});
  EXPECT_NE(r.err.find("Marking all articles in group alt.test...\n"
                       "Disconnected from NNTP server\n"),
            std::string::npos)
      << r.err;
}

// Listing does not look at the flag that a signal clears: the run prints
// the message for each signal and goes on to its normal end.
TEST_F(ConnectionTest, SignalsDuringAnExchangeOnlyPrintTheirMessage) {
  server.SetDelay(1000ms);
  testutil::Child child({testutil::PellitonBinary(), "-f", dir.file("servers"), "-l", "news"});
  ASSERT_TRUE(server.WaitForLog(1, 5000ms));  // LIST is on its way
  for (int sig : {SIGHUP, SIGINT, SIGQUIT}) {
    child.Signal(sig);
    usleep(20000);
  }
  RunResult r = child.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "pelliton: signal caught... exiting\n"
            "pelliton: signal caught... exiting\n"
            "pelliton: signal caught... exiting\n");
  EXPECT_EQ(r.out, kListing);
  EXPECT_FALSE(NewsrcUntouched());
  EXPECT_TRUE(FileExists(dir.file("postconnect-ran")));
}

TEST_F(ConnectionTest, StalledServerTimesOut) {
  WriteServerFile("timeout 1\n");
  const struct {
    const char* name;
    std::vector<std::string> options;
    int stallAfter;
    bool greet;
    int status;
    bool newsrcWritten;
  } cases[] = {
      {"greeting", {"-l"}, 0, false, 1, false},
      {"listing", {"-l"}, 0, true, 1, true},
      {"marking", {"-C"}, 1, true, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.SetGreeting(c.greet ? kGreeting : "");
    server.StallAfterCommands(c.stallAfter);
    WriteFile(dir.file("newsrc"), kNewsrcBefore);
    auto start = std::chrono::steady_clock::now();
    RunResult r = Run(c.options);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "pelliton: timeout talking to NNTP server\n");
    EXPECT_EQ(!NewsrcUntouched(), c.newsrcWritten);
    EXPECT_LT(elapsed, 30s);  // a guard against hanging, not a measurement
  }
}

// The exchanges keep one deadline however often a signal interrupts their
// wait: a stream of signals must not keep a silent server alive.
TEST_F(ConnectionTest, SignalsDoNotKeepASilentServerAlive) {
  WriteServerFile("timeout 1\n");
  server.StallAfterCommands(0);
  testutil::Child child({testutil::PellitonBinary(), "-f", dir.file("servers"), "-l", "news"});
  for (int i = 0; i < 500 && server.ConnectionCount() == 0; ++i) usleep(10000);
  ASSERT_EQ(server.ConnectionCount(), 1);
  // Ten seconds of signals, ten a second, far longer than the timeout.
  int sent = 0;
  for (; sent < 100; ++sent) {
    siginfo_t info{};
    if (waitid(P_PID, child.pid(), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0)
      break;
    child.Signal(SIGHUP);
    usleep(100000);
  }
  RunResult r = child.Finish();
  server.StallAfterCommands(-1);
  EXPECT_LT(sent, 100);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("pelliton: timeout talking to NNTP server\n"), std::string::npos) << r.err;
}

TEST_F(ConnectionTest, ConnectTimesOut) {
  // A listener whose accept queue is full drops further connection
  // requests, so the connect itself never completes.
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  WriteServerFile("timeout 1\n", ntohs(addr.sin_port));
  RunResult r = Run({"-l"});
  close(filler);
  close(listener);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pelliton: timeout talking to NNTP server\n");
  EXPECT_TRUE(NewsrcUntouched());
  EXPECT_TRUE(FileExists(dir.file("postconnect-ran")));
}

}  // namespace
