// A server that cannot be reached, refuses articles, answers out of step
// with the requests, loses the connection, falls silent, sends articles
// larger than the limit, NUL bytes, or holds up a run that is stopping:
// the real binary against the scripted news server, over two runs.
// Whatever the first run meets, its exit status says whether it did all
// its work, the two runs together deliver every matching article exactly
// once, and the first run leaves the newsrc where the second must start.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <utility>
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

constexpr int kArticlesOne = 12;  // comp.one: 1 to 12
constexpr int kArticlesTwo = 3;   // comp.two: 1 to 3

std::string Header(const std::string& group, int n) {
  return "From: carol@example.org\nNewsgroups: " + group + "\nSubject: article " +
         std::to_string(n) + "\nMessage-ID: <" + std::to_string(n) + "." + group + "@test>";
}

std::string Body(int n) { return "Body of article " + std::to_string(n) + ".\n.dotted line"; }

// Answers as the server itself sends them.
std::string HeadAnswer(int n) {
  return "221 " + std::to_string(n) + " <" + std::to_string(n) +
         ".comp.one@test>\r\nFrom: carol@example.org\r\nNewsgroups: comp.one\r\nSubject: "
         "article " +
         std::to_string(n) + "\r\nMessage-ID: <" + std::to_string(n) + ".comp.one@test>\r\n.\r\n";
}
std::string BodyAnswer(int n, const std::string& group = "comp.one") {
  return "222 " + std::to_string(n) + " <" + std::to_string(n) + "." + group +
         "@test>\r\nBody of article " + std::to_string(n) + ".\r\n..dotted line\r\n.\r\n";
}

// How often each article stands in a mailbox, by its "Subject: article N".
std::map<int, int> Counts(const std::string& path) {
  std::map<int, int> counts;
  for (const std::string& message : Messages(path)) {
    std::size_t pos = message.find("Subject: article ");
    ++counts[pos == std::string::npos ? -1 : std::stoi(message.substr(pos + 17))];
  }
  return counts;
}

// True while the process has not ended (a zombie has).
bool Running(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

class MisbehavingServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = server.Start();
    ASSERT_GT(port, 0);
  }

  // The server as it behaves by default.
  void ResetServer() {
    server.ClearReplies();
    server.SetChunkSize(0);
    server.StallAfterCommands(-1);
    server.SetGreeting("200 testserver ready (posting ok)\r\n");
    server.CloseAfterCommands(0);
    server.CloseAfterBytes(-1);
  }

  void WriteServerFile(const std::string& serverExtra) const {
    WriteFile(file("servers"), "[news]\nhost 127.0.0.1\nport " + std::to_string(port) +
                                   "\nconfig " + file("filters") + "\nnewsrc " + file("newsrc") +
                                   "\n" + serverExtra);
    chmod(file("servers").c_str(), 0600);
  }

  // Fresh files and the articles as they really are.
  void NewCase(const std::string& serverExtra = "") {
    ResetServer();
    for (int n = 1; n <= kArticlesOne; ++n) server.AddArticle("comp.one", n, Header("comp.one", n), Body(n));
    for (int n = 1; n <= kArticlesTwo; ++n) server.AddArticle("comp.two", n, Header("comp.two", n), Body(n));
    dir = std::make_unique<testutil::TempDir>();
    WriteServerFile(serverExtra);
    WriteFile(file("filters"), "comp.one:\n* ^Subject: article\n" + file("one") +
                                   "\ncomp.two:\n* ^Subject: article\n" + file("two") + "\n");
    WriteFile(file("newsrc"), "comp.one: 1-0\ncomp.two: 1-0\n");
  }

  std::string file(const std::string& name) const { return dir->file(name); }

  std::vector<std::string> Args(int maxReq, const std::vector<std::string>& options = {}) const {
    std::vector<std::string> args{testutil::PellitonBinary(), "-n", std::to_string(maxReq)};
    args.insert(args.end(), options.begin(), options.end());
    for (const char* arg : {"-f", "servers", "news"}) args.push_back(arg);
    args[args.size() - 2] = file("servers");
    return args;
  }

  RunResult Run(int maxReq, const std::vector<std::string>& options = {}) {
    RunResult r = testutil::Child(Args(maxReq, options)).Finish();
    EXPECT_TRUE(server.WaitForIdle(5000ms));
    return r;
  }

  // The clean second run: it finishes both newsgroups, and the two runs
  // together have delivered every article but `never` exactly once.
  void CheckSecondRun(int maxReq, const std::vector<int>& never) {
    ResetServer();
    WriteServerFile("");
    RunResult r = Run(maxReq);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_EQ("comp.one: 1-12\ncomp.two: 1-3\n", ReadFile(file("newsrc")));
    std::map<int, int> expected;
    for (int n = 1; n <= kArticlesOne; ++n)
      if (std::find(never.begin(), never.end(), n) == never.end()) expected[n] = 1;
    EXPECT_EQ(expected, Counts(file("one")));
    EXPECT_EQ((std::map<int, int>{{1, 1}, {2, 1}, {3, 1}}), Counts(file("two")));
  }

  NewsServer server;
  int port = 0;
  std::unique_ptr<testutil::TempDir> dir;
};

TEST_F(MisbehavingServerTest, EveryArticleOnceWhateverTheServerAnswers) {
  testutil::ClosedPort closed;
  const std::string refused = "port " + std::to_string(closed.port()) + "\n";
  const std::string before = "comp.one: 1-0\ncomp.two: 1-0\n";
  const struct {
    const char* name;
    int maxReq;
    std::vector<std::pair<std::string, std::string>> replies;  // for the first run
    std::string serverExtra;
    void (*content)(NewsServer&);  // articles changed for both runs, or misbehaviour
    std::vector<std::string> options;
    int status;
    std::string err;
    std::optional<std::string> newsrc;  // after the first run
    std::vector<int> never;
    // The message names whichever request the answer was taken for, which
    // depends on how far ahead the requests went: it is only searched for.
    bool errExact = true;
  } cases[] = {
      // No connection: nothing done, nothing saved.
      {"connection refused", 1, {}, refused, nullptr, {}, 1,
       "pelliton: " + std::string(std::strerror(ECONNREFUSED)) + "\n", before, {}},
      {"bad greeting", 1, {}, "",
       [](NewsServer& s) { s.SetGreeting("400 service temporarily unavailable\r\n"); }, {}, 1,
       "pelliton: bad response from NNTP server\n", before, {}},
      {"authentication refused", 1, {{"AUTHINFO PASS", "481 authentication failed\r\n"}},
       "password secret\n", nullptr, {}, 1,
       "pelliton: bad NNTP server response -- 481 authentication failed\n", before, {}},
      // A refusal holds comp.one at the article; comp.two is fetched all the same.
      {"BODY refused", 4, {{"BODY 6", "503 program fault\r\n"}}, "", nullptr, {}, 1,
       "pelliton: article 6: server refused BODY -- 503 program fault\n",
       "comp.one: 1-5\ncomp.two: 1-3\n", {}},
      // Body 5 goes unasked when the refusal comes before a slot for it.
      {"HEAD refused", 4, {{"HEAD 6", "480 authentication required\r\n"}}, "", nullptr, {},
       1, "pelliton: article 6: server refused HEAD -- 480 authentication required\n",
       std::nullopt, {}},
      {"HEAD refused, one request at a time", 1, {{"HEAD 6", "502 no permission\r\n"}}, "",
       nullptr, {}, 1, "pelliton: article 6: server refused HEAD -- 502 no permission\n",
       "comp.one: 1-5\ncomp.two: 1-3\n", {}},
      // Gone articles are dealt with for good.
      {"HEAD and BODY gone", 4, {{"HEAD 6", "423 no such article\r\n"}, {"BODY 8", "430 gone\r\n"}},
       "", nullptr, {}, 0, "", "comp.one: 1-12\ncomp.two: 1-3\n", {6, 8}},
      // A newsgroup that the server does not carry is passed over.
      {"newsgroup missing", 1, {{"GROUP comp.two", "411 no such newsgroup\r\n"}}, "", nullptr, {},
       0, "pelliton: comp.two: newsgroup does not exist\n", "comp.one: 1-12\ncomp.two: 1-0\n",
       {}},
      // One that it refuses was not read: it keeps its place, the walk goes
      // on, and the run did not do all its work.
      {"newsgroup refused", 1, {{"GROUP comp.one", "502 no permission\r\n"}}, "", nullptr, {}, 1,
       "pelliton: bad NNTP server response -- 502 no permission\n",
       "comp.one: 1-0\ncomp.two: 1-3\n", {}},
      // Out of step: the walk ends at the first article not dealt with.
      {"header with another number", 1, {{"HEAD 6", HeadAnswer(7)}}, "", nullptr, {}, 1,
       "pelliton: article 6: answer out of step with the requests -- 221 7 <7.comp.one@test>\n",
       "comp.one: 1-5\ncomp.two: 1-0\n", {}},
      {"body to a HEAD", 1, {{"HEAD 6", BodyAnswer(6)}}, "", nullptr, {}, 1,
       "pelliton: article 6: answer out of step with the requests -- 222 6 <6.comp.one@test>\n",
       "comp.one: 1-5\ncomp.two: 1-0\n", {}},
      {"status of the wrong kind", 4, {{"HEAD 6", "223 6 <x>\r\n"}}, "", nullptr, {}, 1,
       "pelliton: article 6: answer out of step with the requests -- 223 6 <x>\n", std::nullopt,
       {}},
      {"empty line", 1, {{"BODY 6", "\r\n"}}, "", nullptr, {}, 1,
       "pelliton: article 6: answer out of step with the requests -- \n",
       "comp.one: 1-5\ncomp.two: 1-0\n", {}},
      // The slot that delivery 6 left went to HEAD 7 at once, and the copy
      // is taken for its answer.
      {"body sent twice", 1, {{"BODY 6", BodyAnswer(6) + BodyAnswer(6)}}, "", nullptr, {}, 1,
       "pelliton: article 7: answer out of step with the requests -- 222 6 <6.comp.one@test>\n",
       "comp.one: 1-6\ncomp.two: 1-0\n", {}},
      {"line that answers nothing", 1, {{"HEAD 6", HeadAnswer(6) + "211 12 1 12 comp.one\r\n"}},
       "", nullptr, {}, 1,
       "pelliton: article 6: answer out of step with the requests -- 211 12 1 12 comp.one\n",
       "comp.one: 1-5\ncomp.two: 1-0\n", {}},
      // A stray line without an article number is taken for the answer to
      // the next request, and settles article 7 for gone; the real answer
      // then comes out of step.  The next run starts no later than 7 (it
      // started behind it, and 7 was lost).
      {"stray 423 after a body", 1, {{"BODY 6", BodyAnswer(6) + "423 no such article\r\n"}}, "",
       nullptr, {}, 1,
       "pelliton: article 8: answer out of step with the requests -- 221 7 <7.comp.one@test>\n",
       "comp.one: 1-6\ncomp.two: 1-0\n", {}},
      {"stray 430 after a body", 1, {{"BODY 6", BodyAnswer(6) + "430 no such article\r\n"}}, "",
       nullptr, {}, 1,
       "pelliton: article 8: answer out of step with the requests -- 221 7 <7.comp.one@test>\n",
       "comp.one: 1-6\ncomp.two: 1-0\n", {}},
      {"stray 423 after a body, four at a time", 4,
       {{"BODY 6", BodyAnswer(6) + "423 no such article\r\n"}}, "", nullptr, {}, 1,
       ": answer out of step with the requests -- ", std::nullopt, {}, false},
      {"stray 430 after a body, four at a time", 4,
       {{"BODY 6", BodyAnswer(6) + "430 no such article\r\n"}}, "", nullptr, {}, 1,
       ": answer out of step with the requests -- ", std::nullopt, {}, false},
      // In the last newsgroup nothing follows the real answer but the
      // answer to QUIT, which shows the stream out of step: article 3 is
      // not passed.  (comp.one has no article 2, so that BODY 2 is asked
      // in comp.two alone.)
      {"stray 423 after the last newsgroup's body", 1,
       {{"BODY 2", BodyAnswer(2, "comp.two") + "423 no such article\r\n"}}, "",
       [](NewsServer& s) { s.RemoveArticle("comp.one", 2); }, {}, 1,
       "pelliton: bad NNTP server response -- 221 3 <3.comp.two@test>\n",
       "comp.one: 1-12\ncomp.two: 1-2\n", {2}},
      // Article 6 is gone only in the first run: the second delivers it.
      {"header answered 423 twice", 1, {{"HEAD 6", "423 no such article\r\n423 no such article\r\n"}},
       "", nullptr, {}, 1,
       "pelliton: article 6: answer out of step with the requests -- 423 no such article\n",
       "comp.one: 1-5\ncomp.two: 1-0\n", {}},
      {"header answered 423 twice, four at a time", 4,
       {{"HEAD 6", "423 no such article\r\n423 no such article\r\n"}}, "", nullptr, {}, 1,
       ": answer out of step with the requests -- ", std::nullopt, {}, false},
      // GROUP and five articles (a HEAD and a BODY each) are answered.
      {"connection lost", 1, {}, "", [](NewsServer& s) { s.CloseAfterCommands(12); }, {}, 1,
       "server closed connection... aborting!\n", "comp.one: 1-5\ncomp.two: 1-0\n", {}},
      {"server silent", 1, {}, "timeout 1\n", [](NewsServer& s) { s.StallAfterCommands(11); }, {},
       1, "pelliton: timeout talking to NNTP server\n", "comp.one: 1-5\ncomp.two: 1-0\n", {}},
      // The mailbox takes messages up to the limit and one more; then the
      // delivery fails and the run stops.
      {"mailbox over the size limit", 1, {}, "", nullptr, {"-m", "1k"}, 1,
       "pelliton: file size limit reached on '$DIR/one'\n", std::nullopt, {}},
      // Over the limit: read, reported, dealt with.
      {"articles over the limit", 1, {}, "articlelimit 2k\n",
       [](NewsServer& s) {
         s.AddArticle("comp.one", 6, Header("comp.one", 6), std::string(5000, 'b'));
         s.AddArticle("comp.one", 9, Header("comp.one", 9) + "\nX-Pad: " + std::string(3000, 'h'),
                      Body(9));
       },
       {}, 0,
       "pelliton: article 6: larger than 2048 bytes, skipped\n"
       "pelliton: article 9: larger than 2048 bytes, skipped\n",
       "comp.one: 1-12\ncomp.two: 1-3\n", {6, 9}},
      // Lines past the 64 KB input buffer may take the whole limit: a
      // one-line header and a stuffed one-line body of exactly the limit
      // are delivered (they were skipped for good); a byte more is not.
      {"long lines at the limit", 1, {}, "articlelimit 100000\n",
       [](NewsServer& s) {
         auto header = [](int n, std::size_t size) {
           std::string line = "Subject: article " + std::to_string(n) + " ";
           return line + std::string(size - line.size(), 'h');
         };
         s.AddArticle("comp.one", 6, header(6, 100000), Body(6));
         s.AddArticle("comp.one", 7, header(7, 99999), Body(7));
         s.AddArticle("comp.one", 8, header(8, 100001), Body(8));
         s.AddArticle("comp.one", 9, Header("comp.one", 9), "." + std::string(99999, 'b'));
         s.AddArticle("comp.one", 10, Header("comp.one", 10), "." + std::string(100000, 'b'));
       },
       {}, 0,
       "pelliton: article 8: larger than 100000 bytes, skipped\n"
       "pelliton: article 10: larger than 100000 bytes, skipped\n",
       "comp.one: 1-12\ncomp.two: 1-3\n", {8, 10}},
      // A body that never ends is read up to twice the limit and 16 MB
      // more: it is skipped for good, and the connection given up (it was
      // read for as long as the server sent it, the newsrc lock held).
      {"body without end", 1, {}, "articlelimit 2k\n",
       [](NewsServer& s) {
         std::string endless = "222 6 <6.comp.one@test>\r\n";
         const std::string line = std::string(1000, 'e') + "\r\n";
         while (endless.size() < (17u << 20)) endless += line;
         s.SetReply("BODY 6", endless);
       },
       {}, 1,
       "pelliton: article 6: larger than 2048 bytes, skipped\n"
       "pelliton: article 6: answer too long, taken as out of step with the requests\n",
       "comp.one: 1-6\ncomp.two: 1-0\n", {6}},
      // A status line runs on far past any that a server has reason to
      // send: it is given up rather than read for as long as the server
      // sends it, and the walk ends there.
      {"status line without end", 1,
       {{"GROUP comp.one", "211 12 1 12 comp.one" + std::string(20 << 20, ' ') + "\r\n"}}, "",
       nullptr, {}, 1, "pelliton: answer from NNTP server too long\n",
       "comp.one: 1-0\ncomp.two: 1-0\n", {}},
      // The last article of comp.one is gone, which nothing confirms, and
      // the connection is lost at the GROUP of comp.two: reported once, and
      // the article not passed.  (A QUIT sent into the dead connection to
      // confirm it reported the loss a second time.)
      {"connection lost behind a newsgroup ending on a 423", 1,
       {{"HEAD 12", "423 no such article\r\n"}}, "",
       [](NewsServer& s) { s.CloseAfterCommands(1 + 2 * 11 + 1 + 1); }, {}, 1,
       "pelliton: error talking to NNTP server -- connection closed by server\n",
       "comp.one: 1-11\ncomp.two: 1-0\n", {}},
      // Its status is the postconnect command's own business.
      {"postconnect fails", 4, {}, "postconnect exit 3\n", nullptr, {}, 0,
       "pelliton: postconnect command terminated abnormally\n", "comp.one: 1-12\ncomp.two: 1-3\n",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NewCase(c.serverExtra);
    if (c.content != nullptr) c.content(server);
    for (const auto& [command, raw] : c.replies) server.SetReply(command, raw);

    RunResult first = Run(c.maxReq, c.options);
    EXPECT_EQ(c.status, first.status);
    std::string err = c.err;
    if (std::size_t at = err.find("$DIR/"); at != std::string::npos)
      err.replace(at, 5, dir->path() + "/");
    if (c.errExact) {
      EXPECT_EQ(err, first.err);
    } else {
      EXPECT_NE(std::string::npos, first.err.find(err)) << first.err;
    }
    if (c.newsrc) {
      EXPECT_EQ(*c.newsrc, ReadFile(file("newsrc")));
    }
    for (const auto& [article, count] : Counts(file("one"))) EXPECT_EQ(1, count) << article;
    CheckSecondRun(c.maxReq, c.never);
    if (HasFailure()) break;
  }
}

// Memory runs out while the body of article 6 (24 MB) is collected: its
// buffer cannot grow past 16 MB.  The run stops as after a failed
// delivery: article 6 holds the newsgroup, the newsrc is saved, the
// status is 1, and the next run delivers it.  (It once ended at once with
// "realloc() failed", nothing saved, and every article delivered again.)
TEST_F(MisbehavingServerTest, MemoryRunningOutStopsTheRunAndSavesIt) {
  std::string big;
  while (big.size() < (24u << 20)) big += std::string(999, 'm') + "\n";
  for (int maxReq : {1, 4}) {
    SCOPED_TRACE("-n " + std::to_string(maxReq));
    NewCase();
    server.AddArticle("comp.one", 6, Header("comp.one", 6), big);
    std::vector<std::string> args = Args(maxReq);
    std::map<std::string, std::string> env;
#ifdef PELLITON_ASAN
    // AddressSanitizer's allocator does not heed a limit on the address
    // space; it refuses larger allocations itself.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") +
                          ":allocator_may_return_null=1:max_allocation_size_mb=16";
#else
    // What the program maps while it waits for the greeting, and 16 MB
    // more: a body buffer of 32 MB does not fit.
    server.SetGreeting("");
    long mapped = 0;
    {
      const int connections = server.ConnectionCount();
      testutil::Child waiting(args);
      for (int i = 0; i < 500 && mapped == 0; ++i) {
        std::this_thread::sleep_for(10ms);
        if (server.ConnectionCount() == connections) continue;
        const std::string status = ReadFile("/proc/" + std::to_string(waiting.pid()) + "/status");
        const std::size_t at = status.find("VmSize:");
        if (at != std::string::npos) mapped = std::stol(status.substr(at + 7));
      }
      waiting.Signal(SIGKILL);
      waiting.Finish();
    }
    ASSERT_GT(mapped, 0);
    EXPECT_TRUE(server.WaitForIdle(5000ms));
    server.SetGreeting("200 testserver ready (posting ok)\r\n");
    args.insert(args.begin(), {"/bin/sh", "-c",
                               "ulimit -v " + std::to_string(mapped + (16 << 10)) + " && exec \"$@\"",
                               "sh"});
#endif
    RunResult first = testutil::Child(args, env).Finish();
    EXPECT_TRUE(server.WaitForIdle(5000ms));
#ifdef PELLITON_ASAN
    // Its allocator says so when it refuses.
    const std::regex refused("==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes\n");
    first.err = std::regex_replace(first.err, refused, "");
#endif
    EXPECT_EQ(1, first.status);
    EXPECT_EQ("pelliton: realloc() failed -- out of memory, the run is stopping\n", first.err);
    EXPECT_EQ("comp.one: 1-5\ncomp.two: 1-0\n", ReadFile(file("newsrc")));
    for (const auto& [article, count] : Counts(file("one"))) EXPECT_EQ(1, count) << article;
    CheckSecondRun(maxReq, {});
    if (HasFailure()) break;
  }
}

TEST_F(MisbehavingServerTest, NulBytesReachTheMailboxAndEndNothing) {
  NewCase();
  using namespace std::string_literals;
  const std::string header = Header("comp.one", 6) + "\nX-Nul: a\0b"s;
  server.AddArticle("comp.one", 6, header, "\0\n.\0 not the end\nlast"s);
  WriteFile(file("filters"), "comp.one:\n* ^X-Nul: a\n" + file("one") + "\n");

  RunResult r = Run(4);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_EQ((std::vector<std::string>{header + "\n\n\0\n.\0 not the end\nlast\n\n"s}),
            Messages(file("one")));
}

// The first signal leaves the answers outstanding to be read; a server
// that stalls, or trickles a byte now and then so that its timeout never
// runs out, would keep the run waiting for ever.  The second signal ends
// the wait at once, and the newsrc is saved.
TEST_F(MisbehavingServerTest, SecondSignalEndsADrainThatTheServerHoldsUp) {
  const struct {
    const char* name;
    bool trickle;
  } cases[] = {{"silent server", false}, {"trickling server", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NewCase();
    if (c.trickle) {
      // 200 µs a byte: the first articles pass in a moment, body 6 never.
      server.SetChunkSize(1);
      std::string huge = "222 6 <6.comp.one@test>\r\n";
      for (int i = 0; i < 40000; ++i) huge += "line " + std::to_string(i) + " of a body without end\r\n";
      server.SetReply("BODY 6", huge + ".\r\n");
    } else {
      // GROUP and the first 13 requests are answered; then nothing is
      // read or answered any more.
      server.StallAfterCommands(14);
    }
    server.ClearLog();
    testutil::Child child(Args(4));
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
      for (int i = 0; i < 300 && !finished; ++i) std::this_thread::sleep_for(100ms);
      if (!finished) child.Signal(SIGKILL);
    });
    // Wait until requests are outstanding that will never be answered.
    for (int i = 0; i < 1000; ++i) {
      std::vector<std::string> log = server.Commands();
      if (c.trickle ? std::find(log.begin(), log.end(), "BODY 6") != log.end() : log.size() >= 14)
        break;
      std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(200ms);
    child.Signal(SIGINT);
    std::this_thread::sleep_for(500ms);
    const bool waited = Running(child.pid());
    child.Signal(SIGINT);
    RunResult first = child.Finish();
    finished = true;
    watchdog.join();
    EXPECT_TRUE(server.WaitForIdle(5000ms));

    EXPECT_TRUE(waited) << "the first signal did not leave the drain waiting";
    EXPECT_EQ(0, first.status);
    EXPECT_EQ("pelliton: signal caught... exiting\npelliton: signal caught... exiting\n", first.err);
    // Everything before the resume point is there, nothing after it.
    std::string newsrc = ReadFile(file("newsrc"));
    ASSERT_EQ(0u, newsrc.rfind("comp.one: 1-", 0)) << newsrc;
    const int resume = std::stoi(newsrc.substr(12)) + 1;
    EXPECT_LE(resume, 6);
    std::map<int, int> before;
    for (int n = 1; n < resume; ++n) before[n] = 1;
    EXPECT_EQ(before, Counts(file("one")));
    CheckSecondRun(4, {});
  }
}

}  // namespace
