// Fetching end to end: the real binary against the scripted news server,
// with filter files, mailboxes, pipe commands and newsrc files in a
// temporary directory.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "mailbox.h"
#include "newsserver.h"
#include "test_util.h"

namespace {

using namespace std::chrono_literals;
using testserver::NewsServer;
using testutil::Delivered;
using testutil::Messages;
using testutil::ReadFile;
using testutil::RunResult;
using testutil::WriteFile;
using Commands = std::vector<std::string>;


std::string Header(const std::string& group, int n, const std::string& subject,
                   const std::string& from = "carol@example.org") {
  return "From: " + from + "\nNewsgroups: " + group + "\nSubject: " + subject +
         "\nMessage-ID: <" + std::to_string(n) + "." + group + "@test>";
}

std::string Body(int n) { return "Body of article " + std::to_string(n) + ".\nSecond line."; }

// Article numbers of the messages in a mailbox, in mailbox order, read from
// their "Subject: article N" lines.
std::vector<int> ArticlesIn(const std::string& path) {
  std::vector<int> numbers;
  for (const std::string& message : Messages(path)) {
    std::size_t pos = message.find("Subject: article ");
    numbers.push_back(pos == std::string::npos ? -1 : std::stoi(message.substr(pos + 17)));
  }
  return numbers;
}

std::size_t IndexOf(const Commands& commands, const std::string& command) {
  return std::find(commands.begin(), commands.end(), command) - commands.begin();
}

class FetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = server.Start();
    ASSERT_GT(port, 0);
    WriteServerFile();
  }

  void WriteServerFile(const std::string& extra = "") {
    WriteFile(dir.file("servers"), "[news]\nhost 127.0.0.1\nport " + std::to_string(port) +
                                       "\nconfig " + dir.file("filters") + "\nnewsrc " +
                                       dir.file("newsrc") + "\n" + extra);
    chmod(dir.file("servers").c_str(), 0600);
  }

  // "$DIR" stands for the temporary directory.
  void WriteFilters(std::string text) {
    for (std::size_t pos; (pos = text.find("$DIR")) != std::string::npos;)
      text.replace(pos, 4, dir.path());
    WriteFile(dir.file("filters"), text);
  }

  RunResult Run(const std::vector<std::string>& options = {}) {
    server.ClearLog();
    std::vector<std::string> args = {"-f", dir.file("servers")};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("news");
    RunResult r = testutil::RunPelliton(args);
    EXPECT_TRUE(server.WaitForIdle(5000ms));
    return r;
  }

  std::string Newsrc() const { return ReadFile(dir.file("newsrc")); }
  std::string Mailbox(const std::string& name) const { return dir.file(name); }

  testutil::TempDir dir;
  NewsServer server;
  int port = 0;
};

// --- Several newsgroups ------------------------------------------------------

TEST_F(FetchTest, EachNewsgroupIsFilteredIntoItsMailboxesAndCommands) {
  const char* subjects[] = {nullptr, "linux kernel", "spam offer", "hello", "linux spam", "Linux desktop",
                            "bye"};
  for (int n = 1; n <= 6; ++n)
    server.AddArticle("comp.lang.c", n, Header("comp.lang.c", n, subjects[n]), Body(n));
  for (int n = 10; n <= 13; ++n)
    server.AddArticle("comp.os.misc", n,
                      Header("comp.os.misc", n, "os", n % 2 ? "bob@b" : "alice@a"), Body(n));
  for (int n = 1; n <= 2; ++n)
    server.AddArticle("misc.test", n, Header("misc.test", n, "misc"), Body(n));
  WriteFilters(
      "*:\n"
      "* !^Subject:.*spam\n"
      "comp.*:\n"
      "* ^Newsgroups:.*comp\\.\n"
      "comp.lang.c:\n"
      "* ^Subject:.*linux\n"
      "$DIR/linux\n"
      "comp.lang.c:\n"
      "| cat >> $DIR/piped\n"
      "comp.os.misc:\n"
      "* ^From:.*alice\n"
      "$DIR/alice\n"
      "gone.group:\n"
      "$DIR/gone\n"
      "misc.test:\n"
      "* ^Newsgroups: misc\n"
      "$DIR/misc\n");
  WriteFile(dir.file("newsrc"), "only.newsrc: 1-7\n");

  RunResult r = Run();
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("pelliton: gone.group: newsgroup does not exist\n", r.err);

  auto delivered = [](const std::string& group, int n, const std::string& subject,
                      const std::string& from = "carol@example.org") {
    return Delivered(Header(group, n, subject, from), Body(n));
  };
  EXPECT_EQ((std::vector<std::string>{delivered("comp.lang.c", 1, "linux kernel"),
                                       delivered("comp.lang.c", 5, "Linux desktop")}),
            Messages(Mailbox("linux")));
  EXPECT_EQ((std::vector<std::string>{
                delivered("comp.lang.c", 1, "linux kernel"), delivered("comp.lang.c", 3, "hello"),
                delivered("comp.lang.c", 5, "Linux desktop"), delivered("comp.lang.c", 6, "bye")}),
            Messages(Mailbox("piped")));
  EXPECT_EQ((std::vector<std::string>{delivered("comp.os.misc", 10, "os", "alice@a"),
                                       delivered("comp.os.misc", 12, "os", "alice@a")}),
            Messages(Mailbox("alice")));
  EXPECT_EQ((std::vector<std::string>{delivered("misc.test", 1, "misc"),
                                       delivered("misc.test", 2, "misc")}),
            Messages(Mailbox("misc")));
  EXPECT_FALSE(testutil::FileExists(Mailbox("gone")));
  EXPECT_EQ(
      "comp.lang.c: 1-6\ncomp.os.misc: 1-13\ngone.group: 1-0\nmisc.test: 1-2\nonly.newsrc: 1-7\n",
      Newsrc());

  // A newsgroup without actions is never selected.
  Commands commands = server.Commands();
  EXPECT_EQ(commands.end(), std::find(commands.begin(), commands.end(), "GROUP only.newsrc"));
  EXPECT_EQ((Commands{"GROUP comp.lang.c", "GROUP comp.os.misc", "GROUP gone.group",
                      "GROUP misc.test"}),
            [&] {
              Commands groups;
              for (const auto& c : commands)
                if (c.rfind("GROUP", 0) == 0) groups.push_back(c);
              return groups;
            }());

  // A second run finds nothing new and delivers nothing twice.
  r = Run();
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(2u, Messages(Mailbox("linux")).size());
  EXPECT_EQ(4u, Messages(Mailbox("piped")).size());
  commands = server.Commands();
  EXPECT_EQ(0, std::count_if(commands.begin(), commands.end(),
                             [](const std::string& c) { return c.rfind("HEAD", 0) == 0; }));
}

// --- GROUP -----------------------------------------------------------------

TEST_F(FetchTest, GroupReplyDecidesWhereReadingStarts) {
  const struct {
    const char* name;
    const char* reply;
    const char* newsrcBefore;
    Commands heads;  // first and last HEAD, or none
    const char* err;
    const char* newsrcAfter;
    int status;
    bool walkGoesOn;  // to the next newsgroup
  } cases[] = {
      {"no such group", "411 no such group\r\n", "comp.test: 1-5\n", {},
       "pelliton: comp.test: newsgroup does not exist\n", "comp.test: 1-5\n", 0, true},
      // Not read: the newsgroup keeps its place, and the run did not do
      // all of its work.
      {"too few numbers", "211 5\r\n", "comp.test: 1-5\n", {},
       "pelliton: bad NNTP server response -- 211 5\n", "comp.test: 1-5\n", 1, true},
      {"authentication required", "480 authentication required\r\n", "comp.test: 1-5\n", {},
       "pelliton: bad NNTP server response -- 480 authentication required\n", "comp.test: 1-5\n",
       1, true},
      {"no permission", "502 no permission\r\n", "comp.test: 1-5\n", {},
       "pelliton: bad NNTP server response -- 502 no permission\n", "comp.test: 1-5\n", 1, true},
      // Answers that only an article command gets were left over from
      // before: the stream is out of step, and the walk ends.
      {"an article's answer", "423 no such article\r\n", "comp.test: 1-5\n", {},
       "pelliton: bad NNTP server response -- 423 no such article\n", "comp.test: 1-5\n", 1,
       false},
      {"a body's status line", "222 7 <7@x>\r\n", "comp.test: 1-5\n", {},
       "pelliton: bad NNTP server response -- 222 7 <7@x>\n", "comp.test: 1-5\n", 1, false},
      {"no status code", "Subject: left over\r\n", "comp.test: 1-5\n", {},
       "pelliton: bad NNTP server response -- Subject: left over\n", "comp.test: 1-5\n", 1,
       false},
      {"starts at first", "211 100 200 299 comp.test\r\n", "", {"HEAD 200", "HEAD 299"}, "",
       "comp.test: 1-299\n", 0, true},
      {"behind last", "211 100 200 299 comp.test\r\n", "comp.test: 1-349\n", {}, "",
       "comp.test: 1-299\n", 0, true},
      {"empty group", "211 0 300 299 comp.test\r\n", "", {}, "", "comp.test: 1-299\n", 0,
       true},
  };
  server.AddArticle("other.test", 1, Header("other.test", 1, "article 1"), Body(1));
  // comp.test exists only in the canned GROUP answers, so the server would
  // refuse its HEADs for want of a selected newsgroup: its articles are
  // gone instead.
  for (int n = 200; n <= 299; ++n) server.SetReply("HEAD " + std::to_string(n), "423 gone\r\n");
  WriteFilters(
      "comp.test:\n"
      "$DIR/mbox\n"
      "other.test:\n"
      "$DIR/other\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.SetReply("GROUP comp.test", c.reply);
    WriteFile(dir.file("newsrc"), std::string(c.newsrcBefore) + "other.test: 1-0\n");
    RunResult r = Run();
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(std::string(c.newsrcAfter) + "other.test: 1-" + (c.walkGoesOn ? "1" : "0") + "\n",
              Newsrc());
    Commands heads;
    for (const auto& command : server.Commands())
      if (command.rfind("HEAD", 0) == 0 && command != "HEAD 1") heads.push_back(command);
    if (c.heads.empty()) {
      EXPECT_TRUE(heads.empty());
    } else {
      ASSERT_EQ(100u, heads.size());
      EXPECT_EQ(c.heads.front(), heads.front());
      EXPECT_EQ(c.heads.back(), heads.back());
    }
    Commands commands = server.Commands();
    EXPECT_EQ(c.walkGoesOn, commands.end() != std::find(commands.begin(), commands.end(), "HEAD 1"));
    std::remove(Mailbox("other").c_str());
  }
}

// Big providers' newsgroups are far past 2^31.  A number that wrapped would
// rewind the newsrc and deliver the whole newsgroup again.
TEST_F(FetchTest, GroupNumbersPastThirtyTwoBits) {
  const struct {
    const char* reply;
    const char* newsrcBefore;
    Commands heads;
    const char* err;
    const char* newsrcAfter;
  } cases[] = {
      {"211 10 1 3000000000 comp.test\r\n", "comp.test: 1-2999999998\n",
       {"HEAD 2999999999", "HEAD 3000000000"}, "", "comp.test: 1-3000000000\n"},
      {"211 10 1 4294967306 comp.test\r\n", "comp.test: 1-4294967304\n",
       {"HEAD 4294967305", "HEAD 4294967306"}, "", "comp.test: 1-4294967306\n"},
      // The highest number is never asked for: nothing could follow it.
      {"211 3 9223372036854775805 9223372036854775807 comp.test\r\n", "",
       {"HEAD 9223372036854775805", "HEAD 9223372036854775806"}, "",
       "comp.test: 1-9223372036854775806\n"},
      {"211 3 1 9223372036854775808 comp.test\r\n", "comp.test: 1-5\n", {},
       "pelliton: bad NNTP server response -- 211 3 1 9223372036854775808 comp.test\n",
       "comp.test: 1-5\n"},
  };
  // The server knows no such newsgroup, nor numbers past 2^31: the
  // articles asked for are gone.
  for (const auto& c : cases)
    for (const std::string& head : c.heads) server.SetReply(head, "423 gone\r\n");
  WriteFilters(
      "comp.test:\n"
      "$DIR/mbox\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    server.SetReply("GROUP comp.test", c.reply);
    WriteFile(dir.file("newsrc"), c.newsrcBefore);
    RunResult r = Run({"-n", "4"});
    // A range that cannot be read leaves the newsgroup unread.
    EXPECT_EQ(*c.err == '\0' ? 0 : 1, r.status);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(c.newsrcAfter, Newsrc());
    Commands heads;
    for (const auto& command : server.Commands())
      if (command.rfind("HEAD", 0) == 0) heads.push_back(command);
    EXPECT_EQ(c.heads, heads);
  }

  server.SetReply("GROUP comp.test", cases[1].reply);
  WriteFile(dir.file("newsrc"), cases[1].newsrcBefore);
  RunResult r = Run({"-v"});
  EXPECT_NE(std::string::npos,
            r.err.find("Reading articles from range 1-4294967306, starting at 4294967305...\n"))
      << r.err;
  EXPECT_NE(std::string::npos, r.err.find("Next article to read is 4294967307\n")) << r.err;
}

// A GROUP answer that names another newsgroup is some earlier answer read
// late: the stream is out of step, so the walk ends there, and neither
// this newsgroup nor any later one takes numbers that are not its own.
TEST_F(FetchTest, GroupAnswerForAnotherNewsgroupEndsTheWalk) {
  for (int n = 1; n <= 2; ++n)
    server.AddArticle("a.one", n, Header("a.one", n, "article " + std::to_string(n)), Body(n));
  server.SetGroupRange("c.three", 9, 1, 9);
  // The stale answer comes first, the real one behind it.
  server.SetReply("GROUP b.two", "211 2 1 2 a.one\r\n211 7 1 7 b.two\r\n");
  WriteFilters(
      "a.one:\n"
      "$DIR/mbox\n"
      "b.two:\n"
      "$DIR/mbox\n"
      "c.three:\n"
      "$DIR/mbox\n");
  WriteFile(dir.file("newsrc"), "a.one: 1-0\nb.two: 1-3\nc.three: 1-4\n");

  RunResult r = Run({"-n", "2"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("pelliton: bad NNTP server response -- 211 2 1 2 a.one\n", r.err);
  Commands commands = server.Commands();
  EXPECT_NE(commands.end(), std::find(commands.begin(), commands.end(), "GROUP b.two"));
  EXPECT_EQ(commands.end(), std::find(commands.begin(), commands.end(), "GROUP c.three"));
  EXPECT_EQ("QUIT", commands.back());
  EXPECT_EQ((std::vector<int>{1, 2}), ArticlesIn(Mailbox("mbox")));
  EXPECT_EQ("a.one: 1-2\nb.two: 1-3\nc.three: 1-4\n", Newsrc());
}

// --- Pipelining --------------------------------------------------------------

TEST_F(FetchTest, OneOutstandingRequestGoesHeadBodyHead) {
  for (int n = 1; n <= 5; ++n)
    server.AddArticle("comp.test", n, Header("comp.test", n, n % 2 ? "article" : "wanted"), Body(n));
  WriteFilters(
      "comp.test:\n"
      "* ^Subject: wanted\n"
      "$DIR/mbox\n");

  RunResult r = Run({"-n", "1"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_EQ((Commands{"GROUP comp.test", "HEAD 1", "HEAD 2", "BODY 2", "HEAD 3", "HEAD 4", "BODY 4",
                      "HEAD 5", "QUIT"}),
            server.Commands());
  for (const auto& entry : server.Log()) EXPECT_LE(entry.outstanding, 1) << entry.command;
  EXPECT_EQ(2u, Messages(Mailbox("mbox")).size());
  EXPECT_EQ("comp.test: 1-5\n", Newsrc());
}

TEST_F(FetchTest, FourOutstandingRequestsAndBodiesBeforeFurtherHeads) {
  std::vector<int> wanted;
  for (int n = 1; n <= 40; ++n) {
    bool match = n % 3 == 0;
    if (match) wanted.push_back(n);
    server.AddArticle("comp.test", n, Header("comp.test", n, match ? "article " + std::to_string(n) : "x"),
                      Body(n));
  }
  server.SetDelay(20ms);
  WriteFilters(
      "comp.test:\n"
      "* ^Subject: article\n"
      "$DIR/mbox\n");

  RunResult r = Run({"-n", "4"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  int most = 0;
  for (const auto& entry : server.Log()) most = std::max(most, entry.outstanding);
  EXPECT_EQ(4, most);

  Commands commands = server.Commands();
  for (int n = 1; n <= 40; ++n) EXPECT_LT(IndexOf(commands, "HEAD " + std::to_string(n)), commands.size());
  // When header n arrives, HEAD n+1 to n+3 at most are outstanding: the
  // slot it frees goes to BODY n, not to HEAD n+4.
  for (int n : wanted) {
    std::size_t body = IndexOf(commands, "BODY " + std::to_string(n));
    ASSERT_LT(body, commands.size()) << n;
    if (n + 4 <= 40) {
      EXPECT_LT(body, IndexOf(commands, "HEAD " + std::to_string(n + 4))) << n;
    }
  }
  EXPECT_EQ(wanted, ArticlesIn(Mailbox("mbox")));
  EXPECT_EQ("comp.test: 1-40\n", Newsrc());
}

// --- What lands in the mailbox ----------------------------------------------

TEST_F(FetchTest, BodiesAreUnstuffedAndFromLinesQuoted) {
  std::string header = Header("comp.test", 1, "article 1");
  server.AddArticle("comp.test", 1, header,
                    ".\n..\n.hidden\nFrom here\nfrom lower\n>From quoted\nFrom: header-like\n\nend");
  // A server that stuffs a line needlessly: it still comes out quoted.
  server.AddArticle("comp.test", 2, Header("comp.test", 2, "article 2"), "");
  server.SetReply("BODY 2", "222 2 <2@test>\r\n.From x\r\n..From y\r\n.\r\n");
  WriteFilters(
      "comp.test:\n"
      "$DIR/mbox\n"
      "comp.test:\n"
      "| cat >> $DIR/piped\n");

  RunResult r = Run();
  EXPECT_EQ(0, r.status);
  std::vector<std::string> expected = {
      Delivered(header, ".\n..\n.hidden\n>From here\nfrom lower\n>From quoted\nFrom: header-like\n\nend"),
      Delivered(Header("comp.test", 2, "article 2"), ">From x\n.From y")};
  EXPECT_EQ(expected, Messages(Mailbox("mbox")));
  EXPECT_EQ(expected, Messages(Mailbox("piped")));
  EXPECT_EQ(ReadFile(Mailbox("mbox")).size(), ReadFile(Mailbox("piped")).size());
}

// --- Stopped ends and the run after them ------------------------------------

TEST_F(FetchTest, ServerClosingMidBodyResumesAtThatArticle) {
  for (int n = 1; n <= 10; ++n)
    server.AddArticle("comp.test", n, Header("comp.test", n, "article " + std::to_string(n)),
                      n == 5 ? std::string(200000, 'x') : Body(n));
  WriteFilters(
      "comp.test:\n"
      "$DIR/mbox\n");
  for (const char* window : {"1", "4"}) {
    SCOPED_TRACE(std::string("-n ") + window);
    std::remove(Mailbox("mbox").c_str());
    WriteFile(dir.file("newsrc"), "comp.test: 1-0\n");
    // Everything before body 5 is a few kilobytes: this cuts it in two.
    server.CloseAfterBytes(100000);

    RunResult r = Run({"-n", window});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("server closed connection... aborting!\n", r.err);
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), ArticlesIn(Mailbox("mbox")));
    EXPECT_EQ("comp.test: 1-4\n", Newsrc());

    server.CloseAfterBytes(-1);
    r = Run({"-n", window});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_EQ("HEAD 5", server.Commands().at(1));
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), ArticlesIn(Mailbox("mbox")));
    EXPECT_EQ("comp.test: 1-10\n", Newsrc());
  }
}

TEST_F(FetchTest, InterruptWhileRequestsAreOutstandingLosesAndRepeatsNothing) {
  std::vector<int> wanted;
  for (int n = 1; n <= 60; ++n) {
    bool match = n % 2 == 0;
    if (match) wanted.push_back(n);
    server.AddArticle("comp.test", n, Header("comp.test", n, match ? "article " + std::to_string(n) : "x"),
                      Body(n));
  }
  WriteFilters(
      "comp.test:\n"
      "* ^Subject: article\n"
      "$DIR/mbox\n");
  server.SetDelay(50ms);

  server.ClearLog();
  testutil::Child child({testutil::PellitonBinary(), "-f", dir.file("servers"), "-n", "4", "news"});
  ASSERT_TRUE(server.WaitForLog(12, 10000ms));
  child.Signal(SIGINT);
  RunResult r = child.Finish();
  ASSERT_TRUE(server.WaitForIdle(5000ms));
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("pelliton: signal caught... exiting\n", r.err);
  EXPECT_EQ("QUIT", server.Commands().back());

  std::string newsrc = Newsrc();
  ASSERT_EQ(0u, newsrc.rfind("comp.test: 1-", 0)) << newsrc;
  int resume = std::stoi(newsrc.substr(13)) + 1;
  EXPECT_LT(resume, 50);
  std::vector<int> first = ArticlesIn(Mailbox("mbox"));
  std::vector<int> before;
  for (int n : wanted)
    if (n < resume) before.push_back(n);
  // Everything behind the resume point was delivered, nothing beyond it.
  EXPECT_EQ(before, first);

  server.SetDelay(0us);
  r = Run({"-n", "4"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("HEAD " + std::to_string(resume), server.Commands().at(1));
  EXPECT_EQ(wanted, ArticlesIn(Mailbox("mbox")));
  EXPECT_EQ("comp.test: 1-60\n", Newsrc());
}

TEST_F(FetchTest, FailedDeliveryIsFetchedAgainByTheNextRun) {
  for (int n = 101; n <= 130; ++n)
    server.AddArticle("comp.test", n,
                      Header("comp.test", n, (n == 110 ? "bad article " : "article ") + std::to_string(n)),
                      Body(n));
  WriteFilters(
      "comp.test:\n"
      "* ^Subject: bad\n"
      "$DIR/later/bad\n"
      "comp.test:\n"
      "* ^Subject: article\n"
      "$DIR/mbox\n");
  WriteFile(dir.file("newsrc"), "comp.test: 1-100\n");
  server.SetDelay(20ms);

  RunResult r = Run({"-n", "4"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("/later/bad"));
  // Bodies behind 110 that were on their way are read and dropped: nothing
  // numbered above the failed article is delivered, so the next run, which
  // starts at 110, repeats nothing.
  EXPECT_EQ((std::vector<int>{101, 102, 103, 104, 105, 106, 107, 108, 109}),
            ArticlesIn(Mailbox("mbox")));
  EXPECT_EQ("comp.test: 1-109\n", Newsrc());

  mkdir(dir.file("later").c_str(), 0700);
  server.SetDelay(0us);
  r = Run({"-n", "4"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_EQ((std::vector<int>{-1}), ArticlesIn(Mailbox("later/bad")));  // its subject differs
  EXPECT_EQ(1u, Messages(Mailbox("later/bad")).size());
  std::vector<int> expected;
  for (int n = 101; n <= 130; ++n)
    if (n != 110) expected.push_back(n);
  EXPECT_EQ(expected, ArticlesIn(Mailbox("mbox")));
  EXPECT_EQ("comp.test: 1-130\n", Newsrc());
}

TEST_F(FetchTest, FailedDeliveryWithOneRequestRepeatsNothing) {
  for (int n = 1; n <= 8; ++n)
    server.AddArticle("comp.test", n, Header("comp.test", n, "article " + std::to_string(n)), Body(n));
  WriteFilters(
      "comp.test:\n"
      "* ^Subject: article [1-4]$\n"
      "$DIR/mbox\n"
      "comp.test:\n"
      "* ^Subject: article [5-8]$\n"
      "$DIR/later/mbox\n");

  RunResult r = Run({"-n", "1"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("/later/mbox"));
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), ArticlesIn(Mailbox("mbox")));
  EXPECT_EQ("comp.test: 1-4\n", Newsrc());
  EXPECT_EQ("BODY 5", server.Commands().at(server.Commands().size() - 2));

  mkdir(dir.file("later").c_str(), 0700);
  r = Run({"-n", "1"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), ArticlesIn(Mailbox("mbox")));
  EXPECT_EQ((std::vector<int>{5, 6, 7, 8}), ArticlesIn(Mailbox("later/mbox")));
  EXPECT_EQ("comp.test: 1-8\n", Newsrc());
}

TEST_F(FetchTest, SilentServerTimesOutAndTheNewsrcIsSaved) {
  for (int n = 1; n <= 5; ++n)
    server.AddArticle("comp.test", n, Header("comp.test", n, "article " + std::to_string(n)), Body(n));
  WriteFilters(
      "comp.test:\n"
      "$DIR/mbox\n"
      "other.test:\n"
      "$DIR/mbox\n");
  WriteServerFile("timeout 1\n");
  // GROUP, HEAD 1 and BODY 1 are answered; HEAD 2 never is.
  server.StallAfterCommands(3);

  RunResult r = Run({"-n", "1"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("pelliton: timeout talking to NNTP server\n", r.err);
  EXPECT_EQ((std::vector<int>{1}), ArticlesIn(Mailbox("mbox")));
  EXPECT_EQ("comp.test: 1-1\nother.test: 1-0\n", Newsrc());
}

}  // namespace
