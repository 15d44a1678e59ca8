// Reading from the overview end to end: the real binary against the
// scripted news server with "overview yes", against the same newsgroups
// read with HEAD and BODY.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "mailbox.h"
#include "newsserver.h"
#include "test_util.h"

namespace {

using namespace std::chrono_literals;
using testserver::NewsServer;
using testutil::Messages;
using testutil::ReadFile;
using testutil::RunResult;
using testutil::WriteFile;
using Commands = std::vector<std::string>;

// What a run left behind, to be compared between the two ways of reading.
struct Outcome {
  int status = -1;
  std::string err;
  std::vector<std::string> mbox;      // messages, separator lines left out
  std::vector<std::string> piped;     // what the command wrote, the same way
  std::vector<std::string> maildir;   // the files of new/, sorted
  std::vector<std::string> headOnly;  // the mailbox of the newsgroup read with HEAD
  std::string newsrc;
  Commands commands;
};

class OverviewFetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AddContent(server);
    port = server.Start();
    ASSERT_GT(port, 0);
  }

  // comp.talk: decided on Subject and From, which the overview carries;
  // comp.all: no condition, taken whole; comp.tags: a condition on a
  // header the overview lacks.  Bodies with lines that the wire stuffs and
  // a mailbox quotes, a folded header, a header line that begins with a
  // dot, and numbers missing on the server.
  static void AddContent(NewsServer& s) {
    for (int n = 1; n <= 30; ++n) {
      if (n % 7 == 0) continue;
      const std::string id = "<" + std::to_string(n) + ".talk@test>";
      std::string header = "From: " + std::string(n % 5 == 0 ? "spammer" : "poster") +
                           " <p@test>\nSubject: " + (n % 3 == 0 ? "wanted " : "other ") +
                           std::to_string(n) + "\nDate: Mon, 1 Jan 2024 00:00:00 +0000" +
                           "\nMessage-ID: " + id + "\nX-Fold: first part\n\tsecond part" +
                           (n % 4 == 0 ? "\n.X-Dot: a header line that begins with a dot" : "");
      std::string body = "From the desk of " + std::to_string(n) + "\n.\n..two\n\n>From x";
      if (n % 6 == 0) body = "";
      s.AddArticle("comp.talk", n, header, body);
    }
    for (int n = 1; n <= 5; ++n)
      s.AddArticle("comp.all", n, "Subject: all " + std::to_string(n), "From all\n.");
    s.RemoveArticle("comp.all", 2);
    s.SetGroupRange("comp.all", 4, 1, 5);
    for (int n = 1; n <= 4; ++n)
      s.AddArticle("comp.tags", n,
                   "Subject: tagged " + std::to_string(n) + (n % 2 ? "\nX-Tag: yes" : ""), "b");
  }

  // A fresh directory with the server file, the filters and an empty
  // newsrc; `extra` goes into the server's section.
  void Prepare(const std::string& extra) {
    dir = std::make_unique<testutil::TempDir>();
    WriteFile(dir->file("servers"), "[news]\nhost 127.0.0.1\nport " + std::to_string(port) +
                                        "\nconfig " + dir->file("filters") + "\nnewsrc " +
                                        dir->file("newsrc") + "\n" + extra);
    chmod(dir->file("servers").c_str(), 0600);
    ASSERT_EQ(0, mkdir(dir->file("maildir").c_str(), 0700));
    WriteFile(dir->file("filters"),
              "comp.t*:\n"
              "* !^From:.*spammer\n"
              "comp.talk:\n"
              "* ^Subject: wanted\n" +
                  dir->file("mbox") +
                  "\n"
                  "comp.talk:\n"
                  "* ^subject:.*other [248]$\n"
                  "| cat >> " +
                  dir->file("piped") +
                  "\n"
                  "comp.all:\n" +
                  dir->file("maildir/") +
                  "\n"
                  "comp.tags:\n"
                  "* ^X-Tag: yes\n" +
                  dir->file("tags") + "\n");
  }

  RunResult Run(const std::vector<std::string>& options = {}) {
    server.ClearLog();
    std::vector<std::string> args = {"-f", dir->file("servers")};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("news");
    RunResult r = testutil::RunPelliton(args);
    EXPECT_TRUE(server.WaitForIdle(5000ms));
    return r;
  }

  Outcome Collect(const RunResult& r) {
    Outcome o;
    o.status = r.status;
    o.err = r.err;
    o.mbox = Messages(dir->file("mbox"));
    o.piped = Messages(dir->file("piped"));
    o.headOnly = Messages(dir->file("tags"));
    for (const std::string& name : testutil::ListDir(dir->file("maildir/new")))
      o.maildir.push_back(ReadFile(dir->file("maildir/new/" + name)));
    std::sort(o.maildir.begin(), o.maildir.end());
    o.newsrc = ReadFile(dir->file("newsrc"));
    o.commands = server.Commands();
    return o;
  }

  // The two ways of reading, each from an empty newsrc.
  Outcome RunWith(const std::string& extra, const std::vector<std::string>& options = {"-n", "4"}) {
    Prepare(extra);
    return Collect(Run(options));
  }

  static Commands Only(const Commands& commands, const std::string& verb) {
    Commands out;
    for (const std::string& c : commands)
      if (c.compare(0, verb.size() + 1, verb + " ") == 0) out.push_back(c);
    return out;
  }

  NewsServer server;
  int port = 0;
  std::unique_ptr<testutil::TempDir> dir;
};

TEST_F(OverviewFetchTest, OverviewDeliversWhatHeadAndBodyDeliver) {
  for (const char* window : {"1", "4"}) {
    SCOPED_TRACE(std::string("-n ") + window);
    const Outcome head = RunWith("", {"-n", window});
    const Outcome over = RunWith("overview yes\n", {"-n", window});
    EXPECT_EQ(0, head.status) << head.err;
    EXPECT_EQ("", head.err);
    EXPECT_EQ(head.status, over.status);
    EXPECT_EQ(head.err, over.err);
    EXPECT_EQ(head.mbox, over.mbox);
    EXPECT_EQ(head.piped, over.piped);
    EXPECT_EQ(head.maildir, over.maildir);
    EXPECT_EQ(head.headOnly, over.headOnly);
    EXPECT_EQ(head.newsrc, over.newsrc);
    EXPECT_EQ("comp.talk: 1-30\ncomp.all: 1-5\ncomp.tags: 1-4\n", over.newsrc);
    // 3, 6, 9, 12, 18, 24 and 27 of comp.talk pass (15 and 30 come from a
    // spammer, 21 is missing); 2, 4 and 8 go into the command as well.
    EXPECT_EQ(7u, over.mbox.size());
    EXPECT_EQ(4u, over.maildir.size());
    EXPECT_EQ(2u, over.headOnly.size());

    // "overview no" is the conversation of HEAD and BODY alone.
    EXPECT_TRUE(Only(head.commands, "CAPABILITIES").empty());
    EXPECT_TRUE(Only(head.commands, "OVER").empty());
    EXPECT_TRUE(Only(head.commands, "ARTICLE").empty());
    // One OVER for comp.talk and one ARTICLE for each of its matches; every
    // number of comp.all whole; comp.tags with HEAD and BODY.
    const Commands expected = {"CAPABILITIES", "LIST OVERVIEW.FMT", "GROUP comp.talk"};
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), over.commands.begin()));
    EXPECT_EQ((Commands{"OVER 1-30"}), Only(over.commands, "OVER"));
    EXPECT_EQ((Commands{"ARTICLE 2", "ARTICLE 3", "ARTICLE 4", "ARTICLE 6", "ARTICLE 8",
                        "ARTICLE 9", "ARTICLE 12", "ARTICLE 18", "ARTICLE 24", "ARTICLE 27",
                        "ARTICLE 1", "ARTICLE 2", "ARTICLE 3", "ARTICLE 4", "ARTICLE 5"}),
              Only(over.commands, "ARTICLE"));
    EXPECT_EQ((Commands{"HEAD 1", "HEAD 2", "HEAD 3", "HEAD 4"}), Only(over.commands, "HEAD"));
    EXPECT_EQ((Commands{"BODY 1", "BODY 3"}), Only(over.commands, "BODY"));
  }
}

// How the server is asked, and what each kind of server leads to.  The
// mailbox of comp.talk is the one HEAD and BODY fill, whichever way is
// taken.
TEST_F(OverviewFetchTest, EachKindOfServerIsReadTheWayItCan) {
  const Outcome reference = RunWith("");
  const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> replies;
    bool modeSwitch;
    Commands before;    // from the start up to the first GROUP
    const char* talk;   // the request that reads comp.talk first
    const char* verbose;
  } cases[] = {
      {"OVER", {}, false, {"CAPABILITIES", "LIST OVERVIEW.FMT"}, "OVER 1-30",
       "The server gives its overview with OVER: Subject: From: Date: Message-ID: References: "
       "Bytes Lines Xref:full\n"},
      {"OVER, the format refused", {{"LIST OVERVIEW.FMT", "503 not supported\r\n"}}, false,
       {"CAPABILITIES", "LIST OVERVIEW.FMT"}, "OVER 1-30",
       "with OVER: Subject: From: Date: Message-ID: References: :bytes :lines\n"},
      {"reader mode first", {}, true,
       {"CAPABILITIES", "MODE READER", "CAPABILITIES", "LIST OVERVIEW.FMT"}, "OVER 1-30",
       "Switching the server to reader mode...\n"},
      {"no capabilities: XOVER", {{"CAPABILITIES", "500 what?\r\n"}, {"OVER", "500 what?\r\n"}},
       false, {"CAPABILITIES", "LIST OVERVIEW.FMT"}, "XOVER 1-30", "with XOVER"},
      {"no capabilities, no format: HEAD",
       {{"CAPABILITIES", "500 what?\r\n"}, {"LIST OVERVIEW.FMT", "500 what?\r\n"}}, false,
       {"CAPABILITIES", "LIST OVERVIEW.FMT"}, "HEAD 1",
       "The server has no overview: every newsgroup is read with HEAD\n"},
      {"a list without OVER: HEAD",
       {{"CAPABILITIES", "101 list\r\nVERSION 2\r\nREADER\r\n.\r\n"}}, false, {"CAPABILITIES"},
       "HEAD 1", "The server has no overview"},
      {"OVER refused: HEAD", {{"OVER", "503 overview not available\r\n"}}, false,
       {"CAPABILITIES", "LIST OVERVIEW.FMT"}, "OVER 1-30",
       "OVER refused -- 503 overview not available; reading with HEAD from article 1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [command, raw] : c.replies) server.SetReply(command, raw);
    server.SetReaderModeSwitch(c.modeSwitch);
    const Outcome o = RunWith("overview yes\n", {"-v", "-n", "4"});
    server.ClearReplies();
    server.SetReaderModeSwitch(false);
    EXPECT_EQ(0, o.status) << o.err;
    EXPECT_NE(std::string::npos, o.err.find(c.verbose)) << o.err;
    Commands before(o.commands.begin(),
                    std::find(o.commands.begin(), o.commands.end(), "GROUP comp.talk"));
    EXPECT_EQ(c.before, before);
    const auto group = std::find(o.commands.begin(), o.commands.end(), "GROUP comp.talk");
    ASSERT_NE(o.commands.end(), group);
    ASSERT_NE(o.commands.end(), group + 1);
    EXPECT_EQ(c.talk, *(group + 1));
    EXPECT_EQ(reference.mbox, o.mbox);
    EXPECT_EQ(reference.piped, o.piped);
    EXPECT_EQ(reference.newsrc, o.newsrc);
  }
}

// An overview that lists nothing of the new range, in any of the ways
// servers say so, keeps the resume point; one that lags behind the spool
// lets the next run fetch what it did not list yet.  Each match arrives
// once over both runs.
TEST_F(OverviewFetchTest, WhatTheOverviewDoesNotListYetComesWithTheNextRun) {
  const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> replies;
    int lag;
    const char* newsrc;  // of comp.talk after the first run
    std::size_t first;   // messages in the mailbox after the first run
  } cases[] = {
      {"OVER lists nothing", {{"OVER", "423 no articles in that range\r\n"}}, 0, "1-0", 0},
      {"XOVER lists nothing",
       {{"CAPABILITIES", "500 what?\r\n"}, {"XOVER", "224 overview follows\r\n.\r\n"}}, 0, "1-0",
       0},
      {"XOVER says 420", {{"CAPABILITIES", "500 what?\r\n"}, {"XOVER", "420 no articles\r\n"}}, 0,
       "1-0", 0},
      {"the last five not listed yet", {}, 5, "1-25", 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Prepare("overview yes\n");
    for (const auto& [command, raw] : c.replies) server.SetReply(command, raw);
    server.SetOverviewLag("comp.talk", c.lag);
    RunResult r = Run();
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, ReadFile(dir->file("newsrc")).find(std::string("comp.talk: ") + c.newsrc + "\n"));
    EXPECT_EQ(c.first, Messages(dir->file("mbox")).size());

    server.ClearReplies();
    server.SetOverviewLag("comp.talk", 0);
    r = Run();
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("comp.talk: 1-30\ncomp.all: 1-5\ncomp.tags: 1-4\n", ReadFile(dir->file("newsrc")));
    std::vector<std::string> messages = Messages(dir->file("mbox"));
    EXPECT_EQ(7u, messages.size());
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(messages.end(), std::adjacent_find(messages.begin(), messages.end()));
  }
}

// A signal while the overview answer is on its way (it trickles in): the
// run stops after the newsgroup with status 0, and the next run delivers
// each match once.
TEST_F(OverviewFetchTest, SignalDuringTheOverview) {
  Prepare("overview yes\n");
  server.SetChunkSize(16);
  server.ClearLog();
  // The signal is sent as OVER arrives, before its answer begins, so that
  // the run cannot have got past the answer whatever the machine's load.
  std::atomic<pid_t> run{0};
  server.SetLogSink([&run](const testserver::LogEntry& entry) {
    if (entry.command != "OVER 1-30") return;
    while (run.load() == 0) std::this_thread::yield();
    kill(run.load(), SIGINT);
  });
  testutil::Child child({testutil::PellitonBinary(), "-f", dir->file("servers"), "-n", "4", "news"});
  run = child.pid();
  RunResult first = child.Finish();
  server.SetLogSink(nullptr);
  server.SetChunkSize(0);
  EXPECT_TRUE(server.WaitForIdle(5000ms));
  EXPECT_EQ(0, first.status) << first.err;
  EXPECT_EQ("pelliton: signal caught... exiting\n", first.err);
  // The walk ended with comp.talk.
  EXPECT_TRUE(testutil::ListDir(dir->file("maildir/new")).empty());
  EXPECT_NE(std::string::npos, ReadFile(dir->file("newsrc")).find("comp.all: 1-0\n"));

  RunResult second = Run();
  EXPECT_EQ(0, second.status) << second.err;
  std::vector<std::string> messages = Messages(dir->file("mbox"));
  EXPECT_EQ(7u, messages.size());
  std::sort(messages.begin(), messages.end());
  EXPECT_EQ(messages.end(), std::adjacent_find(messages.begin(), messages.end()));
  EXPECT_EQ("comp.talk: 1-30\ncomp.all: 1-5\ncomp.tags: 1-4\n", ReadFile(dir->file("newsrc")));
}

}  // namespace
