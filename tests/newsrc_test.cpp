#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "config_fixture.h"
#include "newsrc.h"
#include "test_util.h"

namespace pelliton {
namespace {

class NewsrcTest : public ConfigTest {
 protected:
  std::vector<std::pair<std::string, ArticleNumber>> Newsgroups() {
    std::vector<std::pair<std::string, ArticleNumber>> groups;
    for (NewsgroupInfo* ngInfo : Nodes<NewsgroupInfo>(newsgroupList))
      groups.emplace_back(ngInfo->name, ngInfo->nextArticle);
    return groups;
  }

  std::vector<std::string> DirectoryEntries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  static mode_t ModeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
  }
};

using Groups = std::vector<std::pair<std::string, ArticleNumber>>;

TEST_F(NewsrcTest, LinesAreReadLikeTheScanfFormat) {
  static const struct {
    const char* line;
    const char* name;  // null: the line is ignored
    ArticleNumber nextArticle;
  } cases[] = {
      {"comp.lang.c: 1-250\n", "comp.lang.c", 251},
      {"comp.lang.c : 1 - 250\n", "comp.lang.c", 251},
      {"  comp.lang.c:1-250\n", "comp.lang.c", 251},
      {"comp.lang.c: 1-250 trailing text\n", "comp.lang.c", 251},
      {"comp.lang.c: 200-250\n", "comp.lang.c", 251},
      {"comp.lang.c: 1-250,300-310\n", "comp.lang.c", 251},
      {"comp.lang.c: 1-250\r\n", "comp.lang.c", 251},
      {"comp.lang.c:\t+1 -\t+250", "comp.lang.c", 251},
      {"a b: 1-5\n", "a", 6},
      {"a: 1-0\n", "a", 1},
      {"a: 1--5\n", "a", -4},
      {"a: -3-7\n", "a", 8},
      {"a: 1-2147483647\n", "a", 2147483648LL},
      {"a: 1-3000000000\n", "a", 3000000001LL},
      {"a: 1-4294967306\n", "a", 4294967307LL},
      {"a: 1-9223372036854775806\n", "a", LLONG_MAX},
      // Beyond 2^63 - 1 the number is held at the end of the range; the
      // highest has no successor and is held there too.
      {"a: 1-9223372036854775807\n", "a", LLONG_MAX},
      {"a: 1-99999999999999999999\n", "a", LLONG_MAX},
      {"a: 1--9223372036854775808\n", "a", LLONG_MIN + 1},
      {"a: 1--99999999999999999999\n", "a", LLONG_MIN + 1},
      {"comp.lang.c! 1-250\n", nullptr, 0},
      {"comp.lang.c: 250\n", nullptr, 0},
      {"comp.lang.c:\n", nullptr, 0},
      {"comp.lang.c: x-250\n", nullptr, 0},
      {"comp.lang.c: 1-\n", nullptr, 0},
      {"comp.lang.c: 1 to 250\n", nullptr, 0},
      {":1-250\n", nullptr, 0},
      {"# a: 1-5\n", nullptr, 0},
      {"   \n", nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    ReleaseConfigModel();
    EXPECT_EQ("", StderrOf([&] { EXPECT_EQ(1, ReadNewsrc(testutil::TextStream(c.line).get())); }));
    if (c.name == nullptr) {
      EXPECT_TRUE(newsgroupList.IsEmpty());
    } else {
      EXPECT_EQ((Groups{{c.name, c.nextArticle}}), Newsgroups());
    }
  }
}

TEST_F(NewsrcTest, KnownNewsgroupsKeepTheirPlaceAndNewOnesFollow) {
  AddNewsgroup("from.config.b");
  AddNewsgroup("from.config.a");
  testutil::TextStream text(
      "# edited by hand\n"
      "only.newsrc: 1-9\n"
      "from.config.a: 1-20\n"
      "\n"
      "Only.Newsrc: 1-3\n"
      "only.newsrc: 1-12\n" +
      std::string(1100, 'x') + ":1-4\n");
  EXPECT_EQ(1, ReadNewsrc(text.get()));
  // The tail of the overlong line arrives as a line of its own.
  EXPECT_EQ((Groups{{"from.config.b", 0},
                    {"from.config.a", 21},
                    {"only.newsrc", 13},
                    {"Only.Newsrc", 4},
                    {std::string(77, 'x'), 5}}),
            Newsgroups());
}

TEST_F(NewsrcTest, MissingFileIsSilentAndChangesNothing) {
  AddNewsgroup("g");
  EXPECT_EQ("", StderrOf([] { EXPECT_EQ(0, ReadNewsrc("no-such-newsrc")); }));
  EXPECT_EQ("", StderrOf([] { EXPECT_EQ(0, ReadNewsrc(std::string(1100, 'n').c_str())); }));
  EXPECT_EQ((Groups{{"g", 0}}), Newsgroups());
}

// Read as missing, such a file would have the run start every newsgroup
// afresh and deliver again all that it records.
TEST_F(NewsrcTest, FileThatIsThereButCannotBeReadIsReported) {
  AddNewsgroup("g")->nextArticle = 7;
  mkdir(home.file("dir").c_str(), 0700);
  HomeFile("plain", "g: 1-5\n");
  static const struct {
    const char* path;
    const char* reason;
  } cases[] = {
      {"dir", "Is a directory"},
      {"plain/newsrc", "Not a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    int result = 0;
    EXPECT_EQ(std::string("pelliton: unable to read newsrc file '") + c.path + "' -- " + c.reason +
                  "\n",
              StderrOf([&] { result = ReadNewsrc(c.path); }));
    EXPECT_EQ(-1, result);
  }
  EXPECT_EQ((Groups{{"g", 7}}), Newsgroups());
}

TEST_F(NewsrcTest, WritesOneLinePerNewsgroupNeverClaimingUnseenArticles) {
  static const struct {
    const char* name;
    ArticleNumber nextArticle;
  } groups[] = {
      {"zero", 0},        {"one", 1},          {"two", 2},
      {"three", 3},       {"clang", 251},      {"negative", -4},
      {"lowest", LLONG_MIN}, {"big", 3000000001LL}, {"highest", LLONG_MAX},
  };
  for (const auto& g : groups) AddNewsgroup(g.name)->nextArticle = g.nextArticle;
  AddWildNewsgroup("comp.*");
  EXPECT_EQ("", StderrOf([] { EXPECT_EQ(1, WriteNewsrc("newsrc")); }));
  EXPECT_EQ(
      "zero: 1-0\none: 1-0\ntwo: 1-1\nthree: 1-2\nclang: 1-250\nnegative: 1-0\nlowest: 1-0\n"
      "big: 1-3000000000\nhighest: 1-9223372036854775806\n",
      testutil::ReadFile(home.file("newsrc")));
  EXPECT_EQ((std::vector<std::string>{"newsrc"}), DirectoryEntries(home.path()));
}

// In the middle of a newsgroup its nextArticle runs ahead of what was
// dealt with; a checkpoint says where the next run starts instead.
TEST_F(NewsrcTest, ACheckpointStandsForItsNewsgroupAlone) {
  AddNewsgroup("before")->nextArticle = 8;
  NewsgroupInfo* busy = AddNewsgroup("busy");
  busy->nextArticle = 40;
  AddNewsgroup("after")->nextArticle = 3;
  const Checkpoint checkpoint{busy, 21};
  ASSERT_EQ(1, WriteNewsrc("newsrc", &checkpoint));
  EXPECT_EQ("before: 1-7\nbusy: 1-20\nafter: 1-2\n", testutil::ReadFile(home.file("newsrc")));
  EXPECT_EQ(40, busy->nextArticle);
}

TEST_F(NewsrcTest, RoundTripDropsCommentsAndExtraRanges) {
  AddNewsgroup("comp.lang.c");
  const std::string path = HomeFile(
      "newsrc", "# mine\ncomp.lang.c: 200-250,300-310\n\nmisc.test : 1 - 0\nalt.x: 1-7\n");
  ASSERT_EQ(1, ReadNewsrc("newsrc"));
  ASSERT_EQ(1, WriteNewsrc("newsrc"));
  EXPECT_EQ("comp.lang.c: 1-250\nmisc.test: 1-0\nalt.x: 1-7\n", testutil::ReadFile(path));
  // What was written reads back to the same numbers.
  const Groups before = Newsgroups();
  ReleaseConfigModel();
  ASSERT_EQ(1, ReadNewsrc("newsrc"));
  EXPECT_EQ(before, Newsgroups());
}

TEST_F(NewsrcTest, EmptyModelWritesAnEmptyFile) {
  const std::string path = HomeFile("newsrc", "old: 1-5\n");
  EXPECT_EQ(1, WriteNewsrc(path.c_str()));
  EXPECT_TRUE(testutil::FileExists(path));
  EXPECT_EQ("", testutil::ReadFile(path));
}

TEST_F(NewsrcTest, ReplacementKeepsTheOldPermissionBits) {
  const std::string path = HomeFile("newsrc", "old: 1-5\n");
  for (mode_t mode : {0600, 0640, 0200, 0664}) {
    chmod(path.c_str(), mode);
    AddNewsgroup("g")->nextArticle = 10;
    ASSERT_EQ(1, WriteNewsrc(path.c_str()));
    EXPECT_EQ(mode, ModeOf(path));
    ReleaseConfigModel();
  }
}

// A newsrc without any write permission bit was made read-only on purpose;
// the rename through its directory must not replace it, not even for root.
TEST_F(NewsrcTest, ReadOnlyFileIsNotReplaced) {
  mkdir(home.file("elsewhere").c_str(), 0700);
  const std::string old = "old: 1-5\n";
  const std::string real = HomeFile("elsewhere/newsrc", old);
  ASSERT_EQ(0, symlink("elsewhere/newsrc", home.file("link").c_str()));
  static const struct {
    const char* path;  // as the server file names it
    mode_t mode;
  } cases[] = {
      {"elsewhere/newsrc", 0444},
      {"elsewhere/newsrc", 0400},
      {"elsewhere/newsrc", 0555},
      {"link", 0444},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.mode));
    ASSERT_EQ(0, chmod(real.c_str(), c.mode));
    AddNewsgroup("g")->nextArticle = 10;
    int result = -1;
    const std::string err = StderrOf([&] { result = WriteNewsrc(c.path); });
    EXPECT_EQ(0, result);
    EXPECT_EQ(std::string("pelliton: unable to write newsrc file '") + c.path + "' -- " +
                  std::strerror(EACCES) + "\n",
              err);
    EXPECT_EQ(old, testutil::ReadFile(real));
    EXPECT_EQ(c.mode, ModeOf(real));
    EXPECT_EQ((std::vector<std::string>{"newsrc"}), DirectoryEntries(home.file("elsewhere")));
    ReleaseConfigModel();
  }
}

// A file that the effective user may not write, in a directory where that
// user may make files, is not replaced either.
TEST_F(NewsrcTest, FileThatIsNotOursToWriteIsNotReplaced) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(0, chmod(home.path().c_str(), 0777));
  const std::string path = HomeFile("newsrc", "old: 1-5\n");
  ASSERT_EQ(0, chmod(path.c_str(), 0644));
  AddNewsgroup("g")->nextArticle = 10;
  // The effective ids change in a child, which reports what it got back.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setegid(65534) != 0 || seteuid(65534) != 0) _exit(3);
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) dup2(devNull, STDERR_FILENO);
    const int result = WriteNewsrc(path.c_str());
    _exit(result == 0 && errno == EACCES ? 0 : 1 + result);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << "1: refused for another reason, 2: replaced";
  EXPECT_EQ("old: 1-5\n", testutil::ReadFile(path));
  EXPECT_EQ((std::vector<std::string>{"newsrc"}), DirectoryEntries(home.path()));
}

TEST_F(NewsrcTest, PrivilegedRunLeavesTheFileWithItsOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
  const std::string path = HomeFile("newsrc", "old: 1-5\n");
  ASSERT_EQ(0, chown(path.c_str(), 1234, 5678));
  chmod(path.c_str(), 0600);
  AddNewsgroup("g");
  ASSERT_EQ(1, WriteNewsrc(path.c_str()));
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(1234u, st.st_uid);
  EXPECT_EQ(5678u, st.st_gid);
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_EQ("g: 1-0\n", testutil::ReadFile(path));
}

TEST_F(NewsrcTest, NewFileGetsTheModeOfAPlainCreate) {
  AddNewsgroup("g");
  const mode_t old = umask(027);
  const int result = WriteNewsrc("fresh");
  umask(old);
  ASSERT_EQ(1, result);
  EXPECT_EQ(0640u, ModeOf(home.file("fresh")));
  EXPECT_EQ("g: 1-0\n", testutil::ReadFile(home.file("fresh")));
}

TEST_F(NewsrcTest, SymbolicLinkIsKeptAndTheFileItNamesReplaced) {
  mkdir(home.file("elsewhere").c_str(), 0700);
  const std::string real = HomeFile("elsewhere/newsrc", "g: 1-1\n");
  chmod(real.c_str(), 0640);
  ASSERT_EQ(0, symlink("elsewhere/newsrc", home.file("link1").c_str()));
  ASSERT_EQ(0, symlink(home.file("link1").c_str(), home.file("newsrc").c_str()));
  AddNewsgroup("g")->nextArticle = 42;
  ASSERT_EQ(1, WriteNewsrc("newsrc"));
  struct stat st;
  ASSERT_EQ(0, lstat(home.file("newsrc").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(0, lstat(home.file("link1").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ("g: 1-41\n", testutil::ReadFile(real));
  EXPECT_EQ(0640u, ModeOf(real));
  EXPECT_EQ((std::vector<std::string>{"newsrc"}), DirectoryEntries(home.file("elsewhere")));
}

TEST_F(NewsrcTest, LinkToAFileNotYetMadeCreatesItWhereTheLinkPoints) {
  mkdir(home.file("elsewhere").c_str(), 0700);
  ASSERT_EQ(0, symlink("elsewhere/newsrc", home.file("newsrc").c_str()));
  AddNewsgroup("g")->nextArticle = 3;
  ASSERT_EQ(1, WriteNewsrc("newsrc"));
  EXPECT_EQ("g: 1-2\n", testutil::ReadFile(home.file("elsewhere/newsrc")));
  struct stat st;
  ASSERT_EQ(0, lstat(home.file("newsrc").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(NewsrcTest, LinkLoopFailsWithoutTouchingAnything) {
  ASSERT_EQ(0, symlink("b", home.file("a").c_str()));
  ASSERT_EQ(0, symlink("a", home.file("b").c_str()));
  AddNewsgroup("g");
  int result = -1;
  const std::string err = StderrOf([&] { result = WriteNewsrc("a"); });
  EXPECT_EQ(0, result);
  EXPECT_EQ("pelliton: unable to write newsrc file 'a' -- " + std::string(strerror(ELOOP)) + "\n",
            err);
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), DirectoryEntries(home.path()));
}

TEST_F(NewsrcTest, UnwritablePlacesFailWithAMessageAndLeaveNoTrace) {
  AddNewsgroup("g")->nextArticle = 5;
  static const struct {
    const char* path;
    const char* reason;
  } cases[] = {
      {"missing/newsrc", "No such file or directory"},
      {"/nonexistent-pelliton-dir/newsrc", "No such file or directory"},
  };
  for (const auto& c : cases) {
    int result = -1;
    const std::string err = StderrOf([&] { result = WriteNewsrc(c.path); });
    EXPECT_EQ(0, result) << c.path;
    EXPECT_EQ(std::string("pelliton: unable to write newsrc file '") + c.path + "' -- " +
                  c.reason + "\n",
              err);
  }
  const std::string tooLong(1100, 'w');
  int result = -1;
  EXPECT_EQ("pelliton: unable to write newsrc file '" + tooLong + "' -- file name too long\n",
            StderrOf([&] { result = WriteNewsrc(tooLong.c_str()); }));
  EXPECT_EQ(0, result);
  EXPECT_TRUE(DirectoryEntries(home.path()).empty());
}

TEST_F(NewsrcTest, FailedRenameLeavesTheTargetAndRemovesTheTemporaryFile) {
  // A non-empty directory cannot be replaced by a file.
  mkdir(home.file("newsrc").c_str(), 0700);
  HomeFile("newsrc/keep", "precious");
  AddNewsgroup("g")->nextArticle = 5;
  int result = -1;
  const std::string err = StderrOf([&] { result = WriteNewsrc("newsrc"); });
  EXPECT_EQ(0, result);
  EXPECT_EQ(0u, err.find("pelliton: unable to write newsrc file 'newsrc' -- "));
  EXPECT_EQ("precious", testutil::ReadFile(home.file("newsrc/keep")));
  EXPECT_EQ((std::vector<std::string>{"newsrc"}), DirectoryEntries(home.path()));
}

// Holds the process's file size limit low, so that writes fail as on a
// full disk, until it goes.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit low = saved_;
    low.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &low);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit saved_{};
  void (*oldHandler_)(int);
};

TEST_F(NewsrcTest, FailedWriteLeavesTheOldFileExactlyAsItWas) {
  const std::string old = "comp.lang.c: 1-250\nalt.test: 1-7\n";
  const std::string path = HomeFile("newsrc", old);
  chmod(path.c_str(), 0640);
  for (int i = 0; i < 500; ++i) AddNewsgroup(("group." + std::to_string(i)).c_str());
  int result = -1;
  std::string err;
  {
    // Room for the captured message, none for the new contents.
    FileSizeLimit limit(512);
    err = StderrOf([&] { result = WriteNewsrc("newsrc"); });
  }
  EXPECT_EQ(0, result);
  EXPECT_EQ("pelliton: unable to write newsrc file 'newsrc' -- " + std::string(strerror(EFBIG)) +
                "\n",
            err);
  EXPECT_EQ(old, testutil::ReadFile(path));
  EXPECT_EQ(0640u, ModeOf(path));
  EXPECT_EQ((std::vector<std::string>{"newsrc"}), DirectoryEntries(home.path()));
}

}  // namespace
}  // namespace pelliton
