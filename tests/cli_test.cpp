// End-to-end tests of the command line and the run sequence: the built
// binary is run with server, filter and newsrc files in a temporary
// directory, never the real home directory.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "newsserver.h"
#include "run_fixture.h"
#include "test_util.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testutil::LocalSocket;
using testutil::FileExists;
using testutil::ReadFile;
using testutil::RunResult;
using testutil::WriteFile;

const std::string kUsage =
    "Usage: pelliton [-CFVhlv] [-f <config>] [[-c <group>] ...] [-m <size>]\n"
    "                [-n <maxReq>] [-p <port>] [<NNTP server>]\n";

const std::string kSummary =
    "\nCommand-line summary:\n"
    "  -C\t\tMark all articles in all newsgroups as read.\n"
    "  -F\t\tConnect even if preconnect command fails.\n"
    "  -V\t\tDisplay version information.\n"
    "  -h\t\tDisplay this summary.\n"
    "  -l\t\tList all available newsgroups.\n"
    "  -v\t\tBe verbose.\n"
    "  -f <config>\tRead an alternate server configuration file.\n"
    "  \t\t(default: $HOME/.pelliton-servers)\n"
    "  -c <group>\tMark all articles in <group> as read.\n"
    "  -m <size>\tLimit files to <size> bytes.\n"
    "  -n <maxReq>\tSet maximum allowable outstanding NNTP requests.\n"
    "  \t\t(default: 1)\n"
    "  -p <port>\tConnect to a different port. (default: 119)\n"
    "  <NNTP server>\tThe name of the NNTP server. This overrides\n"
    "\t\tthe NNTPSERVER environment variable.\n";

const std::string kVersion = "pelliton version 1.2.6 (2002-Jun-04)\n";

// Runs against a live server, whose newsgroup holds no articles, or against
// a port that refuses the connection.
class RunTest : public runfixture::RunFixture {
 protected:
  void SetUp() override {
    RunFixture::SetUp();
    server_.SetGroupRange("comp.test", 3, 1, 3);
    ASSERT_GT(server_.Start(), 0);
  }
  int livePort() const { return server_.port(); }

  testserver::NewsServer server_;
};

TEST(CommandLine, SummaryIsExactlySixHundredSixtyFiveCharacters) {
  EXPECT_EQ(kSummary.size(), 665u);
}

TEST(CommandLine, OptionsThatEndTheRunAtOnce) {
  static const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-V"}, kVersion},
      {{"-V", "-x"}, kVersion},
      {{"-v", "-V", "-m", "junk"}, kVersion},
      {{"-h"}, kUsage + kSummary},
      {{"-h", "-V"}, kUsage + kSummary},
      {{"-m", "k"}, "pelliton: illegal numeric value for -m\n"},
      {{"-n", "0"}, "pelliton: bad argument for -n\n"},
      {{"-p", "0"}, "pelliton: bad argument for -p\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const RunResult r = testutil::RunPelliton(c.args, {{"NNTPSERVER", "news"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
}

TEST(CommandLine, GetoptErrorsPrintUsageWithoutSummary) {
  static const struct {
    std::vector<std::string> args;
    const char* getoptWords;
  } cases[] = {
      {{"-x"}, "invalid option"},
      {{"-v", "-f"}, "requires an argument"},
      {{"-c"}, "requires an argument"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const RunResult r = testutil::RunPelliton(c.args, {{"NNTPSERVER", "news"}});
    EXPECT_EQ(r.status, 1);
    // getopt speaks in its own words, but under the fixed program name.
    EXPECT_EQ(r.err.rfind("pelliton: ", 0), 0u) << r.err;
    EXPECT_THAT(r.err, HasSubstr(c.getoptWords));
    ASSERT_GE(r.err.size(), kUsage.size());
    EXPECT_EQ(r.err.substr(r.err.size() - kUsage.size()), kUsage);
    EXPECT_THAT(r.err, Not(HasSubstr("Command-line summary")));
  }
}

TEST(CommandLine, OperandCountAndServerName) {
  static const struct {
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    std::string err;
  } cases[] = {
      {{"a", "b"}, {{"NNTPSERVER", "news"}}, kUsage},
      // Parsing stops at the first operand, so a later option is an operand.
      {{"news", "-v"}, {}, kUsage},
      {{"-v", "news", "-h"}, {}, kUsage},
      {{}, {}, "pelliton: environment variable NNTPSERVER undefined\n"},
      {{"-v"}, {{"NNTPSERVER", ""}}, "pelliton: environment variable NNTPSERVER undefined\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const RunResult r = testutil::RunPelliton(c.args, c.env);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST_F(RunTest, SizeLimitArguments) {
  WriteServers(livePort());
  static const struct {
    const char* arg;
    unsigned long bytes;  // 0: no limit line
  } accepted[] = {
      {"10k", 10240}, {"1m", 1048576}, {"2b", 1024}, {"0x10", 16},
      {"0x1b", 27},   {"010", 8},      {"0", 0},     {"0k", 0},
  };
  for (const auto& c : accepted) {
    SCOPED_TRACE(c.arg);
    const RunResult r = RunNews({"-v", "-m", c.arg});
    EXPECT_EQ(r.status, 0) << r.err;
    if (c.bytes != 0) {
      EXPECT_EQ(r.err.rfind("Global file size limit set to " + std::to_string(c.bytes) +
                                " bytes\nServer config file is",
                            0),
                0u)
          << r.err;
    } else {
      EXPECT_THAT(r.err, Not(HasSubstr("Global file size limit")));
    }
  }
  for (const char* arg : {"10K", "k", "10kb", "10 ", "", "12x", "0x"}) {
    SCOPED_TRACE(std::string("'") + arg + "'");
    const RunResult r = RunNews({"-v", "-m", arg});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pelliton: illegal numeric value for -m\n");
  }
}

TEST_F(RunTest, RequestAndPortArguments) {
  WriteServers(livePort());
  static const struct {
    const char* option;
    const char* arg;
    int accepted;  // -n: the value; -p: the port connected to; 0: refused
  } cases[] = {
      {"-n", "1", 1},         {"-n", "4x", 4},      {"-n", "0", 0},
      {"-n", "-3", 0},        {"-n", "abc", 0},     {"-p", "119x", 119},
      {"-p", "65535", 65535}, {"-p", "1", 1},       {"-p", "0", 0},
      {"-p", "65536", 0},     {"-p", "abc", 0},     {"-p", "-80", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.option) + " " + c.arg);
    const RunResult r = RunNews({"-v", c.option, c.arg});
    if (c.accepted != 0 && std::string(c.option) == "-n") {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_THAT(r.err, Not(HasSubstr("bad argument")));
    } else if (c.accepted != 0) {
      // Wherever that leads, it is where the run goes.
      EXPECT_THAT(r.err, HasSubstr("Connecting to 127.0.0.1:" + std::to_string(c.accepted) + "... "));
      EXPECT_THAT(r.err, Not(HasSubstr("bad argument")));
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, std::string("pelliton: bad argument for ") + c.option + "\n");
    }
  }
}

TEST_F(RunTest, OperandWinsOverEnvironment) {
  const int port = livePort();
  WriteFile(servers(), "[alpha]\nhost 127.0.0.1\nport " + std::to_string(port) + "\nconfig " +
                           filters() + "\nnewsrc " + file("alpha.newsrc") + "\n[beta]\nhost 127.0.0.1\nport " +
                           std::to_string(port) + "\nconfig " + filters() + "\nnewsrc " +
                           file("beta.newsrc") + "\n");
  static const struct {
    std::vector<std::string> operands;
    const char* env;
    const char* chosen;
  } cases[] = {
      {{"beta"}, "alpha", "beta"},
      {{}, "alpha", "alpha"},
      {{"BETA"}, nullptr, "beta"},  // server names ignore letter case
      {{"--", "beta"}, "alpha", "beta"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chosen);
    std::vector<std::string> args{"-v", "-f", servers()};
    args.insert(args.end(), c.operands.begin(), c.operands.end());
    std::map<std::string, std::string> env;
    if (c.env != nullptr) env["NNTPSERVER"] = c.env;
    const RunResult r = testutil::RunPelliton(args, env);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("Newsrc file is '" + file(std::string(c.chosen) + ".newsrc") +
                                 "'\n"));
  }
}

TEST_F(RunTest, VerboseLinesComeInStageOrder) {
  WriteServers(closedPort(), "preconnect true\npostconnect true\n");
  const RunResult r = RunNews({"-v", "-m", "1k"});
  EXPECT_EQ(r.status, 1) << r.err;
  const std::vector<std::string> lines{
      "Global file size limit set to 1024 bytes\n",
      "Server config file is '" + servers() + "'\n",
      "Pelliton config file is '" + filters() + "'\n",
      "Newsrc file is '" + newsrc() + "'\n",
      "Executing preconnect command...\n",
      "Executing postconnect command...\n",
  };
  size_t pos = 0;
  for (const auto& line : lines) {
    const size_t found = r.err.find(line, pos);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << r.err;
    pos = found + line.size();
  }
  EXPECT_EQ(r.err.rfind(lines[0], 0), 0u);
  EXPECT_THAT(r.err, Not(HasSubstr("Saving newsrc")));
}

TEST_F(RunTest, ReaderFailuresEndTheRunWithStatusOne) {
  WriteServers(closedPort(), "preconnect touch " + file("pre") + "\npostconnect touch " +
                                 file("post") + "\n");
  {
    SCOPED_TRACE("missing filter file");
    std::remove(filters().c_str());
    const RunResult r = RunNews({"-v", "-l"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Pelliton config file is '" + filters() + "'\n"));
    EXPECT_THAT(r.err, Not(HasSubstr("Newsrc file is")));
  }
  {
    SCOPED_TRACE("fault in the server file");
    WriteFile(servers(), "port 119\n[news]\nconfig " + filters() + "\n");
    const RunResult r = RunNews({"-v"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Server config file is '" + servers() + "'\n"));
    EXPECT_THAT(r.err, Not(HasSubstr("Pelliton config file is")));
  }
  {
    SCOPED_TRACE("filter file that is a directory");
    WriteServers(closedPort());
    const std::string directory = file("filters.d");
    ASSERT_EQ(0, mkdir(directory.c_str(), 0700));
    WriteFile(servers(), "[news]\nconfig " + directory + "\n");
    const RunResult r = RunNews({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pelliton: unable to open file '" + directory + "'\n");
  }
  EXPECT_FALSE(FileExists(file("pre")));
  EXPECT_FALSE(FileExists(file("post")));
  EXPECT_FALSE(FileExists(newsrc() + ".lock"));
}

// Taken for a missing one, a newsrc file that is there but cannot be read
// would have the run deliver again every article it records.
TEST_F(RunTest, NewsrcThatCannotBeReadEndsTheRunBeforeConnecting) {
  LocalSocket listener(true);
  WriteFile(file("plain"), "comp.test: 1-5\n");
  ASSERT_EQ(0, mkdir(file("dir").c_str(), 0700));
  static const struct {
    const char* newsrc;
    const char* reason;
  } cases[] = {{"dir", "Is a directory"}, {"plain/newsrc", "Not a directory"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.newsrc);
    const std::string path = file(c.newsrc);
    WriteFile(servers(), "[news]\nhost 127.0.0.1\nport " + std::to_string(listener.port()) +
                             "\nconfig " + filters() + "\nnewsrc " + path +
                             "\npreconnect touch " + file("pre") + "\npostconnect touch " +
                             file("post") + "\n");
    const RunResult r = RunNews({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pelliton: unable to read newsrc file '" + path + "' -- " + c.reason + "\n");
    EXPECT_FALSE(listener.HasPendingConnection());
    EXPECT_FALSE(FileExists(file("pre")));
    EXPECT_FALSE(FileExists(file("post")));
  }
  EXPECT_EQ(ReadFile(file("plain")), "comp.test: 1-5\n");
}

TEST_F(RunTest, FailedPreconnectStopsBeforeConnectingUnlessForced) {
  LocalSocket listener(true);
  WriteServers(listener.port(), "preconnect touch " + file("pre") + "; exit 3\npostconnect touch " +
                                    file("post") + "\n");
  const RunResult r = RunNews({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pelliton: preconnect command terminated abnormally\n");
  EXPECT_TRUE(FileExists(file("pre")));
  EXPECT_FALSE(listener.HasPendingConnection());
  EXPECT_FALSE(FileExists(file("post")));

  std::remove(file("pre").c_str());
  WriteServers(livePort(), "preconnect touch " + file("pre") + "; exit 3\npostconnect touch " +
                               file("post") + "\n");
  const RunResult forced = RunNews({"-F"});
  EXPECT_EQ(forced.status, 0);
  EXPECT_THAT(forced.err, HasSubstr("pelliton: preconnect command terminated abnormally\n"));
  EXPECT_TRUE(FileExists(file("pre")));
  EXPECT_TRUE(FileExists(file("post")));
}

TEST_F(RunTest, FailedConnectionSkipsNewsrcButRunsPostconnect) {
  const std::string edited = "# my groups\ncomp.test: 1-5\n";
  WriteFile(newsrc(), edited);
  WriteServers(closedPort(), "postconnect touch " + file("post") + "; exit 1\n");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"-l"}, {"-C"}, {"-c", "comp.test"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    std::remove(file("post").c_str());
    const RunResult r = RunNews(args);
    // The run did none of its work.
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(r.err, HasSubstr("pelliton: postconnect command terminated abnormally\n"));
    EXPECT_TRUE(FileExists(file("post")));
    EXPECT_EQ(ReadFile(newsrc()), edited);
  }
}

TEST_F(RunTest, MissingNewsrcIsNotCreatedWhenTheConnectionFails) {
  WriteServers(closedPort());
  const RunResult r = RunNews({"-v"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_FALSE(FileExists(newsrc()));
}

TEST_F(RunTest, NewsrcInUseByAnotherRun) {
  WriteServers(livePort(), "preconnect touch " + file("pre") + "\npostconnect touch " +
                                 file("post") + "\n");
  const int held = open((newsrc() + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);

  const RunResult r = RunNews({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pelliton: newsrc file '" + newsrc() + "' is in use by another run\n");
  EXPECT_FALSE(FileExists(file("pre")));
  EXPECT_FALSE(FileExists(file("post")));

  close(held);
  const RunResult after = RunNews({});
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_TRUE(FileExists(file("post")));
  EXPECT_TRUE(FileExists(newsrc() + ".lock"));
}

TEST_F(RunTest, RunGoesOnWhenTheLockFileCannotBeCreated) {
  const std::string unreachable = file("missing-dir/newsrc");
  WriteFile(servers(), "[news]\nhost 127.0.0.1\nport " + std::to_string(closedPort()) +
                           "\nconfig " + filters() + "\nnewsrc " + unreachable +
                           "\npostconnect touch " + file("post") + "\n");
  const RunResult r = RunNews({});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(FileExists(file("post")));
  EXPECT_THAT(r.err, Not(HasSubstr("in use")));
}

TEST_F(RunTest, SignalsFollowTheirStage) {
  {
    SCOPED_TRACE("before the handler is installed a hangup ends the process");
    WriteServers(closedPort(), "preconnect kill -HUP $PPID\n");
    const RunResult r = RunNews({});
    EXPECT_EQ(r.status, 128 + SIGHUP);
  }
  {
    SCOPED_TRACE("afterwards it is caught and the run ends normally");
    // (The signal also ends the postconnect command, so it comes last.)
    WriteServers(livePort(), "postconnect touch " + file("post") + "; kill -HUP $PPID\n");
    const RunResult r = RunNews({});
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.err, HasSubstr("pelliton: signal caught... exiting\n"));
    EXPECT_TRUE(FileExists(file("post")));
  }
  {
    SCOPED_TRACE("a broken pipe never kills the run");
    WriteServers(livePort(), "preconnect kill -PIPE $PPID\npostconnect kill -PIPE $PPID\n");
    const RunResult r = RunNews({});
    EXPECT_EQ(r.status, 0) << r.err;
  }
}

// The commands that pelliton starts must not inherit an ignored SIGPIPE, or
// a pipeline inside them would no longer stop when its reader goes away.
TEST_F(RunTest, CommandsStartWithDefaultBrokenPipeHandling) {
  if (!FileExists("/proc/self/status")) GTEST_SKIP() << "no /proc";
  WriteServers(livePort(), "postconnect grep SigIgn /proc/$$/status > " + file("sigign") + "\n");
  const RunResult r = RunNews({});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string line = ReadFile(file("sigign"));
  ASSERT_EQ(line.rfind("SigIgn:", 0), 0u) << line;
  const unsigned long long ignored = std::stoull(line.substr(7), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << line;
}

// SIGTERM is caught from the same stage as SIGHUP and left as found before
// it; SIGXFSZ never ends the run.
TEST_F(RunTest, TerminationAndFileSizeSignalsFollowTheirStage) {
  const struct {
    const char* what;
    std::string commands;  // server file lines
    int status;
    bool caught;  // the signal's message is printed
  } cases[] = {
      {"SIGTERM before the handler", "preconnect kill -TERM $PPID\n", 128 + SIGTERM, false},
      // (The signal also ends the postconnect command, so it comes last.)
      {"SIGTERM after it", "postconnect touch " + file("post") + "; kill -TERM $PPID\n", 0, true},
      {"SIGXFSZ at either stage",
       "preconnect kill -XFSZ $PPID\npostconnect kill -XFSZ $PPID; touch " + file("post") + "\n",
       0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    unlink(file("post").c_str());
    WriteServers(livePort(), c.commands);
    const RunResult r = RunNews({});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.err.find("pelliton: signal caught... exiting\n") != std::string::npos, c.caught)
        << r.err;
    EXPECT_EQ(FileExists(file("post")), c.status == 0);
  }
}

// Two names of one newsrc file, symbolic links among them, lead to one
// lock: a run through one name keeps out a run through the other, and the
// lock lies beside the file that is really read and replaced.
TEST_F(RunTest, NewsrcLockIsSharedByEveryNameOfTheFile) {
  ASSERT_EQ(0, mkdir(file("real").c_str(), 0700));
  const std::string real = file("real/newsrc");
  WriteFile(real, "comp.test: 1-3\n");
  ASSERT_EQ(0, symlink(real.c_str(), file("link").c_str()));
  ASSERT_EQ(0, symlink("real/newsrc", file("relative").c_str()));
  ASSERT_EQ(0, symlink("link", file("chain").c_str()));
  const struct {
    std::string holder;  // the name the first run uses
    std::string other;   // the name the second run uses
  } cases[] = {
      {real, file("link")},
      {file("link"), real},
      {file("relative"), file("chain")},
  };
  // The first run holds its lock while its preconnect command waits for
  // the file "go".
  const std::string waiting = "touch " + file("waiting") + "; i=0; while [ ! -e " +
                              file("go") + " ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.holder + " against " + c.other);
    unlink(file("waiting").c_str());
    unlink(file("go").c_str());
    const auto serverFile = [&](const std::string& name, const std::string& newsrc,
                                const std::string& extra) {
      WriteFile(file(name), "[news]\nhost 127.0.0.1\nport " + std::to_string(livePort()) +
                                "\nconfig " + filters() + "\nnewsrc " + newsrc + "\n" + extra);
      return file(name);
    };
    testutil::Child holder({testutil::PellitonBinary(), "-f",
                            serverFile("servers-holder", c.holder, "preconnect " + waiting + "\n"),
                            "news"});
    for (int i = 0; i < 200 && !FileExists(file("waiting")); ++i) usleep(50000);
    ASSERT_TRUE(FileExists(file("waiting")));

    const RunResult other =
        testutil::RunPelliton({"-f", serverFile("servers-other", c.other, ""), "news"});
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.err, "pelliton: newsrc file '" + c.other + "' is in use by another run\n");

    WriteFile(file("go"), "");
    const RunResult held = holder.Finish();
    EXPECT_EQ(held.status, 0) << held.err;
  }
  EXPECT_TRUE(FileExists(real + ".lock"));
  for (const char* name : {"link", "relative", "chain"})
    EXPECT_FALSE(FileExists(file(name) + ".lock")) << name;
  EXPECT_EQ(ReadFile(real), "comp.test: 1-3\n");
}

}  // namespace
