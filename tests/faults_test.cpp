// Fault injection from end to end: the real binary fetches two scripted
// newsgroups while the test server hangs up at many points of the stream,
// refuses articles, or trickles an answer while pelliton is interrupted
// twice; while pelliton is interrupted by SIGINT at many moments; or while
// a mailbox cannot be written for some articles.  After every interrupted
// run a clean run finishes the fetch.  Whatever happened, the run ends by
// itself with the exit status that says whether it did all its work, the
// newsrc file stays well-formed, no mailbox or command output holds a
// partial or mixed-up message, and at the end every matching article has
// arrived exactly once.  Runs killed with SIGKILL lose nothing either, and
// deliver again only what their last seconds delivered.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <sys/stat.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mailbox.h"
#include "newsserver.h"
#include "test_util.h"

namespace {

using namespace std::chrono_literals;

const std::string kGroupOne = "pelliton.fault.one";
const std::string kGroupTwo = "pelliton.fault.two";

struct Article {
  std::string group;
  int number;
  std::string header;
  std::string body;
  bool toMailbox;  // expected in the mailbox
  bool toPipe;     // expected in what the pipe command wrote
  bool toLater;    // expected in the mailbox of the first action, which can fail
};

// Bodies of several sizes, with lines that the wire stuffs and that a
// mailbox must quote, so that a cut anywhere lands on every kind of line.
std::string BodyOf(int seed, int lines) {
  std::string body;
  for (int i = 0; i < lines; ++i) {
    if (!body.empty()) body += '\n';
    switch ((seed + i) % 6) {
      case 0: body += "From the desk of article " + std::to_string(seed); break;
      case 1: body += ".a line that begins with a dot"; break;
      case 2: body += ".."; break;
      case 3: body += ""; break;
      case 4: body += ">From already quoted"; break;
      default: body += std::string(40 + i % 50, static_cast<char>('a' + i % 26)); break;
    }
  }
  return body;
}

std::vector<Article> Articles() {
  std::vector<Article> articles;
  auto add = [&](const std::string& group, int number, const std::string& subject,
                 const std::string& extra, int lines, bool toMailbox, bool toPipe,
                 bool toLater = false) {
    std::string id = "<" + std::to_string(number) + "." + group + "@fault.example>";
    std::string header = "From: Tester " + std::to_string(number) + " <t@fault.example>\n" +
                         "Newsgroups: " + group + "\n" + "Subject: " + subject + "\n" +
                         extra + "Message-ID: " + id;
    articles.push_back(
        {group, number, header, BodyOf(number, lines), toMailbox, toPipe, toLater});
  };
  // Group one: kept articles go to the mailbox and into the command, piped
  // ones only into the command; the rest matches nothing, or is refused by
  // the general condition of the wildcard entry.  Six goes first to a
  // mailbox of its own, whose failure stops its delivery before it reaches
  // the others.
  add(kGroupOne, 1, "keep one", "", 3, true, true);
  add(kGroupOne, 2, "skip two", "", 4, false, false);
  add(kGroupOne, 3, "pipe three", "", 12, false, true);
  add(kGroupOne, 4, "keep four", "X-Spam: yes\n", 2, false, false);
  add(kGroupOne, 6, "keep six", "", 40, true, true, true);
  add(kGroupOne, 7, "skip seven", "", 1, false, false);
  add(kGroupOne, 8, "keep eight", "", 0, true, true);
  add(kGroupOne, 9, "skip nine", "", 2, false, false);
  // Group two: kept articles go to the mailbox only.
  add(kGroupTwo, 1, "skip two/one", "", 3, false, false);
  add(kGroupTwo, 2, "keep two/two", "", 9, true, false);
  add(kGroupTwo, 3, "keep two/three", "", 1, true, false);
  return articles;
}

// The message as it lands in a mailbox after its separator line: the
// header, an empty line, the body with "From " lines quoted, an empty line.
std::string MessageText(const Article& a) {
  std::string body;
  for (std::size_t i = 0; i < a.body.size(); ++i) {
    bool lineStart = i == 0 || a.body[i - 1] == '\n';
    if (lineStart && a.body.compare(i, 5, "From ") == 0) body += '>';
    body += a.body[i];
  }
  return a.header + "\n\n" + body + "\n\n";
}

// What the server sends for a HEAD, BODY or ARTICLE of the article.
std::string WireAnswer(const std::string& command, const Article& a) {
  auto stuffed = [](const std::string& text) {
    std::string wire;
    if (text.empty()) return wire;
    std::istringstream in(text + "\n");
    std::string line;
    while (std::getline(in, line)) wire += (!line.empty() && line[0] == '.' ? "." : "") + line + "\r\n";
    return wire;
  };
  const std::size_t at = a.header.find("Message-ID: ");
  const std::string id = a.header.substr(at + 12, a.header.find('>', at) - at - 11);
  const std::string number = std::to_string(a.number);
  if (command.rfind("HEAD", 0) == 0) return "221 " + number + " " + id + "\r\n" + stuffed(a.header) + ".\r\n";
  if (command.rfind("BODY", 0) == 0) return "222 " + number + " " + id + "\r\n" + stuffed(a.body) + ".\r\n";
  return "220 " + number + " " + id + "\r\n" + stuffed(a.header) + "\r\n" + stuffed(a.body) + ".\r\n";
}

bool AllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// "name: 1-N", the name without colon or blank.
bool IsNewsrcLine(const std::string& line, std::string* name, long* last) {
  std::size_t colon = line.find(": 1-");
  if (colon == 0 || colon == std::string::npos) return false;
  *name = line.substr(0, colon);
  if (name->find_first_of(": \t\r") != std::string::npos) return false;
  std::string number = line.substr(colon + 4);
  if (!AllDigits(number) || number.size() > 10) return false;
  *last = std::stol(number);
  return true;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

class FaultTrials : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const Article& a : articles_) {
      server_.AddArticle(a.group, a.number, a.header, a.body);
      if (a.toMailbox) ++expectedInMailbox_;
      if (a.toPipe) ++expectedInPipe_;
      if (a.toLater) ++expectedInLater_;
    }
    // Both groups report one article more than they hold, so that the last
    // HEAD of each is answered with 423.
    server_.SetGroupRange(kGroupOne, 9, 1, 10);
    server_.SetGroupRange(kGroupTwo, 3, 1, 4);
    port_ = server_.Start();
    ASSERT_GT(port_, 0);
  }

  // A fresh set of files for one trial; without laterExists the first
  // action's mailbox lies in a directory that does not exist.
  void NewTrial(bool laterExists = true) {
    trial_ = std::make_unique<testutil::TempDir>();
    if (laterExists) MakeLater();
    testutil::WriteFile(file("servers"), "[fault]\nhost 127.0.0.1\nport " +
                                             std::to_string(port_) + "\nconfig " +
                                             file("filters") + "\nnewsrc " + file("newsrc") +
                                             "\ntimeout 20\n" +
                                             (overview_ ? "overview yes\n" : "") +
                                             (compress_ ? "compress yes\n" : ""));
    // Read from the overview, the general condition must name a header it
    // carries; it turns away the same article.
    testutil::WriteFile(file("filters"), "pelliton.fault.*:\n" +
                                             std::string(overview_ ? "* !^Subject: keep four$\n"
                                                                   : "* !^X-Spam: yes\n") +
                                             kGroupOne + ":\n"
                                             "* ^Subject: keep six$\n" +
                                             file("later/mbox") + "\n" + kGroupOne + ":\n"
                                             "* ^Subject: keep\n" +
                                             file("mbox") + "\n" + kGroupOne + ":\n" +
                                             "* ^Subject: (keep|pipe)\n"
                                             "| cat >> " +
                                             file("piped") + "\n" + kGroupTwo + ":\n" +
                                             "* ^Subject: keep\n" + file("mbox") + "\n");
  }

  std::string file(const std::string& name) const { return trial_->file(name); }
  void MakeLater() const { ASSERT_EQ(0, mkdir(file("later").c_str(), 0700)); }

  std::vector<std::string> Args(int maxReq) const {
    return {testutil::PellitonBinary(), "-n", std::to_string(maxReq), "-f", file("servers"),
            "fault"};
  }

  // Starts pelliton; the caller finishes it.
  std::unique_ptr<testutil::Child> Start(int maxReq) const {
    return std::make_unique<testutil::Child>(Args(maxReq));
  }

  testutil::RunResult Run(int maxReq) const { return Start(maxReq)->Finish(); }

  // Every line "name: 1-N", for exactly the two newsgroups, in the order
  // of the filter file.  Returns the numbers.
  std::map<std::string, long> CheckNewsrc() const {
    std::map<std::string, long> progress;
    std::string text = testutil::ReadFile(file("newsrc"));
    if (text.empty()) return progress;  // not written yet: the run stopped before
    EXPECT_EQ(text.back(), '\n') << text;
    std::vector<std::string> names;
    for (const std::string& line : Lines(text)) {
      std::string name;
      long last = 0;
      if (!IsNewsrcLine(line, &name, &last)) {
        ADD_FAILURE() << "malformed newsrc line '" << line << "' in:\n" << text;
        continue;
      }
      names.push_back(name);
      progress[name] = last;
    }
    EXPECT_EQ(names, (std::vector<std::string>{kGroupOne, kGroupTwo})) << text;
    return progress;
  }

  // Splits the file into whole messages, each a separator line and then
  // the exact text of one expected article.  Anything else (a cut message,
  // two messages run into each other, an article that should not be there)
  // is a failure.  Returns how often each article arrived.
  std::map<std::string, int> CheckMessages(const std::string& name, bool Article::*expected) const {
    std::map<std::string, int> seen;
    for (const std::string& message : testutil::Messages(file(name))) {
      const Article* found = nullptr;
      for (const Article& a : articles_) {
        if (a.*expected && message == MessageText(a)) {
          found = &a;
          break;
        }
      }
      if (found == nullptr) {
        ADD_FAILURE() << name << ": partial, mixed or unexpected message:\n"
                      << message.substr(0, 400);
        continue;
      }
      ++seen[found->group + "/" + std::to_string(found->number)];
    }
    return seen;
  }

  void CheckNoLockLeft() const {
    EXPECT_FALSE(testutil::FileExists(file("mbox.lock"))) << "mailbox lock left behind";
    EXPECT_FALSE(testutil::FileExists(file("later/mbox.lock"))) << "mailbox lock left behind";
  }

  // After an interrupted run: it ended by itself with the status given
  // (unset: 0 or 1), and what it left is whole.
  void CheckInterrupted(const testutil::RunResult& r, std::optional<int> status) {
    if (status) {
      EXPECT_EQ(*status, r.status) << r.err;
    } else {
      EXPECT_TRUE(r.status == 0 || r.status == 1) << "status " << r.status << "\n" << r.err;
    }
    CheckNewsrc();
    for (const auto& [article, count] : CheckMessages("mbox", &Article::toMailbox))
      EXPECT_EQ(count, 1) << "mailbox holds " << article << " " << count << " times";
    for (const auto& [article, count] : CheckMessages("piped", &Article::toPipe))
      EXPECT_EQ(count, 1) << "command got " << article << " " << count << " times";
    for (const auto& [article, count] : CheckMessages("later/mbox", &Article::toLater))
      EXPECT_EQ(count, 1) << "first mailbox holds " << article << " " << count << " times";
    CheckNoLockLeft();
  }

  // After the clean run: everything is there exactly once.
  void CheckComplete(const testutil::RunResult& r) {
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, long> progress = CheckNewsrc();
    // The last number of each newsgroup is missing: HEAD finds it gone,
    // the overview leaves it for a later run, as it may not be listed yet.
    EXPECT_EQ(progress[kGroupOne], overview_ ? 9 : 10);
    EXPECT_EQ(progress[kGroupTwo], overview_ ? 3 : 4);
    std::map<std::string, int> inMailbox = CheckMessages("mbox", &Article::toMailbox);
    std::map<std::string, int> inPipe = CheckMessages("piped", &Article::toPipe);
    std::map<std::string, int> inLater = CheckMessages("later/mbox", &Article::toLater);
    EXPECT_EQ(inMailbox.size(), expectedInMailbox_);
    EXPECT_EQ(inPipe.size(), expectedInPipe_);
    EXPECT_EQ(inLater.size(), expectedInLater_);
    for (const auto& [article, count] : inMailbox)
      EXPECT_EQ(count, 1) << "mailbox holds " << article << " " << count << " times";
    for (const auto& [article, count] : inPipe)
      EXPECT_EQ(count, 1) << "command got " << article << " " << count << " times";
    for (const auto& [article, count] : inLater)
      EXPECT_EQ(count, 1) << "first mailbox holds " << article << " " << count << " times";
    CheckNoLockLeft();
  }

  // A cut inside the name of a GROUP answer leaves the name of another
  // newsgroup, which is a bad response.
  static bool WasInterrupted(const testutil::RunResult& r) {
    return r.err.find("server closed connection") != std::string::npos ||
           r.err.find("error talking to NNTP server") != std::string::npos ||
           r.err.find("bad NNTP server response") != std::string::npos ||
           r.err.find("signal caught") != std::string::npos;
  }

  const std::vector<Article> articles_ = Articles();
  std::size_t expectedInMailbox_ = 0;
  std::size_t expectedInPipe_ = 0;
  std::size_t expectedInLater_ = 0;
  testserver::NewsServer server_;
  int port_ = -1;
  std::unique_ptr<testutil::TempDir> trial_;
  // The server file says "overview yes": every newsgroup is decided from
  // OVER and its matches fetched with ARTICLE.
  bool overview_ = false;
  // The server file says "compress yes", and the server compresses in
  // small flushes, so that a cut falls inside a flush as well.
  bool compress_ = false;
  void Compress() {
    compress_ = true;
    testserver::CompressSettings settings;
    settings.offer = true;
    settings.flushEvery = 97;
    server_.SetCompress(settings);
  }

  // The trials stop once one runs through the whole session; the sessions
  // cut must be at least `cut`.
  void HangUpEverywhere(int stride, int cut);
  void InterruptEverywhere(int cut);
  void RefuseSome(const std::vector<std::vector<std::string>>& refusals);
  struct Stray {
    std::string group;
    int number;
    std::string command;  // answered, and then followed by the line
    std::string line;
  };
  void StrayLines(const std::vector<Stray>& strays);
};

// The server hangs up after n bytes, for n from the greeting through every
// response of both newsgroups to the end of the session: densely through
// the greeting and GROUP, then at a prime stride so that the cut falls on
// status lines, header lines, body lines and terminators alike.
void FaultTrials::HangUpEverywhere(int stride, int cut) {
  int trials = 0;
  int interrupted = 0;
  for (std::int64_t point = 0; trials < 400; point += point < 120 ? 6 : stride) {
    NewTrial();
    const int maxReq = trials % 2 == 0 ? 1 : 4;
    SCOPED_TRACE("hang-up after " + std::to_string(point) + " bytes, -n " +
                 std::to_string(maxReq));
    ++trials;
    server_.CloseAfterBytes(point);
    testutil::RunResult first = Run(maxReq);
    // A connection lost at any point leaves work undone.
    CheckInterrupted(first, WasInterrupted(first) ? 1 : 0);
    server_.CloseAfterBytes(-1);
    CheckComplete(Run(maxReq));
    if (HasFailure()) break;
    if (!WasInterrupted(first)) break;  // the whole session fitted before the cut
    ++interrupted;
  }
  // Sanity: the points covered the session, and the cut did happen.
  EXPECT_GT(interrupted, cut);
  EXPECT_LT(trials, 400) << "the session never completed";
}

TEST_F(FaultTrials, ServerHangsUpAtAnyPoint) { HangUpEverywhere(53, 40); }

// SIGINT lands while the k-th command waits for its delayed answer, for
// every k up to the end of the session, at a few offsets into the wait.
void FaultTrials::InterruptEverywhere(int cut) {
  int interrupted = 0;
  for (int k = 1; k < 60; ++k) {
    NewTrial();
    const int maxReq = k % 2 == 1 ? 1 : 4;
    const auto offset = std::chrono::milliseconds(k % 3 * 4);
    SCOPED_TRACE("SIGINT " + std::to_string(offset.count()) + " ms after command " +
                 std::to_string(k) + ", -n " + std::to_string(maxReq));
    server_.SetDelay(15ms);
    server_.ClearLog();
    auto child = Start(maxReq);
    bool signalled = server_.WaitForLog(static_cast<std::size_t>(k), 10s);
    if (signalled) {
      std::this_thread::sleep_for(offset);
      child->Signal(SIGINT);
    }
    testutil::RunResult first = child->Finish();
    CheckInterrupted(first, 0);
    server_.SetDelay(0us);
    CheckComplete(Run(maxReq));
    if (HasFailure()) break;
    if (!signalled) break;  // k is past the last command of the session
    ++interrupted;
  }
  EXPECT_GT(interrupted, cut);
}

TEST_F(FaultTrials, InterruptedAtAnyMoment) { InterruptEverywhere(15); }

// Stopped from outside: SIGTERM (what kill, timeout and a shutdown send) is
// caught as SIGINT is, at any moment and while a delivery waits, and a
// mailbox that outgrows the file size limit is a failed write, not the end
// of the process.
class StopTrials : public FaultTrials {
 protected:
  // The filter file of NewTrial, with another command for the kept and
  // piped articles of the first newsgroup, written before its mailbox
  // action or after it; withLater keeps the first action of NewTrial's
  // filters, which takes article six alone.
  void WriteFilters(const std::string& command, bool commandFirst, bool withLater = true) {
    expectedInLater_ = withLater ? static_cast<std::size_t>(std::count_if(
                                       articles_.begin(), articles_.end(),
                                       [](const Article& a) { return a.toLater; }))
                                 : 0;
    const std::string toLater =
        withLater ? kGroupOne + ":\n* ^Subject: keep six$\n" + file("later/mbox") + "\n" : "";
    const std::string toMailbox = kGroupOne + ":\n* ^Subject: keep\n" + file("mbox") + "\n";
    const std::string toCommand = kGroupOne + ":\n* ^Subject: (keep|pipe)\n| " + command + "\n";
    testutil::WriteFile(file("filters"),
                        "pelliton.fault.*:\n* !^X-Spam: yes\n" + toLater +
                            (commandFirst ? toCommand + toMailbox : toMailbox + toCommand) +
                            kGroupTwo + ":\n* ^Subject: keep\n" + file("mbox") + "\n");
  }

  std::string StandardCommand() const { return "cat >> " + file("piped"); }
  // The standard command, free of the run's file size limit.
  std::string UnlimitedCommand() const {
    return "ulimit -S -f $(ulimit -H -f) && exec " + StandardCommand();
  }

  // True once the server has received the command line.
  bool WaitForCommand(const std::string& command) const {
    for (std::size_t seen = 1; server_.WaitForLog(seen, 10s); ++seen) {
      const std::vector<std::string> commands = server_.Commands();
      if (seen <= commands.size() && commands[seen - 1] == command) return true;
    }
    return false;
  }
};

// SIGTERM lands while the k-th command waits for its delayed answer, for
// every k up to the end of the session, at a few offsets into the wait.
TEST_F(StopTrials, TerminatedAtAnyMoment) {
  int terminated = 0;
  for (int k = 1; k < 60; ++k) {
    NewTrial();
    const int maxReq = k % 2 == 1 ? 1 : 4;
    const auto offset = std::chrono::milliseconds(k % 3 * 4);
    SCOPED_TRACE("SIGTERM " + std::to_string(offset.count()) + " ms after command " +
                 std::to_string(k) + ", -n " + std::to_string(maxReq));
    server_.SetDelay(15ms);
    server_.ClearLog();
    auto child = Start(maxReq);
    const bool signalled = server_.WaitForLog(static_cast<std::size_t>(k), 10s);
    if (signalled) {
      std::this_thread::sleep_for(offset);
      child->Signal(SIGTERM);
    }
    const testutil::RunResult first = child->Finish();
    CheckInterrupted(first, 0);
    // A run killed in an append leaves the mailbox locked for minutes.
    if (HasFailure()) break;
    server_.SetDelay(0us);
    CheckComplete(Run(maxReq));
    if (HasFailure()) break;
    if (!signalled) break;  // k is past the last command of the session
    ++terminated;
  }
  EXPECT_GT(terminated, 15);
}

// SIGTERM finds the first delivery waiting: for another program's lock on
// the mailbox, or for a command that takes its message but does not end.
// The delivery fails, the article is not half delivered to its actions,
// and the next run brings it.
TEST_F(StopTrials, TerminatedWhileADeliveryWaits) {
  for (const bool onLock : {true, false}) {
    SCOPED_TRACE(onLock ? "waiting for a lock" : "waiting for a command");
    NewTrial();
    // The command stalls while the file "stall" exists; it comes first, so
    // that its failure keeps the article from the mailbox too.
    const std::string stalling =
        "if [ -e " + file("stall") + " ]; then exec sleep 60; fi; " + StandardCommand();
    WriteFilters(stalling, !onLock);
    testutil::WriteFile(file(onLock ? "mbox.lock" : "stall"), "foreign");
    server_.ClearLog();
    auto child = Start(1);
    ASSERT_TRUE(WaitForCommand("BODY 1"));
    // Time for the answer to arrive and the delivery to start waiting.
    std::this_thread::sleep_for(300ms);
    child->Signal(SIGTERM);
    const testutil::RunResult first = child->Finish();

    // The delivery that the stop cut short is no failure of its own: the
    // article comes again next run, and the run was stopped by a signal
    // alone.
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.err.find("pelliton: signal caught... exiting\n"), std::string::npos)
        << first.err;
    const std::string failed =
        onLock ? "pelliton: unable to lock '" + file("mbox") + "' -- the run is stopping\n"
               : "pelliton: pipe '" + stalling + "' terminated abnormally\n";
    EXPECT_NE(first.err.find(failed), std::string::npos) << first.err;
    EXPECT_EQ(testutil::ReadFile(file(onLock ? "mbox.lock" : "stall")), "foreign");
    unlink(file("mbox.lock").c_str());
    unlink(file("stall").c_str());
    CheckInterrupted(first, 0);
    EXPECT_EQ(CheckNewsrc()[kGroupOne], 0) << "the first article counts as delivered";
    if (HasFailure()) break;

    CheckComplete(Run(1));
    if (HasFailure()) break;
  }
}

// The run is held to a file size limit that each trial puts at another
// point of the mailbox's growth.  The append that passes it fails as on a
// full disk: the mailbox is cut back to its last whole message, the run
// stops, and the next run brings the article again.  The command lifts the
// limit for itself, since its output is not pelliton's to keep whole.
TEST_F(StopTrials, FileSizeLimitFailsLikeAFullDisk) {
  NewTrial();
  WriteFilters(UnlimitedCommand(), false, false);
  CheckComplete(Run(1));
  const std::size_t fullSize = testutil::ReadFile(file("mbox")).size();
  ASSERT_GT(fullSize, 1024u);

  int cut = 0;
  // One request at a time: the trial is about the failed write, not
  // about the bodies that a stopping run still receives.
  const int maxReq = 1;
  for (std::size_t blocks = 1; blocks * 512 < fullSize; ++blocks) {
    SCOPED_TRACE("limit " + std::to_string(blocks * 512) + " bytes");
    NewTrial();
    WriteFilters(UnlimitedCommand(), false, false);
    // POSIX sh counts the limit in blocks of 512 bytes.
    std::vector<std::string> args{"/bin/sh", "-c",
                                  "ulimit -S -f " + std::to_string(blocks) + " && exec \"$@\"",
                                  "sh"};
    for (const std::string& arg : Args(maxReq)) args.push_back(arg);
    const testutil::RunResult first = testutil::Child(args).Finish();
    const bool failed =
        first.err.find("pelliton: error writing to '" + file("mbox") + "'\n") != std::string::npos;
    CheckInterrupted(first, failed ? 1 : 0);
    if (HasFailure()) break;
    EXPECT_LE(testutil::ReadFile(file("mbox")).size(), blocks * 512);
    if (failed) ++cut;
    CheckComplete(Run(maxReq));
    if (HasFailure()) break;
  }
  EXPECT_GT(cut, 1);
}

// Delivery into the first mailbox fails for article six, with every window
// size: the run stops, and nothing numbered above the failed delivery is
// delivered, though bodies behind it may be on their way; the next run,
// with the mailbox's directory in place, delivers the rest.
TEST_F(FaultTrials, DeliveriesFailForSomeArticles) {
  for (int maxReq : {1, 2, 3, 4, 8}) {
    SCOPED_TRACE("-n " + std::to_string(maxReq));
    NewTrial(false);
    testutil::RunResult first = Run(maxReq);
    EXPECT_NE(std::string::npos, first.err.find("unable to open file")) << first.err;
    CheckInterrupted(first, 1);
    EXPECT_EQ(0u, CheckMessages("mbox", &Article::toMailbox).count(kGroupOne + "/8"));
    MakeLater();
    CheckComplete(Run(maxReq));
    if (HasFailure()) break;
  }
}

// The server refuses some requests with 503: each newsgroup stops at its
// first refused article and the run goes on; the next run fetches from
// there.
void FaultTrials::RefuseSome(const std::vector<std::vector<std::string>>& refusals) {
  int trial = 0;
  for (const auto& refused : refusals) {
    for (int maxReq : {1, 4}) {
      std::string name;
      for (const std::string& command : refused) name += command + ", ";
      SCOPED_TRACE(name + "-n " + std::to_string(maxReq));
      ++trial;
      NewTrial();
      for (const std::string& command : refused)
        server_.SetReply(command, "503 program fault\r\n");
      testutil::RunResult first = Run(maxReq);
      server_.ClearReplies();
      EXPECT_NE(std::string::npos, first.err.find(": server refused ")) << first.err;
      EXPECT_EQ(std::string::npos, first.err.find("out of step")) << first.err;
      CheckInterrupted(first, 1);
      CheckComplete(Run(maxReq));
      if (HasFailure()) return;
    }
  }
}

// A status line without an article number comes after an answer, as from
// a server that answers one request twice or has its lines crossed: it is
// taken for the answer to the next request, whose real answer then comes
// out of step.  The run ends with status 1, and the next run starts no
// later than the article that the stray line settled.
void FaultTrials::StrayLines(const std::vector<Stray>& strays) {
  for (const Stray& stray : strays) {
    for (int maxReq : {1, 4}) {
      SCOPED_TRACE(stray.command + " then " + stray.line + "-n " + std::to_string(maxReq));
      NewTrial();
      const Article* article = nullptr;
      for (const Article& a : articles_)
        if (a.group == stray.group && a.number == stray.number) article = &a;
      ASSERT_NE(nullptr, article);
      server_.SetReply(stray.command, WireAnswer(stray.command, *article) + stray.line);
      testutil::RunResult first = Run(maxReq);
      server_.ClearReplies();
      CheckInterrupted(first, 1);
      CheckComplete(Run(maxReq));
      if (HasFailure()) return;
    }
  }
}

TEST_F(FaultTrials, StrayStatusLines) {
  StrayLines({{kGroupOne, 1, "BODY 1", "423 no such article\r\n"},
              {kGroupOne, 6, "BODY 6", "430 no such article\r\n"},
              {kGroupOne, 8, "BODY 8", "503 program fault\r\n"},
              {kGroupOne, 2, "HEAD 2", "423 no such article\r\n"},
              {kGroupTwo, 2, "BODY 2", "423 no such article\r\n"}});
}

TEST_F(FaultTrials, OverviewStrayStatusLines) {
  overview_ = true;
  StrayLines({{kGroupOne, 1, "ARTICLE 1", "423 no such article\r\n"},
              {kGroupOne, 6, "ARTICLE 6", "430 no such article\r\n"},
              {kGroupTwo, 2, "ARTICLE 2", "503 program fault\r\n"}});
}

TEST_F(FaultTrials, ServerRefusesSomeArticles) {
  RefuseSome({{"HEAD 1"}, {"BODY 1"}, {"BODY 3"}, {"HEAD 4"}, {"BODY 6", "HEAD 2"}, {"HEAD 7"},
              {"BODY 8"}, {"HEAD 10"}});
}

// The server trickles the body of article six a byte at a time, so that
// a drain waiting for it would never end, while SIGINT lands twice: the
// first time after the k-th command, or a while after body six was asked
// for, and again a moment later.
TEST_F(FaultTrials, SecondSignalWhileTheServerTrickles) {
  std::string endless = "222 6 <6.trickle@fault.example>\r\n";
  for (int i = 0; i < 20000; ++i) endless += "a line of a body that takes hours " + std::to_string(i) + "\r\n";
  for (int trial = 0; trial < 10; ++trial) {
    NewTrial();
    const int maxReq = trial % 2 == 0 ? 1 : 4;
    const bool early = trial < 4;
    const int k = 2 + 2 * trial;
    const auto offset = std::chrono::milliseconds(40 * (trial - 4));
    SCOPED_TRACE((early ? "SIGINT after command " + std::to_string(k)
                        : "SIGINT " + std::to_string(offset.count()) + " ms into body six") +
                 ", -n " + std::to_string(maxReq));
    server_.SetChunkSize(1);
    server_.SetReply("BODY 6", endless + ".\r\n");
    server_.ClearLog();
    auto child = Start(maxReq);
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
      for (int i = 0; i < 200 && !finished; ++i) std::this_thread::sleep_for(100ms);
      if (!finished) child->Signal(SIGKILL);
    });
    if (early) {
      server_.WaitForLog(static_cast<std::size_t>(k), 5s);
    } else {
      for (int i = 0; i < 500; ++i) {
        std::vector<std::string> commands = server_.Commands();
        if (std::find(commands.begin(), commands.end(), "BODY 6") != commands.end()) break;
        std::this_thread::sleep_for(10ms);
      }
      std::this_thread::sleep_for(offset);
    }
    child->Signal(SIGINT);
    std::this_thread::sleep_for(300ms);
    child->Signal(SIGINT);
    testutil::RunResult first = child->Finish();
    finished = true;
    watchdog.join();
    server_.SetChunkSize(0);
    server_.ClearReplies();
    CheckInterrupted(first, 0);
    CheckComplete(Run(maxReq));
    if (HasFailure()) break;
  }
}

// The same faults with every newsgroup read from the overview: hang-ups
// that cut OVER answers and articles, signals while they are awaited, and
// refused articles; each article still arrives exactly once over two runs.
TEST_F(FaultTrials, OverviewServerHangsUpAtAnyPoint) {
  overview_ = true;
  HangUpEverywhere(71, 20);
}

// A compressed connection lost anywhere, on both ways of reading: the
// plaintext before the cut is what an uncompressed run would have read.
TEST_F(FaultTrials, CompressedServerHangsUpAtAnyPoint) {
  Compress();
  HangUpEverywhere(211, 10);
  overview_ = true;
  HangUpEverywhere(307, 6);
}

TEST_F(FaultTrials, OverviewInterruptedAtAnyMoment) {
  overview_ = true;
  InterruptEverywhere(10);
}

TEST_F(FaultTrials, OverviewServerRefusesSomeArticles) {
  overview_ = true;
  RefuseSome({{"ARTICLE 1"}, {"ARTICLE 6"}, {"ARTICLE 8", "ARTICLE 2"}});
}

// --- Killed at any moment ----------------------------------------------------

// Many small newsgroups, or one long one, their answers delayed, so that
// a run lasts well beyond the interval of the saves along the way.  Runs
// are killed with SIGKILL at random moments; a run that nothing stops is
// watched with strace while it saves.
class KillTrials : public ::testing::Test {
 protected:
  static constexpr int kGroups = 36;
  static constexpr int kArticles = 2;  // in each newsgroup
  static constexpr int kLongArticles = 100;  // in the long newsgroup
  static constexpr auto kDelay = 50ms;
  // The saves along the way come 5 seconds apart at the least, each after
  // the newsgroup that ends the interval, or in the middle of a long one
  // after the article that ends it; a newsgroup here takes a quarter of a
  // second, and ends of a second are left for a loaded machine.
  static constexpr auto kUnsavedAtMost = 6500ms;
  static constexpr const char* kLongGroup = "pelliton.kill.long";

  static std::string Group(int g) {
    return "pelliton.kill.g" + std::string(g < 10 ? "0" : "") + std::to_string(g);
  }
  static std::string Id(int g, int n) { return Id(Group(g), n); }
  static std::string Id(const std::string& group, int n) {
    return std::to_string(n) + "." + group + "@kill.example";
  }

  void SetUp() override {
    auto add = [this](const std::string& group, int n) {
      server_.AddArticle(group, n,
                         "From: k@kill.example\nSubject: keep\nMessage-ID: <" + Id(group, n) + ">",
                         "body of " + Id(group, n));
    };
    for (int g = 0; g < kGroups; ++g)
      for (int n = 1; n <= kArticles; ++n) add(Group(g), n);
    for (int n = 1; n <= kLongArticles; ++n) add(kLongGroup, n);
    port_ = server_.Start();
    ASSERT_GT(port_, 0);
  }

  // The files of one run in a directory of its own; every newsgroup goes
  // into the Maildir "md/", and, with mailboxes, its articles also into one
  // of two mailboxes.  A long trial reads the long newsgroup alone.
  std::unique_ptr<testutil::TempDir> NewTrial(bool mailboxes, bool isLong = false) const {
    auto dir = std::make_unique<testutil::TempDir>();
    testutil::WriteFile(dir->file("servers"), "[kill]\nhost 127.0.0.1\nport " +
                                                  std::to_string(port_) + "\nconfig " +
                                                  dir->file("filters") + "\nnewsrc " +
                                                  dir->file("newsrc") + "\ntimeout 20\n");
    std::string filters;
    for (int g = 0; g < kGroups && !isLong; ++g) {
      filters += Group(g) + ":\n" + dir->file("md/") + "\n";
      if (mailboxes) filters += Group(g) + ":\n" + dir->file(g % 3 == 0 ? "a" : "b") + "\n";
    }
    if (isLong) filters = std::string(kLongGroup) + ":\n" + dir->file("md/") + "\n";
    testutil::WriteFile(dir->file("filters"), filters);
    return dir;
  }

  std::vector<std::string> Args(const testutil::TempDir& dir) const {
    return {testutil::PellitonBinary(), "-f", dir.file("servers"), "kill"};
  }

  // Every newsgroup of the filter file, in its order, at most fully read.
  void CheckNewsrc(const testutil::TempDir& dir, bool complete, bool isLong = false) const {
    const std::string text = testutil::ReadFile(dir.file("newsrc"));
    if (text.empty() && !complete) return;  // not saved yet
    const std::regex line(R"(([^:]+): 1-([0-9]+))");
    std::vector<std::string> lines = Lines(text);
    const int groups = isLong ? 1 : kGroups;
    const int articles = isLong ? kLongArticles : kArticles;
    ASSERT_EQ(static_cast<std::size_t>(groups), lines.size()) << text;
    for (int g = 0; g < groups; ++g) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(lines[g], m, line)) << lines[g];
      EXPECT_EQ(isLong ? kLongGroup : Group(g), m[1].str());
      const int last = std::stoi(m[2].str());
      if (complete)
        EXPECT_EQ(articles, last) << lines[g];
      else
        EXPECT_LE(last, articles) << lines[g];
    }
  }

  // When each article was put into the Maildir, from the names of the
  // message files ("<seconds>.M<microseconds>P...").
  std::map<std::string, std::vector<std::chrono::system_clock::time_point>> Deliveries(
      const testutil::TempDir& dir) const {
    std::map<std::string, std::vector<std::chrono::system_clock::time_point>> seen;
    const std::regex name(R"(([0-9]+)\.M([0-9]+)P.*)");
    for (const std::string& file : testutil::ListDir(dir.file("md/new"))) {
      std::smatch m;
      if (!std::regex_match(file, m, name)) {
        ADD_FAILURE() << "odd name in the Maildir: " << file;
        continue;
      }
      const std::string text = testutil::ReadFile(dir.file("md/new/" + file));
      const std::size_t at = text.find("Message-ID: <");
      const std::size_t end = text.find('>', at);
      if (at == std::string::npos || end == std::string::npos) {
        ADD_FAILURE() << "no Message-ID in " << file;
        continue;
      }
      seen[text.substr(at + 13, end - at - 13)].push_back(
          std::chrono::system_clock::time_point(std::chrono::seconds(std::stoll(m[1].str())) +
                                                std::chrono::microseconds(std::stoll(m[2].str()))));
    }
    return seen;
  }

  testserver::NewsServer server_;
  int port_ = -1;
};

TEST_F(KillTrials, AKilledRunLosesNothingAndRepeatsOnlyItsLastSeconds) {
  const bool canTrace = testutil::FileExists("/usr/bin/strace") &&
                        testutil::Child({"/usr/bin/strace", "-o", "/dev/null", "/bin/true"})
                                .Finish()
                                .status == 0;
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  server_.SetDelay(kDelay);

  // One moment in each stretch of the run, the last ones after the first
  // save along the way; and a run that goes to its end.  Runs of the long
  // newsgroup alone (10 s) are killed in its middle, after the first save
  // along the way, and late enough that a run which saved nothing before
  // its end would deliver articles again that came more than
  // kUnsavedAtMost before the kill.
  constexpr int kKilled = 9;
  constexpr int kLongFrom = 6;  // the trials from here on are long
  std::vector<std::unique_ptr<testutil::TempDir>> dirs;
  std::vector<std::unique_ptr<testutil::Child>> runs;
  std::vector<std::chrono::milliseconds> killAfter;
  for (int i = 0; i < kKilled; ++i) {
    const bool isLong = i >= kLongFrom;
    dirs.push_back(NewTrial(false, isLong));
    std::uniform_int_distribution<int> within =
        isLong ? std::uniform_int_distribution<int>(7000 + 600 * (i - kLongFrom),
                                                    7000 + 600 * (i - kLongFrom + 1) - 1)
               : std::uniform_int_distribution<int>(300 + 1350 * i, 300 + 1350 * (i + 1) - 1);
    killAfter.push_back(std::chrono::milliseconds(within(random)));
  }
  std::unique_ptr<testutil::TempDir> watched = NewTrial(true);
  const std::string trace = watched->file("trace");
  std::unique_ptr<testutil::Child> watchedRun;
  if (canTrace) {
    std::vector<std::string> args{"/usr/bin/strace", "-f", "-qq", "-y", "--seccomp-bpf",
                                  "-o", trace, "-e",
                                  "trace=writev,fsync,fdatasync,rename,renameat,renameat2"};
    for (const std::string& arg : Args(*watched)) args.push_back(arg);
    // LeakSanitizer cannot work under ptrace.
    const char* asan = std::getenv("ASAN_OPTIONS");
    watchedRun = std::make_unique<testutil::Child>(
        args, std::map<std::string, std::string>{
                  {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":detect_leaks=0"}});
  }
  const auto start = std::chrono::steady_clock::now();
  for (const auto& dir : dirs) runs.push_back(std::make_unique<testutil::Child>(Args(*dir)));
  std::vector<std::chrono::system_clock::time_point> killedAt(kKilled);
  std::vector<int> order(kKilled);
  for (int i = 0; i < kKilled; ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](int a, int b) { return killAfter[a] < killAfter[b]; });
  for (int i : order) {
    std::this_thread::sleep_until(start + killAfter[i]);
    killedAt[i] = std::chrono::system_clock::now();
    runs[i]->Signal(SIGKILL);
  }
  std::vector<testutil::RunResult> first;
  for (auto& run : runs) first.push_back(run->Finish());
  server_.SetDelay(0us);

  for (int i = 0; i < kKilled; ++i) {
    SCOPED_TRACE("killed after " + std::to_string(killAfter[i].count()) + " ms");
    EXPECT_TRUE(first[i].status == 128 + SIGKILL || first[i].status == 0) << first[i].err;
    CheckNewsrc(*dirs[i], false, i >= kLongFrom);
    runs[i] = std::make_unique<testutil::Child>(Args(*dirs[i]));
  }
  for (int i = 0; i < kKilled; ++i) {
    SCOPED_TRACE("killed after " + std::to_string(killAfter[i].count()) + " ms");
    const testutil::TempDir& dir = *dirs[i];
    const testutil::RunResult second = runs[i]->Finish();
    EXPECT_EQ(0, second.status) << second.err;
    CheckNewsrc(dir, true, i >= kLongFrom);
    const auto deliveries = Deliveries(dir);
    EXPECT_EQ(static_cast<std::size_t>(i >= kLongFrom ? kLongArticles : kGroups * kArticles),
              deliveries.size());
    for (const auto& [id, times] : deliveries) {
      ASSERT_LE(times.size(), 2u) << id;
      if (times.size() == 1) continue;
      // Delivered by the killed run and again by the next: the killed run
      // had not saved it yet, which it does at the latest a few seconds on.
      const auto earlier = std::min(times[0], times[1]);
      EXPECT_LE(killedAt[i] - earlier, kUnsavedAtMost)
          << id << " was delivered again although it came "
          << std::chrono::duration_cast<std::chrono::milliseconds>(killedAt[i] - earlier).count()
          << " ms before the kill";
    }
  }

  if (!watchedRun) GTEST_SKIP() << "no strace to watch a run's saves with";
  const testutil::RunResult watchedResult = watchedRun->Finish();
  ASSERT_EQ(0, watchedResult.status) << watchedResult.err;
  CheckNewsrc(*watched, true);
  // Before the newsrc file is replaced, each mailbox written since the
  // last save is synced, once; the run saved along the way as well.
  const std::regex call(R"([0-9]+ +(writev|fsync|fdatasync|rename[a-z0-9]*)\((.*))");
  const std::string a = watched->file("a"), b = watched->file("b");
  std::set<std::string> unsynced;
  std::map<std::string, int> syncs;
  int saves = 0;
  for (const std::string& line : Lines(testutil::ReadFile(trace))) {
    std::smatch m;
    if (!std::regex_match(line, m, call)) continue;
    const std::string what = m[1].str(), rest = m[2].str();
    for (const std::string& mailbox : {a, b}) {
      const bool onIt = rest.find("<" + mailbox + ">") != std::string::npos;
      if (onIt && what == "writev") unsynced.insert(mailbox);
      if (onIt && (what == "fsync" || what == "fdatasync")) {
        EXPECT_EQ(1u, unsynced.count(mailbox)) << "synced with nothing new: " << line;
        unsynced.erase(mailbox);
        ++syncs[mailbox];
      }
    }
    if (what.rfind("rename", 0) == 0 && rest.find(watched->file("newsrc") + "\"") != std::string::npos) {
      EXPECT_TRUE(unsynced.empty()) << "newsrc replaced before a mailbox was synced: " << line;
      ++saves;
    }
  }
  EXPECT_GE(saves, 2) << "no save along the way";
  EXPECT_GE(syncs[a], 1);
  EXPECT_GE(syncs[b], 1);
  EXPECT_LE(syncs[a], saves);
  EXPECT_LE(syncs[b], saves);
}

}  // namespace
