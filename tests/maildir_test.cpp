// Delivery into Maildir targets: the bytes of each message file, the
// directories made, unique names, and failures that leave nothing behind.
#include "maildir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "config.h"
#include "delivery.h"
#include "test_util.h"
#include "util.h"

namespace pelliton {
namespace {

using ::testing::IsEmpty;
using ::testing::SizeIs;
using testutil::ListDir;
using testutil::Tmpfs;

struct Outcome {
  int result;
  std::string err;
};

Outcome Deliver(const std::string& target, const std::string& header, const std::string& body,
                bool bodyHasLines = true) {
  ActionInfo actInfo;
  actInfo.type = ACTION_TYPE_FILE;
  actInfo.target = target;
  testing::internal::CaptureStderr();
  int result = ProcessAction(&actInfo, header.data(), static_cast<int>(header.size()), body.data(),
                             static_cast<int>(body.size()), bodyHasLines);
  return {result, testing::internal::GetCapturedStderr()};
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(0, stat(path.c_str(), &st)) << path;
  return st.st_mode & 07777;
}

std::string ErrorText(int err) { return std::strerror(err); }

class MaildirTest : public ::testing::Test {
 protected:
  void SetUp() override { keepRunning = 1; }
  void TearDown() override { keepRunning = 0; }

  // The one message file in new/, after checking that tmp/ is empty.
  std::string OnlyMessage(const std::string& maildir) {
    EXPECT_THAT(ListDir(maildir + "tmp"), IsEmpty());
    std::vector<std::string> names = ListDir(maildir + "new");
    EXPECT_THAT(names, SizeIs(1));
    return names.empty() ? "" : testutil::ReadFile(maildir + "new/" + names[0]);
  }

  testutil::TempDir dir_;
};

TEST_F(MaildirTest, OnlyATargetEndingInASlashIsAMaildir) {
  EXPECT_TRUE(IsMaildirTarget("Mail/news/"));
  EXPECT_TRUE(IsMaildirTarget("/"));
  EXPECT_FALSE(IsMaildirTarget("Mail/news"));
  EXPECT_FALSE(IsMaildirTarget("Mail/news/ "));
  EXPECT_FALSE(IsMaildirTarget(""));

  // A command whose text ends in "/" is still a command.
  const std::string out = dir_.file("out");
  ActionInfo pipe;
  pipe.type = ACTION_TYPE_PIPE;
  pipe.target = "cat > '" + out + "' #/";
  testing::internal::CaptureStderr();
  EXPECT_EQ(1, ProcessAction(&pipe, "Subject: p", 10, "b", 1));
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  std::string piped = testutil::ReadFile(out);
  EXPECT_EQ(0u, piped.find("From pelliton "));
  EXPECT_NE(std::string::npos, piped.find("\nSubject: p\n\nb\n\n"));
  EXPECT_THAT(ListDir(dir_.path()), ::testing::ElementsAre("out"));
}

// The file holds the text as the engine collected it: no separator line,
// no quoting, and every line ended by one "\n".
TEST_F(MaildirTest, MessageFileHoldsHeaderEmptyLineAndBody) {
  const std::string longLine(100000, 'L');
  const struct {
    const char* what;
    std::string header;
    std::string body;
    std::string file;
    bool bodyHasLines = true;
  } cases[] = {
      {"plain", "Subject: a\nFrom: b@example.org", "one\ntwo",
       "Subject: a\nFrom: b@example.org\n\none\ntwo\n"},
      {"From lines stay as they are", "Subject: x\nFrom here", "From me\n>From you\nFrom",
       "Subject: x\nFrom here\n\nFrom me\n>From you\nFrom\n"},
      {"dot lines", "Subject: d\n..two dots", ".\n..\n.x", "Subject: d\n..two dots\n\n.\n..\n.x\n"},
      {"a long line", "Subject: l", longLine + "\nend", "Subject: l\n\n" + longLine + "\nend\n"},
      // The body comes without its last line end: "" is one empty line,
      // which must not be lost, unless the body has no lines at all.
      {"body of one empty line", "Subject: e", "", "Subject: e\n\n\n"},
      {"body of no lines", "Subject: e", "", "Subject: e\n\n", false},
      {"last body line empty", "Subject: e", "x\n", "Subject: e\n\nx\n\n"},
      {"body of empty lines", "Subject: e", "\n\n", "Subject: e\n\n\n\n\n"},
      {"no header lines", "", "b", "\nb\n"},
      {"a NUL inside", "Subject: n", std::string("a\0b", 3), "Subject: n\n\n" + std::string("a\0b", 3) + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testutil::TempDir dir;
    const std::string maildir = dir.file("md/");
    Outcome outcome = Deliver(maildir, c.header, c.body, c.bodyHasLines);
    EXPECT_EQ(1, outcome.result);
    EXPECT_EQ("", outcome.err);
    EXPECT_EQ(c.file, OnlyMessage(maildir));
    EXPECT_THAT(ListDir(dir.path()), ::testing::ElementsAre("md"));
  }
}

TEST_F(MaildirTest, MakesMissingDirectoriesWithOwnerRightsOnly) {
  const std::string fresh = dir_.file("fresh/");
  // Made by hand, with only new/ in it and rights of its own.
  const std::string partial = dir_.file("partial/");
  ASSERT_EQ(0, mkdir(partial.c_str(), 0755));
  ASSERT_EQ(0, mkdir((partial + "new").c_str(), 0750));
  chmod(partial.c_str(), 0755);
  chmod((partial + "new").c_str(), 0750);

  // Even a umask that takes the owner's rights does not make them unusable.
  const mode_t oldMask = umask(0277);
  Outcome first = Deliver(fresh, "Subject: f", "fresh");
  Outcome second = Deliver(partial, "Subject: p", "partial");
  umask(oldMask);

  EXPECT_EQ(1, first.result);
  EXPECT_EQ("", first.err);
  EXPECT_EQ(1, second.result);
  EXPECT_EQ("", second.err);
  for (const char* sub : {"", "tmp", "new", "cur"}) EXPECT_EQ(0700u, ModeOf(fresh + sub)) << sub;
  EXPECT_EQ(0755u, ModeOf(partial));
  EXPECT_EQ(0750u, ModeOf(partial + "new"));
  EXPECT_EQ(0700u, ModeOf(partial + "tmp"));
  EXPECT_EQ(0700u, ModeOf(partial + "cur"));
  EXPECT_EQ("Subject: f\n\nfresh\n", OnlyMessage(fresh));
  EXPECT_EQ("Subject: p\n\npartial\n", OnlyMessage(partial));
  EXPECT_THAT(ListDir(fresh + "cur"), IsEmpty());
}

TEST_F(MaildirTest, ManyDeliveriesWithinOneSecondGetDistinctNames) {
  constexpr int kMessages = 500;
  const std::string maildir = dir_.file("burst/");
  for (int i = 0; i < kMessages; ++i) {
    Outcome outcome = Deliver(maildir, "Subject: " + std::to_string(i), "body");
    ASSERT_EQ(1, outcome.result) << outcome.err;
  }
  std::vector<std::string> names = ListDir(maildir + "new");
  EXPECT_EQ(static_cast<std::size_t>(kMessages), std::set<std::string>(names.begin(), names.end()).size());
  EXPECT_THAT(ListDir(maildir + "tmp"), IsEmpty());
  const std::regex form(R"(\d+\.M\d+P\d+Q\d+\.[^/:]+)");
  for (const std::string& name : names) EXPECT_TRUE(std::regex_match(name, form)) << name;
  std::set<std::string> subjects;
  for (const std::string& name : names) subjects.insert(testutil::ReadFile(maildir + "new/" + name));
  EXPECT_EQ(static_cast<std::size_t>(kMessages), subjects.size());
}

// In a host namespace of its own, a host name with the two characters that
// a Maildir name cannot hold as they are.
TEST_F(MaildirTest, HostNameCharactersAreEscapedInNames) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    const char host[] = "news/host:1";
    if (unshare(CLONE_NEWUTS) != 0 || sethostname(host, sizeof host - 1) != 0) _exit(77);
    std::string name = MaildirUniqueName();
    ssize_t written = write(fds[1], name.data(), name.size());
    _exit(written == static_cast<ssize_t>(name.size()) ? 0 : 1);
  }
  close(fds[1]);
  std::string name;
  char buf[256];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) name.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot set a host name here";
  EXPECT_TRUE(std::regex_match(name, std::regex(R"(\d+\.M\d+P\d+Q\d+\.news\\057host\\0721)")))
      << name;
}

TEST_F(MaildirTest, AMaildirThatCannotBeMadeIsReported) {
  testutil::WriteFile(dir_.file("file"), "plain");
  ASSERT_EQ(0, mkdir(dir_.file("broken").c_str(), 0700));
  testutil::WriteFile(dir_.file("broken/new"), "not a directory");
  const struct {
    std::string target;
    int err;
  } cases[] = {
      {dir_.file("no/such/parent/"), ENOENT},
      {dir_.file("file/"), ENOTDIR},
      {dir_.file("broken/"), ENOTDIR},
  };
  for (const auto& c : cases) {
    Outcome outcome = Deliver(c.target, "Subject: x", "y");
    EXPECT_EQ(0, outcome.result) << c.target;
    EXPECT_EQ("pelliton: unable to deliver to Maildir '" + c.target + "' -- " + ErrorText(c.err) + "\n",
              outcome.err);
  }
  EXPECT_FALSE(testutil::FileExists(dir_.file("no")));
  EXPECT_EQ("plain", testutil::ReadFile(dir_.file("file")));
  EXPECT_THAT(ListDir(dir_.file("broken/tmp")), IsEmpty());
}

constexpr const char* kRootNames[] = {"/", "//", "/../", "/root/"};

// The root directory, by any of its names, is refused before anything is
// made in it.  Tried in a child whose root is a directory of the test's
// own: should the refusal ever fail, the damage stays there, and the
// machine's root directory is never made a Maildir.
TEST_F(MaildirTest, TheRootDirectoryIsNoMaildir) {
  const std::string jail = dir_.file("jail");
  ASSERT_EQ(0, mkdir(jail.c_str(), 0755));
  ASSERT_EQ(0, symlink("/", (jail + "/root").c_str()));
  int report[2];
  ASSERT_EQ(0, pipe(report));
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(report[0]);
    // Without the right to change its root, a process may still have a
    // namespace of its own in which it has it.
    if (geteuid() != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) _exit(77);
    if (chroot(jail.c_str()) != 0 || chdir("/") != 0) _exit(77);
    // Everything the deliveries say goes to the parent; nothing else may.
    if (dup2(report[1], STDERR_FILENO) < 0) _exit(1);
    keepRunning = 1;
    for (const char* target : kRootNames) {
      ActionInfo actInfo;
      actInfo.type = ACTION_TYPE_FILE;
      actInfo.target = target;
      if (ProcessAction(&actInfo, "Subject: x", 10, "y", 1) != 0) std::fprintf(stderr, "delivered\n");
    }
    std::fflush(stderr);
    _exit(0);
  }
  close(report[1]);
  std::string said;
  char buf[4096];
  for (ssize_t n; (n = read(report[0], buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GT(n, 0) << std::strerror(errno);
    said.append(buf, static_cast<std::size_t>(n));
  }
  close(report[0]);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no way to give a child a root of its own";
  EXPECT_EQ(0, WEXITSTATUS(status));
  std::string expected;
  for (const char* target : kRootNames)
    expected += "pelliton: unable to deliver to Maildir '" + std::string(target) +
                "' -- the root directory cannot be a Maildir\n";
  EXPECT_EQ(expected, said);
  EXPECT_THAT(ListDir(jail), testing::UnorderedElementsAre("root"));
  unlink((jail + "/root").c_str());
}

// Permission bits do not stop root, so root gets a read-only file system
// instead; either way the Maildir cannot take the message.
TEST_F(MaildirTest, AnUnwritableMaildirLeavesNothingBehind) {
  const std::string mountPoint = dir_.file("ro");
  const std::string maildir = mountPoint + "/";
  std::unique_ptr<Tmpfs> fs;
  int expected = EACCES;
  if (geteuid() == 0) {
    fs = std::make_unique<Tmpfs>(mountPoint, "size=64k");
    if (!fs->mounted()) GTEST_SKIP() << "no file system to make read-only: " << fs->why();
    for (const char* sub : {"tmp", "new", "cur"}) ASSERT_EQ(0, mkdir((maildir + sub).c_str(), 0700));
    if (!fs->SetReadOnly(true)) GTEST_SKIP() << "cannot remount read-only: " << std::strerror(errno);
    expected = EROFS;
  } else {
    ASSERT_EQ(0, mkdir(mountPoint.c_str(), 0700));
    for (const char* sub : {"tmp", "new", "cur"}) ASSERT_EQ(0, mkdir((maildir + sub).c_str(), 0700));
    ASSERT_EQ(0, chmod((maildir + "tmp").c_str(), 0500));
  }

  Outcome outcome = Deliver(maildir, "Subject: x", "y");
  EXPECT_EQ(0, outcome.result);
  EXPECT_EQ("pelliton: unable to deliver to Maildir '" + maildir + "' -- " + ErrorText(expected) + "\n",
            outcome.err);
  EXPECT_THAT(ListDir(maildir + "tmp"), IsEmpty());
  EXPECT_THAT(ListDir(maildir + "new"), IsEmpty());

  // Writable again, the same Maildir takes the message.
  if (fs) {
    ASSERT_TRUE(fs->SetReadOnly(false));
  } else {
    ASSERT_EQ(0, chmod((maildir + "tmp").c_str(), 0700));
  }
  EXPECT_EQ(1, Deliver(maildir, "Subject: x", "y").result);
  EXPECT_EQ("Subject: x\n\ny\n", OnlyMessage(maildir));
}

// new/ on a read-only mount of its own: the message is written in tmp/ but
// cannot be given its name in new/, and is taken back.
TEST_F(MaildirTest, AMessageThatCannotEnterNewIsTakenBack) {
  const std::string maildir = dir_.file("md/");
  ASSERT_EQ(1, Deliver(maildir, "Subject: first", "in").result);
  std::vector<std::string> before = ListDir(maildir + "new");
  const std::string newDir = maildir + "new";
  bool bound = false;
  if (geteuid() == 0) {
    if (mount(newDir.c_str(), newDir.c_str(), nullptr, MS_BIND, nullptr) != 0)
      GTEST_SKIP() << "cannot bind-mount: " << std::strerror(errno);
    bound = true;
    if (mount(nullptr, newDir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      umount2(newDir.c_str(), MNT_DETACH);
      GTEST_SKIP() << "cannot make the bind mount read-only: " << std::strerror(errno);
    }
  } else {
    ASSERT_EQ(0, chmod(newDir.c_str(), 0500));
  }

  Outcome outcome = Deliver(maildir, "Subject: second", "out");
  if (bound) umount2(newDir.c_str(), MNT_DETACH);
  EXPECT_EQ(0, outcome.result);
  EXPECT_THAT(outcome.err, ::testing::StartsWith("pelliton: unable to deliver to Maildir '" + maildir + "' -- "));
  EXPECT_THAT(ListDir(maildir + "tmp"), IsEmpty());
  EXPECT_EQ(before, ListDir(newDir));
}

TEST_F(MaildirTest, AFullFileSystemLeavesNothingBehind) {
  const std::string mountPoint = dir_.file("small");
  Tmpfs fs(mountPoint, "size=64k");
  if (!fs.mounted()) GTEST_SKIP() << "no small file system to fill: " << fs.why();
  const std::string maildir = mountPoint + "/md/";

  Outcome outcome = Deliver(maildir, "Subject: big", std::string(256 * 1024, 'z'));
  EXPECT_EQ(0, outcome.result);
  EXPECT_EQ("pelliton: unable to deliver to Maildir '" + maildir + "' -- " + ErrorText(ENOSPC) + "\n",
            outcome.err);
  EXPECT_THAT(ListDir(maildir + "tmp"), IsEmpty());
  EXPECT_THAT(ListDir(maildir + "new"), IsEmpty());

  // The space is given back: a message that fits goes in.
  EXPECT_EQ(1, Deliver(maildir, "Subject: small", "fits").result);
  EXPECT_EQ("Subject: small\n\nfits\n", OnlyMessage(maildir));
}

// No lock and no size limit: both belong to mailbox files.
TEST_F(MaildirTest, TakesNoLockAndKnowsNoSizeLimit) {
  const std::string maildir = dir_.file("md/");
  ASSERT_EQ(1, Deliver(maildir, "Subject: 1", std::string(4096, 'a')).result);
  testutil::WriteFile(dir_.file("md/.lock"), "");
  testutil::WriteFile(dir_.file("md.lock"), "");
  ActionInfo actInfo;
  actInfo.type = ACTION_TYPE_FILE;
  actInfo.target = maildir;
  actInfo.sizeLimit = 1;
  // A mailbox delivery would give up at once on the lock file it found.
  keepRunning = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(1, ProcessAction(&actInfo, "Subject: 2", 10, "b", 1));
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_THAT(ListDir(maildir + "new"), SizeIs(2));
}

}  // namespace
}  // namespace pelliton
