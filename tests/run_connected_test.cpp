// End-to-end tests of the run sequence over a working connection: the
// work stage that the command line picks, the newsrc rewrite after it, the
// signals during it and the exit status it gives.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "newsserver.h"
#include "run_fixture.h"
#include "test_util.h"

namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testutil::FileExists;
using testutil::ReadFile;
using testutil::RunResult;
using testutil::WriteFile;
using testutil::ListDir;

constexpr std::chrono::seconds kWait{10};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class ConnectedRunTest : public runfixture::RunFixture {
 protected:
  void SetUp() override {
    RunFixture::SetUp();
    server_.SetGroupRange("comp.test", 5, 1, 5);
    ASSERT_GT(server_.Start(), 0);
  }

  // The commands that the server received, once pelliton has let go of the
  // connection.
  std::vector<std::string> Commands() {
    EXPECT_TRUE(server_.WaitForIdle(kWait));
    return server_.Commands();
  }

  size_t SignalMessages(const std::string& err) const {
    size_t count = 0;
    const std::string message = "pelliton: signal caught... exiting\n";
    for (size_t pos = 0; (pos = err.find(message, pos)) != std::string::npos; ++pos) ++count;
    return count;
  }

  testserver::NewsServer server_;
};

TEST_F(ConnectedRunTest, ListingRewritesNewsrcAroundIt) {
  WriteFile(newsrc(), "# edited by hand\ncomp.test: 1-7\n");
  WriteServers(server_.port(), "postconnect touch " + file("post") + "\n");
  const RunResult r = RunNews({"-v", "-l"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "comp.test 5 1 y\n");
  EXPECT_THAT(Commands(), ElementsAre("LIST", "QUIT"));
  const size_t saving = r.err.find("Saving newsrc to '" + newsrc() + "'\n");
  EXPECT_NE(saving, std::string::npos) << r.err;
  EXPECT_LT(saving, r.err.find("Executing postconnect command...\n"));
  EXPECT_EQ(ReadFile(newsrc()), "comp.test: 1-7\n");
  EXPECT_TRUE(FileExists(file("post")));
}

TEST_F(ConnectedRunTest, EmptyFilterFileWalksNothing) {
  WriteFile(filters(), "# nothing to read yet\n");
  WriteServers(server_.port());
  const RunResult r = RunNews({});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(Commands(), ElementsAre("QUIT"));
  EXPECT_TRUE(FileExists(newsrc()));
  EXPECT_EQ(ReadFile(newsrc()), "");
}

TEST_F(ConnectedRunTest, WalkFetchesEveryNewsgroupInOrder) {
  WriteFile(filters(), "b.two:\n" + file("mbox") + "\na.one:\n" + file("mbox") + "\n");
  server_.AddArticle("a.one", 1, "From: x@example.org\nSubject: first of a", "body a1");
  server_.AddArticle("a.one", 2, "From: x@example.org\nSubject: second of a", "body a2");
  server_.AddArticle("b.two", 1, "From: y@example.org\nSubject: only b", "body b1");
  WriteServers(server_.port());
  const RunResult r = RunNews({"-n", "3"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> commands = Commands();
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.front(), "GROUP b.two");
  EXPECT_THAT(commands, Contains("GROUP a.one"));
  EXPECT_EQ(commands.back(), "QUIT");
  EXPECT_THAT(ReadFile(file("mbox")),
              AllOf(HasSubstr("Subject: first of a"), HasSubstr("Subject: second of a"),
                    HasSubstr("Subject: only b")));
  EXPECT_EQ(ReadFile(newsrc()), "b.two: 1-1\na.one: 1-2\n");
}

// A failed newsgroup selection ends the walk with status 1; the run still
// disconnects (into a closed connection, which must not kill it) and saves.
TEST_F(ConnectedRunTest, LostSelectionEndsTheWalkWithStatusOne) {
  WriteFile(filters(), "a.one:\n" + file("mbox") + "\nb.two:\n" + file("mbox") + "\n");
  WriteFile(newsrc(), "a.one: 1-4\n");
  server_.SetGroupRange("a.one", 1, 1, 9);
  server_.CloseAfterCommands(1);
  WriteServers(server_.port(), "postconnect touch " + file("post") + "\n");
  const RunResult r = RunNews({});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "pelliton: error talking to NNTP server -- connection closed by server\n");
  EXPECT_THAT(Commands(), ElementsAre("GROUP a.one"));
  EXPECT_EQ(ReadFile(newsrc()), "a.one: 1-4\nb.two: 1-0\n");
  EXPECT_TRUE(FileExists(file("post")));
}

// A signal during the walk lets the current newsgroup wind down, selects no
// further newsgroup, and the run still saves and ends with status 0.
TEST_F(ConnectedRunTest, SignalDuringTheWalkStopsAfterTheNewsgroup) {
  WriteFile(filters(), "a.one:\n" + file("mbox") + "\nb.two:\n" + file("mbox") + "\n");
  server_.AddArticle("a.one", 1, "From: x@example.org\nSubject: first of a", "body a1");
  server_.AddArticle("b.two", 1, "From: y@example.org\nSubject: only b", "body b1");
  server_.StallAfterCommands(1);
  WriteServers(server_.port(), "postconnect touch " + file("post") + "\n");
  testutil::Child child({testutil::PellitonBinary(), "-f", servers(), "news"});
  ASSERT_TRUE(server_.WaitForLog(1, std::chrono::milliseconds(kWait)));
  usleep(200000);
  child.Signal(SIGINT);
  usleep(100000);
  server_.StallAfterCommands(-1);
  const RunResult r = child.Finish();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(SignalMessages(r.err), 1u) << r.err;
  const std::vector<std::string> commands = Commands();
  EXPECT_THAT(commands, Contains("GROUP a.one"));
  EXPECT_THAT(commands, Not(Contains("GROUP b.two")));
  EXPECT_THAT(ReadFile(newsrc()), HasSubstr("b.two: 1-0\n"));
  EXPECT_TRUE(FileExists(file("post")));
}

// A stop signal ends the wait for a postconnect command that hangs: the
// command is sent SIGTERM, and SIGKILL when it ignores that, together with
// what it started.  The run keeps the status it had.
TEST_F(ConnectedRunTest, SignalEndsTheWaitForAPostconnectCommand) {
  // In the foreground of a terminal the command shares our process group,
  // and only its shell can be signalled.
  const int tty = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
  const bool foreground = tty >= 0 && tcgetpgrp(tty) == getpgrp();
  if (tty >= 0) close(tty);
  for (const std::string trap : {"", "trap '' TERM; "}) {
    SCOPED_TRACE(trap);
    const std::string pidFile = file("sleeper");
    unlink(pidFile.c_str());
    WriteServers(server_.port(), "postconnect " + trap + "sleep 60 & echo $! > " + pidFile +
                                     "; wait\n");
    testutil::Child child({testutil::PellitonBinary(), "-f", servers(), "news"});
    for (int i = 0; i < 200 && ReadFile(pidFile).empty(); ++i) usleep(50000);
    const std::string pid = ReadFile(pidFile);
    ASSERT_FALSE(pid.empty());
    child.Signal(SIGTERM);
    const RunResult r = child.Finish(std::chrono::seconds(20));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("pelliton: postconnect command terminated abnormally\n"));
    if (!foreground) {
      // The sleeper is a child of the killed shell: once the shell is
      // gone, init reaps it.
      bool gone = false;
      for (int i = 0; i < 100 && !gone; ++i) {
        gone = kill(std::stoi(pid), 0) != 0;
        if (!gone) usleep(20000);
      }
      EXPECT_TRUE(gone) << "the postconnect command's child lives on";
    }
  }
}

// A run whose progress could not be saved does not report success.
TEST_F(ConnectedRunTest, UnsavedNewsrcGivesStatusOne) {
  WriteFile(servers(), "[news]\nhost 127.0.0.1\nport " + std::to_string(server_.port()) +
                           "\nconfig " + filters() + "\nnewsrc " + file("missing-dir/newsrc") +
                           "\n");
  const RunResult r = RunNews({"-l"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "comp.test 5 1 y\n");
  EXPECT_THAT(r.err, AllOf(HasSubstr("pelliton: "), HasSubstr("missing-dir/newsrc")));
}

// Every signal that ends a run from outside, SIGTERM among them, stops the
// walk after the current newsgroup; the run saves and ends with status 0.
TEST_F(ConnectedRunTest, EachTerminationSignalStopsTheWalk) {
  WriteFile(filters(), "a.one:\n" + file("mbox") + "\nb.two:\n" + file("mbox") + "\n");
  server_.AddArticle("a.one", 1, "From: x@example.org\nSubject: first of a", "body a1");
  server_.AddArticle("b.two", 1, "From: y@example.org\nSubject: only b", "body b1");
  WriteServers(server_.port(), "postconnect touch " + file("post") + "\n");
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
    SCOPED_TRACE(strsignal(sig));
    unlink(file("post").c_str());
    unlink(newsrc().c_str());
    ASSERT_TRUE(server_.WaitForIdle(kWait));
    server_.ClearLog();
    server_.StallAfterCommands(1);
    testutil::Child child({testutil::PellitonBinary(), "-f", servers(), "news"});
    ASSERT_TRUE(server_.WaitForLog(1, std::chrono::milliseconds(kWait)));
    usleep(200000);
    child.Signal(sig);
    usleep(100000);
    server_.StallAfterCommands(-1);
    const RunResult r = child.Finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(SignalMessages(r.err), 1u) << r.err;
    EXPECT_THAT(Commands(), Not(Contains("GROUP b.two")));
    EXPECT_THAT(ReadFile(newsrc()), HasSubstr("b.two: 1-0\n"));
    EXPECT_TRUE(FileExists(file("post")));
  }
}

// A newsrc file kept read-only is not replaced through its directory: the
// run reports it and ends with status 1, and the file stays as it was.  A
// writable one is rewritten where it lives, also through a link.
TEST_F(ConnectedRunTest, ReadOnlyNewsrcIsLeftAsItWas) {
  for (int n = 3; n <= 5; ++n)
    server_.AddArticle("comp.test", n, "From: x@example.org\nSubject: n" + std::to_string(n),
                       "body");
  ASSERT_EQ(0, mkdir(file("real").c_str(), 0700));
  const std::string real = file("real/newsrc");
  ASSERT_EQ(0, symlink("real/newsrc", file("link").c_str()));
  const struct {
    std::string name;
    mode_t mode;
    int status;
  } cases[] = {
      {real, 0444, 1},
      {file("link"), 0444, 1},
      {real, 0400, 1},
      {file("link"), 0640, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + std::to_string(c.mode));
    WriteFile(real, "comp.test: 1-2\n");
    ASSERT_EQ(0, chmod(real.c_str(), c.mode));
    WriteFile(servers(), "[news]\nhost 127.0.0.1\nport " + std::to_string(server_.port()) +
                             "\nconfig " + filters() + "\nnewsrc " + c.name + "\n");
    const RunResult r = RunNews({});
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.status == 1) {
      EXPECT_EQ(r.err, "pelliton: unable to write newsrc file '" + c.name + "' -- " +
                           std::strerror(EACCES) + "\n");
      EXPECT_EQ(ReadFile(real), "comp.test: 1-2\n");
    } else {
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(ReadFile(real), "comp.test: 1-5\n");
    }
    struct stat st;
    ASSERT_EQ(0, stat(real.c_str(), &st));
    EXPECT_EQ(st.st_mode & 07777, c.mode);
    ASSERT_EQ(0, lstat(file("link").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ListDir(file("real")), (std::vector<std::string>{"newsrc", "newsrc.lock"}));
    ASSERT_TRUE(server_.WaitForIdle(kWait));
  }
}

// The commands that pelliton starts (preconnect, postconnect and a pipe
// action) begin with the default handling of the signals it catches or
// survives, and with none of them blocked, even when pelliton itself was
// started with SIGXFSZ ignored.
TEST_F(ConnectedRunTest, CommandsStartWithDefaultSignalHandling) {
  if (!FileExists("/proc/self/status")) GTEST_SKIP() << "no /proc";
  server_.AddArticle("comp.test", 1, "From: x@example.org\nSubject: one", "body");
  // The shell execs the report, since it blocks signals for a moment
  // whenever it starts a child of its own.
  const auto report = [&](const std::string& name) {
    return "exec grep -E '^Sig(Ign|Blk)' /proc/self/status > " + file(name);
  };
  WriteFile(filters(), "comp.test:\n| cat > /dev/null; " + report("pipe") + "\n");
  WriteServers(server_.port(),
               "preconnect " + report("pre") + "\npostconnect " + report("post") + "\n");
  const RunResult r = testutil::Child({"/bin/sh", "-c", "trap '' XFSZ; exec \"$@\"", "sh",
                                       testutil::PellitonBinary(), "-f", servers(), "news"})
                          .Finish();
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* name : {"pre", "pipe", "post"}) {
    SCOPED_TRACE(name);
    const std::vector<std::string> lines = Lines(ReadFile(file(name)));
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& line : lines) {
      const unsigned long long set = std::stoull(line.substr(line.find(':') + 1), nullptr, 16);
      for (int sig : {SIGPIPE, SIGXFSZ, SIGTERM, SIGHUP, SIGINT, SIGQUIT})
        EXPECT_EQ(set & (1ull << (sig - 1)), 0u) << line << " " << strsignal(sig);
    }
  }
}

// A reader that takes none of the listing (a pipe nobody reads) does not
// hold the run past a stop signal; the listing did not end, so the run
// fails.
TEST_F(ConnectedRunTest, StopSignalEndsAListingThatNobodyReads) {
  // Far more than a pipe holds.
  for (int n = 0; n < 4000; ++n)
    server_.AddGroup("pelliton.listing.a.rather.long.group.name." + std::to_string(n));
  WriteServers(server_.port());
  const std::string fifo = file("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  testutil::Child child({"/bin/sh", "-c", "exec \"$@\" > " + fifo, "sh",
                         testutil::PellitonBinary(), "-l", "-f", servers(), "news"});
  ASSERT_TRUE(server_.WaitForLog(1, std::chrono::milliseconds(kWait)));
  usleep(300000);
  child.Signal(SIGTERM);
  const RunResult r = child.Finish(std::chrono::seconds(10));
  close(reader);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "pelliton: signal caught... exiting\n");
  EXPECT_EQ(ReadFile(newsrc()), "comp.test: 1-0\n");
}

// A listing that cannot be written whole fails: on a full disk and past a
// file size limit alike.  A reader that leaves early is no failure.
TEST_F(ConnectedRunTest, ListingThatCannotBeWrittenFails) {
  for (int n = 0; n < 100; ++n) server_.AddGroup("pelliton.listing.group" + std::to_string(n));
  WriteServers(server_.port());
  const struct {
    const char* what;
    std::string script;  // runs pelliton as "$@"
    int status;
    std::string err;
  } cases[] = {
      {"full disk", "exec \"$@\" > /dev/full", 1,
       "pelliton: error writing to standard output -- " + std::string(std::strerror(ENOSPC)) +
           "\n"},
      {"file size limit", "ulimit -S -f 1 && exec \"$@\" > " + file("list"), 1,
       "pelliton: error writing to standard output -- " + std::string(std::strerror(EFBIG)) +
           "\n"},
      // The reader is gone before pelliton starts; its status comes out.
      {"reader gone", "{ sleep 0.3; \"$@\"; echo $? > " + file("status") + "; } | true; cat " +
                          file("status"),
       0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const RunResult r = testutil::Child({"/bin/sh", "-c", c.script, "sh",
                                         testutil::PellitonBinary(), "-l", "-f", servers(), "news"})
                            .Finish();
    if (c.status == 0) {
      EXPECT_EQ(r.out, "0\n");
    } else {
      EXPECT_EQ(r.status, c.status);
    }
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(ReadFile(newsrc()), "comp.test: 1-0\n");
    ASSERT_TRUE(server_.WaitForIdle(kWait));
  }
  EXPECT_LE(ReadFile(file("list")).size(), 512u);
}

}  // namespace
