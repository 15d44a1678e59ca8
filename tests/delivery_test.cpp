#include "delivery.h"
#include "dotlock.h"
#include "mbox.h"

#include <gmock/gmock.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mailbox.h"
#include "test_util.h"
#include "util.h"

namespace pelliton {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using testutil::ParseMailbox;
using testutil::IsSeparatorLine;
using testutil::Delivered;
using testutil::ListDir;
using testutil::Tmpfs;

std::unique_ptr<ActionInfo> MakeAction(int type, const std::string& target,
                                       unsigned long sizeLimit = 0) {
  auto actInfo = std::make_unique<ActionInfo>();
  actInfo->type = type;
  actInfo->target = target;
  actInfo->sizeLimit = sizeLimit;
  return actInfo;
}

struct Outcome {
  int result;
  std::string err;
};

Outcome Deliver(const ActionInfo& actInfo, const std::string& header, const std::string& body) {
  testing::internal::CaptureStderr();
  int result = ProcessAction(&actInfo, header.data(), static_cast<int>(header.size()),
                             body.data(), static_cast<int>(body.size()));
  return {result, testing::internal::GetCapturedStderr()};
}

void SetMtimeSecondsAgo(const std::string& path, long seconds) {
  timeval times[2];
  gettimeofday(&times[0], nullptr);
  times[0].tv_sec -= seconds;
  times[1] = times[0];
  ASSERT_EQ(0, utimes(path.c_str(), times)) << std::strerror(errno);
}

void NoOpHandler(int) {}

// Delivery relies on the run catching SIGPIPE: a command that stops reading
// must show up as a failed write, not end the process.
class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    struct sigaction action {};
    action.sa_handler = NoOpHandler;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(0, sigaction(SIGPIPE, &action, &oldPipeAction_));
    keepRunning = 1;
  }
  void TearDown() override {
    sigaction(SIGPIPE, &oldPipeAction_, nullptr);
    keepRunning = 0;
  }

  testutil::TempDir dir_;

 private:
  struct sigaction oldPipeAction_ {};
};

TEST_F(DeliveryTest, AppendsMessagesInMailboxLayout) {
  const std::string mbox = dir_.file("mbox");
  auto actInfo = MakeAction(ACTION_TYPE_FILE, mbox);
  // Nothing of the text is changed: leading dots, quoted From lines and
  // trailing blanks stay as they were handed over.
  const std::string header1 = "Subject: first\nFrom: a@example.org\n..dots stay";
  const std::string body1 = "line one\n>From quoted\n\nlast line  ";
  const std::string header2 = "Subject: second";
  const std::string body2 = "";

  Outcome first = Deliver(*actInfo, header1, body1);
  EXPECT_EQ(1, first.result);
  EXPECT_EQ("", first.err);
  Outcome second = Deliver(*actInfo, header2, body2);
  EXPECT_EQ(1, second.result);
  EXPECT_EQ("", second.err);

  std::string content = testutil::ReadFile(mbox);
  EXPECT_THAT(ParseMailbox(content),
              ElementsAre(Delivered(header1, body1), Delivered(header2, body2)));
  std::size_t firstLineEnd = content.find('\n');
  EXPECT_EQ(firstLineEnd + 1 + Delivered(header1, body1).size(),
            content.find("From pelliton ", 1));
  EXPECT_THAT(ListDir(dir_.path()), UnorderedElementsAre("mbox"));
}

TEST_F(DeliveryTest, DoesNothingWithoutTargetOrKnownType) {
  const std::string mbox = dir_.file("mbox");
  const struct {
    int type;
    std::string target;
  } cases[] = {
      {ACTION_TYPE_FILE, ""},
      {ACTION_TYPE_PIPE, ""},
      {ACTION_TYPE_UNSET, mbox},
      {ACTION_TYPE_UNSET, "cat > " + mbox},
      {7, mbox},
  };
  for (const auto& c : cases) {
    auto actInfo = MakeAction(c.type, c.target);
    Outcome outcome = Deliver(*actInfo, "Subject: x", "body");
    EXPECT_EQ(1, outcome.result) << "type " << c.type << " target '" << c.target << "'";
    EXPECT_EQ("", outcome.err);
  }
  EXPECT_THAT(ListDir(dir_.path()), IsEmpty());
}

TEST_F(DeliveryTest, SizeLimitIsTestedBeforeTheMessage) {
  // Ends in an empty line, so that nothing has to go before the new message.
  const std::string old100 = std::string(98, 'x') + "\n\n";
  const struct {
    const char* what;
    bool exists;
    std::string content;
    unsigned long sizeLimit;
    int expected;
  } cases[] = {
      {"exactly at the limit", true, old100, 100, 1},
      {"one byte above", true, old100 + "x", 100, -1},
      {"far above, no limit", true, old100, 0, 1},
      {"missing mailbox", false, "", 1, 1},
      {"empty mailbox", true, "", 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testutil::TempDir dir;
    const std::string mbox = dir.file("mbox");
    if (c.exists) testutil::WriteFile(mbox, c.content);
    auto actInfo = MakeAction(ACTION_TYPE_FILE, mbox, c.sizeLimit);
    Outcome outcome = Deliver(*actInfo, "Subject: s", "b");
    EXPECT_EQ(c.expected, outcome.result);
    if (c.expected == -1) {
      EXPECT_EQ("pelliton: file size limit reached on '" + mbox + "'\n", outcome.err);
      EXPECT_EQ(c.content, testutil::ReadFile(mbox));
    } else {
      EXPECT_EQ("", outcome.err);
      std::string content = testutil::ReadFile(mbox);
      ASSERT_EQ(0u, content.find(c.content));
      EXPECT_THAT(ParseMailbox(content.substr(c.content.size())),
                  ElementsAre(Delivered("Subject: s", "b")));
    }
    EXPECT_THAT(ListDir(dir.path()), UnorderedElementsAre("mbox"));
  }
}

TEST_F(DeliveryTest, WaitsWhileAFreshLockIsHeld) {
  const std::string mbox = dir_.file("mbox");
  const std::string lock = mbox + ".lock";
  testutil::WriteFile(lock, "");
  std::atomic<bool> appendedUnderForeignLock{false};
  std::thread owner([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    appendedUnderForeignLock = testutil::FileExists(mbox);
    unlink(lock.c_str());
  });
  auto actInfo = MakeAction(ACTION_TYPE_FILE, mbox);
  Outcome outcome = Deliver(*actInfo, "Subject: w", "waited");
  owner.join();

  EXPECT_EQ(1, outcome.result);
  EXPECT_EQ("", outcome.err);
  EXPECT_FALSE(appendedUnderForeignLock);
  EXPECT_THAT(ParseMailbox(testutil::ReadFile(mbox)),
              ElementsAre(Delivered("Subject: w", "waited")));
  EXPECT_THAT(ListDir(dir_.path()), UnorderedElementsAre("mbox"));
}

TEST_F(DeliveryTest, RemovesAStaleLock) {
  const std::string mbox = dir_.file("mbox");
  const std::string lock = mbox + ".lock";
  testutil::WriteFile(lock, "left by a writer that died");
  SetMtimeSecondsAgo(lock, 301);
  auto actInfo = MakeAction(ACTION_TYPE_FILE, mbox);
  Outcome outcome = Deliver(*actInfo, "Subject: s", "stale");

  EXPECT_EQ(1, outcome.result);
  EXPECT_EQ("", outcome.err);
  EXPECT_THAT(ParseMailbox(testutil::ReadFile(mbox)),
              ElementsAre(Delivered("Subject: s", "stale")));
  EXPECT_THAT(ListDir(dir_.path()), UnorderedElementsAre("mbox"));
}

// A stale lock is removed only if it still is the file that was found
// stale: another waiter may have removed it, and a writer taken the lock
// afresh, in between.
TEST_F(DeliveryTest, OnlyTheLockFileFoundStaleIsRemoved) {
  const std::string lock = dir_.file("mbox.lock");
  const struct {
    const char* what;
    void (*change)(const std::string& lock);  // after the lock was examined
    bool removed;
  } cases[] = {
      {"still the same stale file", [](const std::string&) {}, true},
      {"taken afresh", [](const std::string& lock) {
         unlink(lock.c_str());
         testutil::WriteFile(lock, "fresh");
       }, false},
      {"replaced by another stale file", [](const std::string& lock) {
         unlink(lock.c_str());
         testutil::WriteFile(lock, "other");
         SetMtimeSecondsAgo(lock, 400);
       }, false},
      {"touched by its owner", [](const std::string& lock) { utimes(lock.c_str(), nullptr); },
       false},
      {"gone", [](const std::string& lock) { unlink(lock.c_str()); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testutil::WriteFile(lock, "stale");
    SetMtimeSecondsAgo(lock, 301);
    struct stat examined {};
    ASSERT_EQ(0, lstat(lock.c_str(), &examined));
    c.change(lock);
    const bool existed = testutil::FileExists(lock);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(RemoveStaleLock(lock, examined));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ(existed && !c.removed, testutil::FileExists(lock));
    unlink(lock.c_str());
  }
}

// The lock of a mailbox reached through symbolic links lies beside the
// file that is written, where every other name of it and other programs
// look for it; a lock beside the link is nobody's.
TEST_F(DeliveryTest, TheLockLiesBesideTheMailboxThatLinksLeadTo) {
  ASSERT_EQ(0, mkdir(dir_.file("real").c_str(), 0700));
  ASSERT_EQ(0, symlink("real/mbox", dir_.file("link").c_str()));
  ASSERT_EQ(0, symlink("link", dir_.file("chain").c_str()));
  const struct {
    const char* target;
    const char* foreignLock;
    bool delivered;
  } cases[] = {
      {"link", "real/mbox.lock", false},
      {"chain", "real/mbox.lock", false},
      {"link", "link.lock", true},
      {"chain", "link.lock", true},
  };
  // Stopping: a busy lock is not waited for, so the one that counts shows.
  keepRunning = 0;
  int delivered = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.target) + " with " + c.foreignLock);
    testutil::WriteFile(dir_.file(c.foreignLock), "foreign");
    auto actInfo = MakeAction(ACTION_TYPE_FILE, dir_.file(c.target));
    Outcome outcome = Deliver(*actInfo, "Subject: l", "linked");
    EXPECT_EQ(c.delivered ? 1 : 0, outcome.result);
    EXPECT_EQ(c.delivered ? "" : "pelliton: unable to lock '" + dir_.file(c.target) +
                                     "' -- the run is stopping\n",
              outcome.err);
    delivered += c.delivered ? 1 : 0;
    EXPECT_EQ("foreign", testutil::ReadFile(dir_.file(c.foreignLock)));
    unlink(dir_.file(c.foreignLock).c_str());
  }
  EXPECT_EQ(static_cast<std::size_t>(delivered),
            ParseMailbox(testutil::ReadFile(dir_.file("real/mbox"))).size());
  EXPECT_THAT(ListDir(dir_.path()), UnorderedElementsAre("real", "link", "chain"));
  EXPECT_THAT(ListDir(dir_.file("real")), UnorderedElementsAre("mbox"));
}

// Running as root, permission bits would not stop the temporary file, so
// the directory is made unusable instead: missing, or a regular file.
TEST_F(DeliveryTest, ReportsALockThatCannotBeCreated) {
  testutil::WriteFile(dir_.file("plain"), "not a directory");
  const std::string targets[] = {dir_.file("missing/mbox"), dir_.file("plain/mbox")};
  for (const auto& target : targets) {
    auto actInfo = MakeAction(ACTION_TYPE_FILE, target);
    Outcome outcome = Deliver(*actInfo, "Subject: x", "body");
    EXPECT_EQ(0, outcome.result) << target;
    EXPECT_EQ("pelliton: unable to open file '" + target + "'\n", outcome.err);
  }
  EXPECT_THAT(ListDir(dir_.path()), UnorderedElementsAre("plain"));
  EXPECT_EQ("not a directory", testutil::ReadFile(dir_.file("plain")));
}

TEST_F(DeliveryTest, ReportsAMailboxThatCannotBeExaminedOrOpened) {
  const std::string loop = dir_.file("loop");
  ASSERT_EQ(0, symlink("loop", loop.c_str()));
  const std::string directory = dir_.file("directory");
  ASSERT_EQ(0, mkdir(directory.c_str(), 0755));

  auto looping = MakeAction(ACTION_TYPE_FILE, loop);
  Outcome examined = Deliver(*looping, "Subject: x", "body");
  EXPECT_EQ(0, examined.result);
  EXPECT_EQ("pelliton: unable to open file '" + loop + "'\n", examined.err);

  auto notAFile = MakeAction(ACTION_TYPE_FILE, directory);
  Outcome opened = Deliver(*notAFile, "Subject: x", "body");
  EXPECT_EQ(0, opened.result);
  EXPECT_EQ("pelliton: unable to open file '" + directory + "' for appending -- not a regular file\n",
            opened.err);

  EXPECT_THAT(ListDir(dir_.path()), UnorderedElementsAre("loop", "directory"));
  EXPECT_THAT(ListDir(directory), IsEmpty());
}

// The lock name and the temporary name (the path and 12 characters) must
// fit in 1023 characters; a longer path is refused, never cut short.
TEST_F(DeliveryTest, RefusesAPathWhoseTemporaryNameWouldNotFit) {
  std::string deep = dir_.path();
  while (deep.size() < 800) {
    deep += "/" + std::string(std::min<std::size_t>(200, 820 - deep.size()), 'd');
    ASSERT_EQ(0, mkdir(deep.c_str(), 0755)) << std::strerror(errno);
  }
  const std::size_t longest = 1023 - std::strlen(".lock.XXXXXX");
  const std::string fits = deep + "/" + std::string(longest - deep.size() - 1, 'm');
  const std::string tooLong = fits + "n";
  ASSERT_EQ(1011u, fits.size());

  auto fitting = MakeAction(ACTION_TYPE_FILE, fits);
  Outcome delivered = Deliver(*fitting, "Subject: long", "path");
  EXPECT_EQ(1, delivered.result);
  EXPECT_EQ("", delivered.err);

  auto refused = MakeAction(ACTION_TYPE_FILE, tooLong);
  Outcome outcome = Deliver(*refused, "Subject: long", "path");
  EXPECT_EQ(0, outcome.result);
  EXPECT_EQ("pelliton: unable to open file '" + tooLong + "'\n", outcome.err);

  EXPECT_THAT(ListDir(deep), UnorderedElementsAre(fits.substr(deep.size() + 1)));
  EXPECT_THAT(ParseMailbox(testutil::ReadFile(fits)),
              ElementsAre(Delivered("Subject: long", "path")));
}

TEST_F(DeliveryTest, PipesTheSameLayoutIntoACommand) {
  const std::string out = dir_.file("out");
  auto actInfo = MakeAction(ACTION_TYPE_PIPE, "cat >> '" + out + "'");
  Outcome first = Deliver(*actInfo, "Subject: p1\nX-Two: lines", "one\ntwo");
  Outcome second = Deliver(*actInfo, "Subject: p2", "");
  EXPECT_EQ(1, first.result);
  EXPECT_EQ("", first.err);
  EXPECT_EQ(1, second.result);
  EXPECT_EQ("", second.err);
  EXPECT_THAT(ParseMailbox(testutil::ReadFile(out)),
              ElementsAre(Delivered("Subject: p1\nX-Two: lines", "one\ntwo"),
                          Delivered("Subject: p2", "")));
}

TEST_F(DeliveryTest, ReportsCommandsThatFailOrStopReading) {
  // Large enough to fill the pipe, so that a command that reads nothing
  // makes the write fail for certain.
  const std::string large(512 * 1024, 'y');
  const struct {
    std::string command;
    std::string body;
    std::string err;
  } cases[] = {
      {"cat > /dev/null; exit 1", "small",
       "pelliton: pipe 'cat > /dev/null; exit 1' terminated abnormally\n"},
      {"exit 0", large, "pelliton: error writing to 'exit 0'\n"},
      {"exit 3", large,
       "pelliton: error writing to 'exit 3'\npelliton: pipe 'exit 3' terminated abnormally\n"},
      {"kill -9 $$", large,
       "pelliton: error writing to 'kill -9 $$'\n"
       "pelliton: pipe 'kill -9 $$' terminated abnormally\n"},
  };
  for (const auto& c : cases) {
    auto actInfo = MakeAction(ACTION_TYPE_PIPE, c.command);
    Outcome outcome = Deliver(*actInfo, "Subject: x", c.body);
    EXPECT_EQ(0, outcome.result) << c.command;
    EXPECT_EQ(c.err, outcome.err);
  }
}

TEST_F(DeliveryTest, ReportsACommandThatCannotBeStarted) {
  auto actInfo = MakeAction(ACTION_TYPE_PIPE, "cat > /dev/null");
  // With no descriptor left for the pipe, popen cannot succeed.
  rlimit old{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
  testing::internal::CaptureStderr();
  int lowest = dup(0);
  ASSERT_GE(lowest, 0);
  close(lowest);
  rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
  int result = ProcessAction(actInfo.get(), "h", 1, "b", 1);
  setrlimit(RLIMIT_NOFILE, &old);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(0, result);
  EXPECT_EQ("pelliton: unable to open pipe to 'cat > /dev/null'\n", err);
}

// Several processes append to one mailbox at once; the lock must let no
// message be lost and none run into another.
TEST_F(DeliveryTest, ConcurrentWritersKeepEveryMessageWhole) {
  constexpr int kWriters = 4;
  constexpr int kMessagesEach = 15;
  const std::string mbox = dir_.file("mbox");
  auto header = [](int writer, int n) {
    return "Subject: writer " + std::to_string(writer) + " message " + std::to_string(n);
  };
  auto body = [](int writer, int n) {
    std::string line(79, static_cast<char>('a' + writer));
    std::string text;
    for (int i = 0; i < 200 + n * 37; ++i) text += line + "\n";
    return text + "end";
  };

  std::vector<pid_t> children;
  for (int writer = 0; writer < kWriters; ++writer) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto actInfo = MakeAction(ACTION_TYPE_FILE, mbox);
      int failures = 0;
      for (int n = 0; n < kMessagesEach; ++n) {
        std::string h = header(writer, n), b = body(writer, n);
        if (ProcessAction(actInfo.get(), h.data(), static_cast<int>(h.size()), b.data(),
                          static_cast<int>(b.size())) != 1)
          ++failures;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }

  std::multiset<std::string> expected;
  for (int writer = 0; writer < kWriters; ++writer)
    for (int n = 0; n < kMessagesEach; ++n)
      expected.insert(Delivered(header(writer, n), body(writer, n)));
  std::vector<std::string> messages = ParseMailbox(testutil::ReadFile(mbox));
  EXPECT_EQ(expected, std::multiset<std::string>(messages.begin(), messages.end()));
  EXPECT_THAT(ListDir(dir_.path()), UnorderedElementsAre("mbox"));
}

// Each mailbox appended to stays open until the next sync; a run that
// files into more mailboxes than there are descriptors between two saves
// (one mailbox per newsgroup) must neither fail its deliveries nor its
// syncs for want of them.
TEST_F(DeliveryTest, ManyMailboxesBetweenTwoSyncsNeedNoMoreDescriptors) {
  // Mailboxes of the tests before, whose directories are gone, are let go.
  testing::internal::CaptureStderr();
  SyncMailboxes();
  testing::internal::GetCapturedStderr();
  rlimit old{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
  int lowest = dup(0);
  ASSERT_GE(lowest, 0);
  close(lowest);
  rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(lowest + 24);
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
  testing::internal::CaptureStderr();
  int delivered = 0;
  for (int i = 0; i < 60; ++i) {
    auto actInfo = MakeAction(ACTION_TYPE_FILE, dir_.file("box" + std::to_string(i)));
    delivered += ProcessAction(actInfo.get(), "h", 1, "b", 1) == 1;
  }
  const bool synced = SyncMailboxes();
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_EQ(60, delivered);
  EXPECT_TRUE(synced);
}

// A mailbox made in a directory that its user may write in but not read:
// the directory cannot be opened to be synced, which must not stop every
// save of the newsrc (and so deliver the whole run again next time).
TEST_F(DeliveryTest, MailboxInADirectoryWeMayNotReadIsSynced) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  testing::internal::CaptureStderr();
  SyncMailboxes();
  testing::internal::GetCapturedStderr();
  const std::string drop = dir_.file("drop");
  ASSERT_EQ(0, mkdir(drop.c_str(), 0700));
  ASSERT_EQ(0, chmod(drop.c_str(), 0333));
  ASSERT_EQ(0, chmod(dir_.path().c_str(), 0755));
  auto actInfo = MakeAction(ACTION_TYPE_FILE, drop + "/mbox");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setegid(65534) != 0 || seteuid(65534) != 0) _exit(3);
    if (ProcessAction(actInfo.get(), "h", 1, "b", 1) != 1) _exit(2);
    _exit(SyncMailboxes() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << "1: not synced, 2: not delivered, 3: no other user";
  chmod(drop.c_str(), 0700);
  EXPECT_EQ("From ", testutil::ReadFile(drop + "/mbox").substr(0, 5));
}

TEST_F(DeliveryTest, FullFileSystemLeavesTheMailboxAsItWas) {
  const std::string mountPoint = dir_.file("small");
  Tmpfs fs(mountPoint, "size=64k");
  if (!fs.mounted()) GTEST_SKIP() << "no small file system to fill: " << fs.why();
  const std::string mbox = mountPoint + "/mbox";
  const std::string old = "From pelliton Thu Jan  1 00:00:00 1970\nSubject: old\n\nkept\n\n";
  testutil::WriteFile(mbox, old);

  auto actInfo = MakeAction(ACTION_TYPE_FILE, mbox);
  Outcome outcome = Deliver(*actInfo, "Subject: big", std::string(256 * 1024, 'z'));
  EXPECT_EQ(0, outcome.result);
  EXPECT_EQ("pelliton: error writing to '" + mbox + "'\n", outcome.err);
  EXPECT_EQ(old, testutil::ReadFile(mbox));
  EXPECT_THAT(ListDir(mountPoint), UnorderedElementsAre("mbox"));

  // The space is given back: a message that fits goes in after the old one.
  Outcome next = Deliver(*actInfo, "Subject: small", "fits");
  EXPECT_EQ(1, next.result);
  EXPECT_THAT(ParseMailbox(testutil::ReadFile(mbox)),
              ElementsAre(Delivered("Subject: old", "kept"), Delivered("Subject: small", "fits")));
}

// With one inode to spare, mkstemp succeeds but link fails with ENOSPC:
// an error that waiting would never cure.
TEST_F(DeliveryTest, LinkFailureOtherThanAnExistingLockEndsTheDelivery) {
  const std::string mountPoint = dir_.file("tiny");
  Tmpfs fs(mountPoint, "size=64k,nr_inodes=2");
  if (!fs.mounted()) GTEST_SKIP() << "no small file system to fill: " << fs.why();
  const std::string probe = mountPoint + "/probe";
  testutil::WriteFile(probe, "");
  bool linkFails = link(probe.c_str(), (probe + "2").c_str()) != 0;
  unlink((probe + "2").c_str());
  unlink(probe.c_str());
  if (!linkFails) GTEST_SKIP() << "this tmpfs does not count hard links against its inodes";

  const std::string mbox = mountPoint + "/mbox";
  auto actInfo = MakeAction(ACTION_TYPE_FILE, mbox);
  Outcome outcome = Deliver(*actInfo, "Subject: x", "body");
  EXPECT_EQ(0, outcome.result);
  EXPECT_EQ("pelliton: unable to open file '" + mbox + "'\n", outcome.err);
  EXPECT_THAT(ListDir(mountPoint), IsEmpty());
}

// A later attempt that cannot even make its temporary file gives up; the
// lock file it was waiting for is someone else's and stays.
TEST_F(DeliveryTest, GivingUpLeavesAForeignLockAlone) {
  const std::string mountPoint = dir_.file("tiny");
  Tmpfs fs(mountPoint, "size=64k,nr_inodes=3");
  if (!fs.mounted()) GTEST_SKIP() << "no small file system to fill: " << fs.why();
  const std::string mbox = mountPoint + "/mbox";
  const std::string lock = mbox + ".lock";
  testutil::WriteFile(lock, "foreign");
  std::thread filler([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // Takes the last inode; retried in case a temporary file holds it.
    for (int i = 0; i < 500; ++i) {
      int fd = open((mountPoint + "/filler").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      if (fd >= 0) {
        close(fd);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  auto actInfo = MakeAction(ACTION_TYPE_FILE, mbox);
  Outcome outcome = Deliver(*actInfo, "Subject: x", "body");
  filler.join();

  EXPECT_EQ(0, outcome.result);
  EXPECT_EQ("pelliton: unable to open file '" + mbox + "'\n", outcome.err);
  EXPECT_EQ("foreign", testutil::ReadFile(lock));
  EXPECT_THAT(ListDir(mountPoint), UnorderedElementsAre("mbox.lock", "filler"));
}


// --- The mailbox form written at delivery; what a signal ends ---------------

// The text after the separator line of the one message in a mailbox.
std::string AfterSeparator(const std::string& content) {
  std::size_t lineEnd = content.find('\n');
  EXPECT_TRUE(IsSeparatorLine(content.substr(0, lineEnd))) << content;
  return content.substr(lineEnd + 1);
}

// The engine hands the header as received and the body unquoted; a line
// of either that begins with "From " would start a new message.
TEST_F(DeliveryTest, FromLinesOfHeaderAndBodyAreQuotedInMailboxAndCommand) {
  const std::string header = "Subject: x\nFrom forged@example.org Thu Jan  1 00:00:00 1970\nX-A: From b";
  const std::string body = "From c\n>From d\nFrom\nFrom: e\nfrom f\n\nFrom ";
  const std::string quoted =
      "Subject: x\n>From forged@example.org Thu Jan  1 00:00:00 1970\nX-A: From b\n\n"
      ">From c\n>From d\nFrom\nFrom: e\nfrom f\n\n>From \n\n";
  const std::string mbox = dir_.file("mbox");
  const std::string out = dir_.file("out");
  auto mailbox = MakeAction(ACTION_TYPE_FILE, mbox);
  auto command = MakeAction(ACTION_TYPE_PIPE, "cat > '" + out + "'");
  for (const ActionInfo* actInfo : {mailbox.get(), command.get()}) {
    Outcome outcome = Deliver(*actInfo, header, body);
    EXPECT_EQ(1, outcome.result) << actInfo->target;
    EXPECT_EQ("", outcome.err);
  }
  EXPECT_EQ(quoted, AfterSeparator(testutil::ReadFile(mbox)));
  EXPECT_EQ(quoted, AfterSeparator(testutil::ReadFile(out)));
}

// A mailbox torn by a kill or edited by hand may not end in an empty line;
// the new separator line must still begin a message of its own.
TEST_F(DeliveryTest, SeparatorLineAlwaysStartsAMessage) {
  const struct {
    std::string before;
    std::string added;
  } cases[] = {
      {"", ""},       {"x", "\n\n"},    {"x\n", "\n"},   {"x\n\n", ""},
      {"\n", ""},     {"x\n\n\n", ""},  {"\n\nx", "\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("mailbox '" + c.before + "'");
    testutil::TempDir dir;
    const std::string mbox = dir.file("mbox");
    testutil::WriteFile(mbox, c.before);
    auto actInfo = MakeAction(ACTION_TYPE_FILE, mbox);
    EXPECT_EQ(1, Deliver(*actInfo, "Subject: s", "b").result);
    std::string content = testutil::ReadFile(mbox);
    ASSERT_EQ(0u, content.find(c.before + c.added + "From pelliton "));
    EXPECT_EQ(Delivered("Subject: s", "b"),
              AfterSeparator(content.substr(c.before.size() + c.added.size())));
  }
}

TEST_F(DeliveryTest, FailedWriteCutsBackTheAddedLineEndsToo) {
  const std::string mountPoint = dir_.file("small");
  Tmpfs fs(mountPoint, "size=64k");
  if (!fs.mounted()) GTEST_SKIP() << "no small file system to fill: " << fs.why();
  const std::string mbox = mountPoint + "/mbox";
  testutil::WriteFile(mbox, "From pelliton Thu Jan  1 00:00:00 1970\nSubject: torn\n\ncut off");
  const std::string before = testutil::ReadFile(mbox);
  auto actInfo = MakeAction(ACTION_TYPE_FILE, mbox);
  Outcome outcome = Deliver(*actInfo, "Subject: big", std::string(256 * 1024, 'z'));
  EXPECT_EQ(0, outcome.result);
  EXPECT_EQ("pelliton: error writing to '" + mbox + "'\n", outcome.err);
  EXPECT_EQ(before, testutil::ReadFile(mbox));
  EXPECT_THAT(ListDir(mountPoint), UnorderedElementsAre("mbox"));
}

// A FIFO would block the open; a directory or a device cannot be a
// mailbox.  Either is refused before a lock is taken beside it: no lock
// file goes into /dev, and a lock there (here one that cannot even be
// removed) is no reason to wait.  A symbolic link to a regular file is as
// good as the file.
TEST_F(DeliveryTest, AMailboxThatIsNoRegularFileIsRefusedWithoutBlocking) {
  const std::string fifo = dir_.file("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  const std::string device = dir_.file("device");
  ASSERT_EQ(0, symlink("/dev/null", device.c_str()));
  const std::string directory = dir_.file("directory");
  ASSERT_EQ(0, mkdir(directory.c_str(), 0700));
  for (const std::string& busy : {fifo + ".lock", directory + ".lock"}) {
    ASSERT_EQ(0, mkdir(busy.c_str(), 0700));
    SetMtimeSecondsAgo(busy, 301);
  }
  const bool devLocked = testutil::FileExists("/dev/null.lock");
  for (const std::string& target : {fifo, device, directory}) {
    auto actInfo = MakeAction(ACTION_TYPE_FILE, target);
    Outcome outcome = Deliver(*actInfo, "Subject: x", "body");
    EXPECT_EQ(0, outcome.result) << target;
    EXPECT_EQ("pelliton: unable to open file '" + target + "' for appending -- not a regular file\n",
              outcome.err);
  }
  EXPECT_THAT(ListDir(dir_.path()), UnorderedElementsAre("fifo", "device", "directory",
                                                         "fifo.lock", "directory.lock"));
  EXPECT_EQ(devLocked, testutil::FileExists("/dev/null.lock"));

  const std::string link = dir_.file("link");
  testutil::WriteFile(dir_.file("real"), "");
  ASSERT_EQ(0, symlink("real", link.c_str()));
  auto linked = MakeAction(ACTION_TYPE_FILE, link);
  EXPECT_EQ(1, Deliver(*linked, "Subject: l", "linked").result);
  EXPECT_THAT(ParseMailbox(testutil::ReadFile(dir_.file("real"))),
              ElementsAre(Delivered("Subject: l", "linked")));
}

// Sends SIGINT to the calling thread after a delay, to be handled as
// pelliton's handler does: it clears keepRunning and restarts no call.
class InterruptAfter {
 public:
  explicit InterruptAfter(std::chrono::milliseconds delay) : target_(pthread_self()) {
    struct sigaction action {};
    action.sa_handler = [](int) { keepRunning = 0; };
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, &old_);
    thread_ = std::thread([this, delay] {
      std::this_thread::sleep_for(delay);
      pthread_kill(target_, SIGINT);
    });
  }
  ~InterruptAfter() {
    thread_.join();
    sigaction(SIGINT, &old_, nullptr);
  }
  InterruptAfter(const InterruptAfter&) = delete;
  InterruptAfter& operator=(const InterruptAfter&) = delete;

 private:
  pthread_t target_;
  struct sigaction old_ {};
  std::thread thread_;
};

TEST_F(DeliveryTest, ASignalEndsTheWaitForALock) {
  const std::string mbox = dir_.file("mbox");
  const std::string lock = mbox + ".lock";
  testutil::WriteFile(lock, "foreign");
  const std::string interrupted = "pelliton: unable to lock '" + mbox + "' -- the run is stopping\n";
  auto actInfo = MakeAction(ACTION_TYPE_FILE, mbox);
  {
    InterruptAfter signal(std::chrono::milliseconds(300));
    Outcome outcome = Deliver(*actInfo, "Subject: x", "body");
    EXPECT_EQ(0, outcome.result);
    EXPECT_EQ(interrupted, outcome.err);
  }
  // After the signal a busy lock is not waited for at all.
  Outcome later = Deliver(*actInfo, "Subject: x", "body");
  EXPECT_EQ(0, later.result);
  EXPECT_EQ(interrupted, later.err);
  EXPECT_EQ("foreign", testutil::ReadFile(lock));
  EXPECT_THAT(ListDir(dir_.path()), UnorderedElementsAre("mbox.lock"));

  // A free lock is taken after a signal as before: the append completes.
  unlink(lock.c_str());
  Outcome free = Deliver(*actInfo, "Subject: x", "body");
  EXPECT_EQ(1, free.result);
  EXPECT_EQ("", free.err);
  EXPECT_THAT(ParseMailbox(testutil::ReadFile(mbox)), ElementsAre(Delivered("Subject: x", "body")));
  EXPECT_THAT(ListDir(dir_.path()), UnorderedElementsAre("mbox"));
}

TEST_F(DeliveryTest, AStaleLockThatCannotBeRemovedIsReported) {
  const std::string mbox = dir_.file("mbox");
  const std::string lock = mbox + ".lock";
  ASSERT_EQ(0, mkdir(lock.c_str(), 0700));
  SetMtimeSecondsAgo(lock, 301);
  auto actInfo = MakeAction(ACTION_TYPE_FILE, mbox);
  Outcome outcome = Deliver(*actInfo, "Subject: x", "body");
  EXPECT_EQ(0, outcome.result);
  EXPECT_EQ("pelliton: unable to remove stale lock file '" + lock + "' -- " + std::strerror(EISDIR) +
                "\n",
            outcome.err);
  EXPECT_THAT(ListDir(dir_.path()), UnorderedElementsAre("mbox.lock"));
}

// True while the process has not ended (a zombie has).
bool Running(pid_t pid) {
  const std::string stat = testutil::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

// After a signal a command has a few seconds to take its message and end;
// one that does not is cut off and ended, with everything it started (a
// child that ignores SIGTERM included, which could otherwise still
// deliver), and the delivery fails.
TEST_F(DeliveryTest, ASignalEndsADeliveryIntoACommandThatDoesNotRead) {
  const std::string large(512 * 1024, 'y');
  const std::string pidFile = dir_.file("child");
  const std::string withChild =
      "(trap '' TERM; exec sleep 60) & echo $! > '" + pidFile + "'; exec sleep 60";
  const struct {
    const char* what;
    std::string command;
    std::string body;
    std::string err;
  } cases[] = {
      {"blocked in a write", "exec sleep 60", large,
       "pelliton: error writing to 'exec sleep 60'\n"
       "pelliton: pipe 'exec sleep 60' terminated abnormally\n"},
      {"waiting for the end, with a child", withChild, "small",
       "pelliton: pipe '" + withChild + "' terminated abnormally\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    keepRunning = 1;
    auto actInfo = MakeAction(ACTION_TYPE_PIPE, c.command);
    InterruptAfter signal(std::chrono::milliseconds(300));
    Outcome outcome = Deliver(*actInfo, "Subject: x", c.body);
    EXPECT_EQ(0, outcome.result);
    EXPECT_EQ(c.err, outcome.err);
  }
  const std::string child = testutil::ReadFile(pidFile);
  ASSERT_FALSE(child.empty());
  const pid_t pid = std::stoi(child);
  for (int i = 0; i < 100 && Running(pid); ++i) usleep(10000);
  EXPECT_FALSE(Running(pid)) << "the command's child outlived it";
  unlink(pidFile.c_str());
  EXPECT_THAT(ListDir(dir_.path()), IsEmpty());
}

// In an interactive run a command, in a process group of its own, is in
// the background of the terminal.  Stopped for touching it (writing under
// "stty tostop", reading /dev/tty) it would never end, and the run would
// wait for it for ever; instead the write goes ahead and the read fails.
TEST_F(DeliveryTest, ATerminalNeverStopsACommand) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
    GTEST_SKIP() << "no pseudo-terminal: " << std::strerror(errno);
  const std::string slaveName = ptsname(master);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // A session of its own with the terminal as its controlling terminal,
    // this process in the foreground, as a login shell would leave it.
    if (setsid() < 0) _exit(2);
    const int slave = open(slaveName.c_str(), O_RDWR);
    if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(2);
    termios mode{};
    if (tcgetattr(slave, &mode) != 0) _exit(2);
    mode.c_lflag |= TOSTOP;
    if (tcsetattr(slave, TCSANOW, &mode) != 0) _exit(2);
    dup2(slave, STDOUT_FILENO);
    dup2(slave, STDERR_FILENO);
    keepRunning = 1;
    auto actInfo = MakeAction(ACTION_TYPE_PIPE,
                              "cat > /dev/null; echo written to the terminal; "
                              "if read line < /dev/tty; then exit 1; fi; exit 0");
    _exit(ProcessAction(actInfo.get(), "h", 1, "b", 1) == 1 ? 0 : 1);
  }
  std::string seen;
  int status = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (waitpid(pid, &status, WNOHANG) != pid && std::chrono::steady_clock::now() < deadline) {
    // Until the child opens the terminal, and once it is gone, the master
    // reports a hang-up at once.
    pollfd pfd{master, POLLIN, 0};
    char buf[256];
    ssize_t n = 0;
    if (poll(&pfd, 1, 10) > 0 && (n = read(master, buf, sizeof buf)) > 0)
      seen.append(buf, static_cast<std::size_t>(n));
    else if (n < 0)
      usleep(10000);
  }
  for (pollfd pfd{master, POLLIN, 0}; poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN);) {
    char buf[256];
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    seen.append(buf, static_cast<std::size_t>(n));
  }
  if (status == -1) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    status = -1;
  }
  close(master);
  ASSERT_NE(-1, status) << "the delivery never ended:\n" << seen;
  ASSERT_TRUE(WIFEXITED(status)) << status;
  ASSERT_NE(2, WEXITSTATUS(status)) << "the terminal could not be set up";
  EXPECT_EQ(0, WEXITSTATUS(status)) << seen;
  EXPECT_NE(std::string::npos, seen.find("written to the terminal")) << seen;
}

TEST_F(DeliveryTest, ACommandThatIgnoresTerminationIsKilled) {
  auto actInfo = MakeAction(ACTION_TYPE_PIPE, "trap '' TERM; exec sleep 60");
  InterruptAfter signal(std::chrono::milliseconds(300));
  Outcome outcome = Deliver(*actInfo, "Subject: x", "body");
  EXPECT_EQ(0, outcome.result);
  EXPECT_EQ("pelliton: pipe 'trap '' TERM; exec sleep 60' terminated abnormally\n", outcome.err);
}

// A command that is slow but reads is not blocked: it completes after a
// signal, whether the signal came during the delivery or before it.
TEST_F(DeliveryTest, ACommandThatReadsCompletesAfterASignal) {
  const std::string body(512 * 1024, 'r');
  for (bool before : {false, true}) {
    SCOPED_TRACE(before ? "signal before" : "signal during");
    testutil::TempDir dir;
    const std::string out = dir.file("out");
    keepRunning = before ? 0 : 1;
    auto actInfo = MakeAction(ACTION_TYPE_PIPE, "sleep 1; cat > '" + out + "'");
    InterruptAfter signal(std::chrono::milliseconds(before ? 0 : 300));
    Outcome outcome = Deliver(*actInfo, "Subject: slow", body);
    EXPECT_EQ(1, outcome.result);
    EXPECT_EQ("", outcome.err);
    EXPECT_EQ(Delivered("Subject: slow", body), AfterSeparator(testutil::ReadFile(out)));
  }
}

// A command must not inherit what pelliton does with the signals that end
// a run or that it survives: each starts at its default, whatever the
// process had set.
TEST_F(DeliveryTest, ACommandStartsWithDefaultSignalHandling) {
  if (!testutil::FileExists("/proc/self/status")) GTEST_SKIP() << "no /proc";
  const int signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGXFSZ, SIGCHLD};
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction saved[std::size(signals)];
  for (std::size_t i = 0; i < std::size(signals); ++i)
    ASSERT_EQ(0, sigaction(signals[i], &ignore, &saved[i]));
  const std::string out = dir_.file("out");
  auto actInfo = MakeAction(ACTION_TYPE_PIPE,
                            "cat > /dev/null; exec grep '^SigIgn' /proc/self/status > '" + out + "'");
  Outcome outcome = Deliver(*actInfo, "Subject: x", "body");
  for (std::size_t i = 0; i < std::size(signals); ++i) sigaction(signals[i], &saved[i], nullptr);
  ASSERT_EQ(1, outcome.result) << outcome.err;
  const std::string line = testutil::ReadFile(out);
  ASSERT_EQ(0u, line.rfind("SigIgn:", 0)) << line;
  const unsigned long long ignored = std::stoull(line.substr(7), nullptr, 16);
  for (int sig : signals)
    EXPECT_EQ(0u, ignored & (1ull << (sig - 1))) << strsignal(sig) << " " << line;
}

}  // namespace
}  // namespace pelliton
