// Maildir targets end to end: the real binary against the scripted news
// server, the Maildir read back by an independent reader (Python's mailbox
// module, through tests/maildir_read.py).
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "newsserver.h"
#include "test_util.h"

namespace {

using namespace std::chrono_literals;
using ::testing::IsEmpty;
using testserver::NewsServer;
using testutil::ReadFile;
using testutil::RunResult;
using testutil::WriteFile;
using testutil::ListDir;
using testutil::Tmpfs;

struct Article {
  std::string header;
  std::string body;  // "" is no lines
  // The body is one empty line, which the server's own articles cannot
  // express: it is sent by a canned answer.
  bool oneEmptyLine = false;
};

// The Message-ID stands first, so that the reader finds it whatever odd
// lines follow.
std::string Header(int n, const std::string& extra = "") {
  return "Message-ID: <" + std::to_string(n) + ".comp.test@test>\nFrom: carol@example.org\n"
         "Newsgroups: comp.test\nSubject: article " + std::to_string(n) + extra;
}

// What a Maildir file holds for an article as the server has it: each
// header line and each body line ended by "\n", one empty line between.
std::string FileFor(const Article& a) {
  const std::string body = a.oneEmptyLine ? "\n" : a.body.empty() ? "" : a.body + "\n";
  return (a.header.empty() ? "" : a.header + "\n") + "\n" + body;
}

// Runs the Python reader on a Maildir; the messages land in `out`, named
// by Message-ID.  Skips the test where python3 is missing.
#define READ_MAILDIR(maildir, out, count)                                                   \
  do {                                                                                      \
    testutil::Child reader({"/bin/sh", "-c",                                                \
                            "command -v python3 >/dev/null 2>&1 || exit 77; "               \
                            "exec python3 \"$0\" \"$1\" \"$2\"",                            \
                            std::string(PELLITON_SOURCE_DIR) + "/tests/maildir_read.py",    \
                            (maildir), (out)});                                             \
    RunResult read = reader.Finish();                                                       \
    if (read.status == 77) GTEST_SKIP() << "python3 is not installed";                      \
    ASSERT_EQ(0, read.status) << read.err;                                                  \
    ASSERT_EQ(std::to_string(count) + "\n", read.out);                                      \
  } while (0)

class MaildirEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = server_.Start();
    ASSERT_GT(port_, 0);
    WriteServers("");
  }

  void AddArticles(const std::vector<Article>& articles) {
    for (std::size_t i = 0; i < articles.size(); ++i)
      server_.AddArticle("comp.test", static_cast<int>(i + 1), articles[i].header, articles[i].body);
  }

  void WriteServers(const std::string& extra) {
    WriteFile(dir_.file("servers"), "[news]\nhost 127.0.0.1\nport " + std::to_string(port_) +
                                        "\nconfig " + dir_.file("filters") + "\nnewsrc " +
                                        dir_.file("newsrc") + "\n" + extra);
    chmod(dir_.file("servers").c_str(), 0600);
  }

  RunResult Run(const std::vector<std::string>& options = {}) {
    server_.ClearLog();
    std::vector<std::string> args = {"-f", dir_.file("servers")};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("news");
    RunResult r = testutil::RunPelliton(args);
    EXPECT_TRUE(server_.WaitForIdle(5000ms));
    return r;
  }

  std::vector<std::string> Bodies() const {
    std::vector<std::string> bodies;
    for (const auto& c : server_.Commands())
      if (c.rfind("BODY ", 0) == 0) bodies.push_back(c);
    return bodies;
  }

  testutil::TempDir dir_;
  NewsServer server_;
  int port_ = 0;
};

// Every way of reading gives the same files: HEAD and BODY, the overview
// with ARTICLE for each match, ARTICLE alone.  A body of no lines and one
// of one empty line stay apart.
TEST_F(MaildirEndToEnd, AwkwardArticlesArriveByteForByte) {
  const std::string longLine(70000, 'L');
  const std::vector<Article> articles = {
      {Header(1), "From here\n>From quoted\nFrom: header-like\nfrom lower\nFrom"},
      {Header(2), ".\n..\n.hidden\n...three\n.From dotted"},
      {Header(3, "\nX-Long: " + std::string(9000, 'h')), "short\n" + longLine + "\n" + longLine + "x"},
      {Header(4), "no final line end"},
      {Header(5), "last line empty\n"},
      {Header(6), "", true},
      {Header(7, "\nX-Dots: ..kept\nFrom an odd header line"), "\n\nbetween empty lines\n\n"},
      {Header(8), ""},
  };
  AddArticles(articles);
  std::string header6;
  for (char ch : Header(6)) header6 += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  server_.SetReply("BODY 6", "222 6 <6.comp.test@test>\r\n\r\n.\r\n");
  server_.SetReply("ARTICLE 6", "220 6 <6.comp.test@test>\r\n" + header6 + "\r\n\r\n\r\n.\r\n");
  ASSERT_EQ(0, mkdir(dir_.file("Mail").c_str(), 0755));

  const struct {
    const char* way;
    const char* servers;
    const char* condition;
  } ways[] = {
      {"head", "", "* ^Subject: article\n"},
      {"overview", "overview yes\n", "* ^Subject: article\n"},
      {"article", "overview yes\n", ""},
  };
  for (const auto& w : ways) {
    SCOPED_TRACE(w.way);
    WriteServers(w.servers);
    const std::string maildir = dir_.file(std::string("Mail/") + w.way + "/");
    WriteFile(dir_.file("filters"), std::string("comp.test:\n") + w.condition + maildir + "\n");
    WriteFile(dir_.file("newsrc"), "");

    RunResult r = Run({"-n", "3"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_EQ("comp.test: 1-8\n", ReadFile(dir_.file("newsrc")));
    EXPECT_THAT(ListDir(maildir + "tmp"), IsEmpty());
    EXPECT_THAT(ListDir(maildir + "cur"), IsEmpty());

    const std::string out = dir_.file(std::string("read-") + w.way);
    ASSERT_EQ(0, mkdir(out.c_str(), 0700));
    READ_MAILDIR(maildir, out, articles.size());
    for (std::size_t i = 0; i < articles.size(); ++i) {
      SCOPED_TRACE("article " + std::to_string(i + 1));
      EXPECT_EQ(FileFor(articles[i]), ReadFile(out + "/" + std::to_string(i + 1) + ".comp.test@test"));
    }

    // Nothing new: nothing fetched, nothing delivered twice.
    r = Run();
    EXPECT_EQ(0, r.status);
    EXPECT_THAT(Bodies(), IsEmpty());
    EXPECT_EQ(articles.size(), ListDir(maildir + "new").size());
  }
}

// Root is not stopped by permission bits, so root gets a read-only file
// system under the Maildir instead.
TEST_F(MaildirEndToEnd, AnUnwritableMaildirHoldsTheNewsrcBack) {
  const std::vector<Article> articles = {{Header(1), "one"}, {Header(2), "two"}};
  AddArticles(articles);
  const std::string maildir = dir_.file("md/");
  const std::string mountPoint = dir_.file("md");
  std::unique_ptr<Tmpfs> fs;
  if (geteuid() == 0) {
    fs = std::make_unique<Tmpfs>(mountPoint, "size=1m");
    if (!fs->mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << fs->why();
  } else {
    ASSERT_EQ(0, mkdir(mountPoint.c_str(), 0700));
  }
  const bool mounted = fs != nullptr;
  auto setWritable = [&](bool on) {
    if (mounted) return fs->SetReadOnly(!on);
    return chmod((maildir + "tmp").c_str(), on ? 0700 : 0500) == 0;
  };
  for (const char* sub : {"tmp", "new", "cur"}) ASSERT_EQ(0, mkdir((maildir + sub).c_str(), 0700));
  ASSERT_TRUE(setWritable(false)) << std::strerror(errno);
  WriteFile(dir_.file("filters"), "comp.test:\n" + maildir + "\n");
  WriteFile(dir_.file("newsrc"), "comp.test: 1-0\n");

  RunResult r = Run();
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("pelliton: unable to deliver to Maildir '" + maildir + "' -- " +
                std::strerror(mounted ? EROFS : EACCES) + "\n",
            r.err);
  EXPECT_EQ("comp.test: 1-0\n", ReadFile(dir_.file("newsrc")));
  EXPECT_THAT(ListDir(maildir + "tmp"), IsEmpty());
  EXPECT_THAT(ListDir(maildir + "new"), IsEmpty());

  // Writable again: the next run fetches both articles.
  ASSERT_TRUE(setWritable(true)) << std::strerror(errno);
  r = Run();
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_EQ((std::vector<std::string>{"BODY 1", "BODY 2"}), Bodies());
  EXPECT_EQ("comp.test: 1-2\n", ReadFile(dir_.file("newsrc")));
  const std::string out = dir_.file("read");
  ASSERT_EQ(0, mkdir(out.c_str(), 0700));
  READ_MAILDIR(maildir, out, 2);
  EXPECT_EQ(FileFor(articles[0]), ReadFile(out + "/1.comp.test@test"));
  EXPECT_EQ(FileFor(articles[1]), ReadFile(out + "/2.comp.test@test"));
}

}  // namespace
