// The server connection end to end: the real binary against the scripted
// news server, through the greeting, AUTHINFO, LIST, marking with GROUP,
// QUIT, and the ways a server can fail or misbehave on the way.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "certs.h"
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
      // A server that repeats what it refuses never gets the password
      // into the message.
      {"AUTHINFO PASS", "501 what is AUTHINFO PASS wrong? wrong!\r\n",
       "pelliton: bad NNTP server response -- 501 what is AUTHINFO PASS *? *!\n",
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

// --- The password from a command --------------------------------------------

// Whether a process runs (one that has ended but was not reaped does not).
bool ProcessRuns(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

TEST_F(ConnectionTest, PasswordCommandGivesTheFirstLineOfItsOutput) {
  const std::string longest(1023, 'x');
  const struct {
    const char* name;
    std::string command;
    std::string password;
    std::string err;  // what the command itself says on standard error
  } cases[] = {
      {"first line", "printf 'secret\\nnot this\\n'", "secret", ""},
      {"CR LF line end", "printf 'secret\\r\\n'", "secret", ""},
      {"no line end", "printf secret", "secret", ""},
      {"far more than a pipe holds behind it", "echo secret; seq 1 200000", "secret", ""},
      {"standard error passes through", "echo to-stderr >&2; echo secret", "secret",
       "to-stderr\n"},
      {"nothing to read on standard input", "cat; echo secret", "secret", ""},
      {"the longest", "head -c 1023 /dev/zero | tr '\\0' x", longest, ""},
  };
  server.SetRequireAuth(true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.SetCredentials("alice", c.password);
    server.ClearLog();
    WriteServerFile("user alice\npasscmd " + c.command + "\n");
    RunResult r = Run({"-v", "-l"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kListing);
    EXPECT_EQ(server.Commands(),
              (Commands{"AUTHINFO USER alice", "AUTHINFO PASS " + c.password, "LIST", "QUIT"}));
    EXPECT_NE(r.err.find("Authenticating with NNTP server...\nRunning password command...\n" +
                         c.err),
              std::string::npos)
        << r.err;
    // Not even under -v.
    EXPECT_EQ(r.err.find(c.password), std::string::npos) << r.err;
  }
}

TEST_F(ConnectionTest, FailingPasswordCommandSendsNothing) {
  const struct {
    std::string command;
    std::string reason;
  } cases[] = {
      {"exit 3", "exit status 3"},
      {"echo secret; exit 1", "exit status 1"},
      {"echo secret; kill -TERM $$", "killed by signal 15"},
      {"true", "no output"},
      {"echo", "empty first line"},
      {"printf '\\r\\nsecret\\n'", "empty first line"},
      {"head -c 1024 /dev/zero | tr '\\0' x", "its first line is longer than 1023 characters"},
      {"printf 'sec\\0ret\\n'", "its first line holds a NUL or a carriage return"},
      {"printf 'sec\\rret\\n'", "its first line holds a NUL or a carriage return"},
  };
  server.SetCredentials("alice", "secret");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    server.ClearLog();
    WriteFile(dir.file("newsrc"), kNewsrcBefore);
    unlink(dir.file("postconnect-ran").c_str());
    WriteServerFile("user alice\npasscmd " + c.command + "\n");
    RunResult r = Run({"-l"});
    EXPECT_EQ(r.err, "pelliton: password command for server 'news' failed -- " + c.reason + "\n");
    EXPECT_EQ(r.out, "");
    // As after a failed connection.
    EXPECT_EQ(server.Commands(), Commands{});
    EXPECT_TRUE(NewsrcUntouched());
    EXPECT_TRUE(FileExists(dir.file("postconnect-ran")));
  }
}

TEST_F(ConnectionTest, PasswordCommandThatDoesNotAnswerIsEndedWithAllItStarted) {
  // The command leaves a process of its own behind, which must go too.
  WriteServerFile("timeout 1\npasscmd sleep 60 & echo $! > " + dir.file("pid") + "; wait\n");
  auto start = std::chrono::steady_clock::now();
  RunResult r = Run({"-l"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);  // a guard, not a measurement
  EXPECT_EQ(r.err, "pelliton: password command for server 'news' failed -- "
                   "no answer within 1 second\n");
  EXPECT_EQ(server.Commands(), Commands{});
  const pid_t pid = std::atoi(ReadFile(dir.file("pid")).c_str());
  ASSERT_GT(pid, 0);
  for (int i = 0; i < 100 && ProcessRuns(pid); ++i) usleep(10000);
  EXPECT_FALSE(ProcessRuns(pid));
}

TEST_F(ConnectionTest, StopSignalEndsTheWaitForThePasswordCommand) {
  WriteServerFile("passcmd touch " + dir.file("started") + "; sleep 60\n");
  testutil::Child child({testutil::PellitonBinary(), "-f", dir.file("servers"), "-l", "news"});
  for (int i = 0; i < 500 && !FileExists(dir.file("started")); ++i) usleep(10000);
  ASSERT_TRUE(FileExists(dir.file("started")));
  auto start = std::chrono::steady_clock::now();
  child.Signal(SIGTERM);
  RunResult r = child.Finish();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);  // a guard, not a measurement
  EXPECT_EQ(r.err,
            "pelliton: signal caught... exiting\n"
            "pelliton: password command for server 'news' failed -- stopped by a signal\n");
  EXPECT_TRUE(server.WaitForIdle(5000ms));
  EXPECT_EQ(server.Commands(), Commands{});
  EXPECT_TRUE(NewsrcUntouched());
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

// Runs pelliton with its standard output on a terminal and returns what
// reached the terminal.
std::string RunOnTerminal(const std::vector<std::string>& args) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return "no terminal";
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  if (slave < 0) return "no terminal";
  termios raw;
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);  // no CR added to each line feed
  tcsetattr(slave, TCSANOW, &raw);
  std::vector<std::string> all{testutil::PellitonBinary()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(slave, STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(slave);
  std::string out;
  char buf[4096];
  ssize_t n;
  // Once the program has ended, the terminal reads as EIO.
  while ((n = read(master, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) out.append(buf, static_cast<std::size_t>(n));
  waitpid(pid, nullptr, 0);
  close(master);
  return out;
}

// A server's listing could work the user's terminal: escape sequences
// (here one that sets the window title, and a CSI that sets a colour, as
// UTF-8 C1 and as a single byte) are shown as '?' there, while UTF-8 text,
// ISO 8859 letters and tabs stay.  Into a pipe every byte goes as sent.
TEST_F(ConnectionTest, ListingToATerminalShowsControlCharactersEscaped) {
  const std::string lines[] = {
      "alt.\x1b]0;owned\x07 1 1 y",
      "red\xc2\x9b" "31m 1 1 y",
      "red\x9b" "31m 1 1 y",
      "del\x7f.bell\x07 1 1 y",
      "de.sm\xc3\xb6rg\xe5s\tfine 1 1 y",
  };
  std::string reply = "215 list follows\r\n";
  std::string sent;
  for (const std::string& line : lines) {
    reply += line + "\r\n";
    sent += line + "\n";
  }
  server.SetReply("LIST", reply + ".\r\n");
  RunResult r = Run({"-l"});
  EXPECT_EQ(r.out, sent);
  EXPECT_EQ(RunOnTerminal({"-f", dir.file("servers"), "-l", "news"}),
            "alt.?]0;owned? 1 1 y\n"
            "red?31m 1 1 y\n"
            "red?31m 1 1 y\n"
            "del?.bell? 1 1 y\n"
            "de.sm\xc3\xb6rg\xe5s\tfine 1 1 y\n");
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

// A stop signal ends whatever wait of the connection it finds, however
// long the timeout (0: for ever), without a word but the handler's: before
// the work as a failed connection, during it as a stopped end.  The
// server stalls at the point of each case; pelliton says under -v when it
// is about to wait there.
TEST_F(ConnectionTest, AStopSignalEndsEveryWait) {
  const testcerts::CertSet& certs = testcerts::SharedCerts();
  testutil::BlackHole blackHole;
  ASSERT_NE(blackHole.port(), 0);
  // A stopped connection ends the run as a refused one does.
  testutil::ClosedPort closed;
  WriteServerFile("", closed.port());
  const int failedConnection = Run({"-l"}).status;

  enum Outcome { kNoConnection, kStoppedWalk, kListingCut, kMarkedSoFar };
  const struct {
    const char* name;
    std::string extra;  // server file lines
    bool silentPort;
    std::string greeting;
    int stallAfter;
    std::vector<std::string> options;
    std::string waitsAfter;  // the progress text just before the wait
    int sig;
    Outcome outcome;
  } cases[] = {
      {"connect", "", true, kGreeting, -1, {"-l"}, ":" + std::to_string(blackHole.port()) + "... ",
       SIGTERM, kNoConnection},
      {"connect, no timeout", "timeout 0\n", true, kGreeting, -1, {"-l"}, "... ", SIGINT,
       kNoConnection},
      {"TLS handshake", "tls yes\ncafile " + certs.caCert + "\n", false, "", 0, {"-l"}, "ok\n",
       SIGTERM, kNoConnection},
      {"greeting", "timeout 0\n", false, "", 0, {"-l"}, "ok\n", SIGTERM, kNoConnection},
      {"STARTTLS", "tls starttls\ncafile " + certs.caCert + "\n", false, kGreeting, 0, {"-l"},
       "Response from NNTP server:", SIGINT, kNoConnection},
      {"AUTHINFO", "user joe\npassword secret\n", false, kGreeting, 0, {"-l"},
       "Authenticating with NNTP server...\n", SIGTERM, kNoConnection},
      {"GROUP", "", false, kGreeting, 0, {}, "Processing group comp.test...\n", SIGTERM,
       kStoppedWalk},
      {"GROUP, no timeout", "timeout 0\n", false, kGreeting, 0, {}, "Processing group", SIGINT,
       kStoppedWalk},
      {"LIST", "", false, kGreeting, 0, {"-l"}, "Listing all newsgroups...\n", SIGTERM,
       kListingCut},
      {"marking", "timeout 0\n", false, kGreeting, 1, {"-C"},
       "Marking all articles in group alt.test...\n", SIGTERM, kMarkedSoFar},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteServerFile(c.extra, c.silentPort ? blackHole.port() : 0);
    WriteFile(dir.file("newsrc"), kNewsrcBefore);
    unlink(dir.file("postconnect-ran").c_str());
    server.SetGreeting(c.greeting);
    server.StallAfterCommands(c.stallAfter);
    std::vector<std::string> args = {testutil::PellitonBinary(), "-v", "-f", dir.file("servers")};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back("news");
    testutil::Child child(args);
    ASSERT_TRUE(child.WaitForStderr(c.waitsAfter, 10s));
    child.Signal(c.sig);
    RunResult r = child.Finish(10s);
    server.StallAfterCommands(-1);
    EXPECT_TRUE(server.WaitForIdle(5000ms));

    // The handler's line is the only diagnostic.
    EXPECT_NE(r.err.find("pelliton: signal caught... exiting\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("pelliton: "), r.err.rfind("pelliton: ")) << r.err;
    EXPECT_TRUE(FileExists(dir.file("postconnect-ran")));
    EXPECT_EQ(r.out, "");
    switch (c.outcome) {
      case kNoConnection:
        EXPECT_EQ(r.status, failedConnection) << r.err;
        EXPECT_TRUE(NewsrcUntouched());
        break;
      case kStoppedWalk:
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Newsrc(), "comp.test: 1-5\nalt.test: 1-2\nonly.newsrc: 1-7\n");
        break;
      case kListingCut:
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_FALSE(NewsrcUntouched());
        break;
      case kMarkedSoFar:
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Newsrc(), "comp.test: 1-20\nalt.test: 1-2\nonly.newsrc: 1-7\n");
        break;
    }
  }
}

// QUIT is a courtesy: its answer is not awaited, and a server that never
// reads it holds nothing up, even without a timeout.
TEST_F(ConnectionTest, QuitWaitsForNothing) {
  WriteServerFile("timeout 0\n");
  server.StallAfterCommands(1);  // LIST is answered, QUIT is not read
  testutil::Child child({testutil::PellitonBinary(), "-f", dir.file("servers"), "-l", "news"});
  RunResult r = child.Finish(10s);
  server.StallAfterCommands(-1);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, kListing);
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

// A signal that does not stop the run (SIGXFSZ is caught, to turn a file
// size limit into a failed write) leaves the deadline standing, however
// often it interrupts a wait: it must not keep a silent server alive.
TEST_F(ConnectionTest, OtherSignalsDoNotKeepASilentServerAlive) {
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
    child.Signal(SIGXFSZ);
    usleep(100000);
  }
  RunResult r = child.Finish();
  server.StallAfterCommands(-1);
  EXPECT_LT(sent, 100);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pelliton: timeout talking to NNTP server\n");
}

TEST_F(ConnectionTest, ConnectTimesOut) {
  testutil::BlackHole blackHole;
  ASSERT_NE(blackHole.port(), 0);
  WriteServerFile("timeout 1\n", blackHole.port());
  RunResult r = Run({"-l"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pelliton: timeout talking to NNTP server\n");
  EXPECT_TRUE(NewsrcUntouched());
  EXPECT_TRUE(FileExists(dir.file("postconnect-ran")));
}

}  // namespace
