// COMPRESS DEFLATE end to end: the real binary against the scripted news
// server.  A compressed run must leave exactly what the same run leaves
// uncompressed, however the server flushes; a server that does not offer
// or refuses compression is talked to uncompressed; a broken stream is a
// lost connection that loses no article; a bomb costs no memory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "certs.h"
#include "mailbox.h"
#include "newsserver.h"
#include "test_util.h"

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;
using testserver::CompressSettings;
using testserver::NewsServer;
using testserver::TlsMode;
using testserver::TlsSettings;
using testutil::ReadFile;
using testutil::WriteFile;
using Commands = std::vector<std::string>;

const char* const kBulk = "pelliton.test.bulk";

// What a run left behind, and what crossed the wire for it.
struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
  std::string newsrc;
  std::vector<std::string> mbox;  // the sample spool's newsgroups
  std::vector<std::string> bulk;  // the matching articles of the bulk newsgroup
  Commands commands;
  std::string plainReceived;
  std::uint64_t wireSent = 0;
  long maxRssKb = 0;
};

Commands Sorted(Commands c) {
  std::sort(c.begin(), c.end());
  return c;
}

Commands Without(Commands c, const std::string& command) {
  c.erase(std::remove(c.begin(), c.end(), command), c.end());
  return c;
}

class CompressRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server.LoadSpool(std::string(PELLITON_SOURCE_DIR) + "/tests/data/spool", &error))
        << error;
    // Articles of 3 KB of text, one in seven matching.
    server.AddSyntheticGroup(kBulk, 120, 7);
    port = server.Start();
    ASSERT_GT(port, 0);
  }

  void Offer(CompressSettings settings = {}) {
    settings.offer = true;
    server.SetCompress(settings);
  }

  // The files of one run in a fresh directory: the newsrc as given, the
  // mailboxes empty; `extra` goes into the server's section.  Returns the
  // arguments of the run.
  std::vector<std::string> Prepare(const std::string& extra,
                                   const std::vector<std::string>& options,
                                   const std::string& newsrc = "") {
    dir = std::make_unique<testutil::TempDir>();
    std::string filters;
    for (const char* group : {"pelliton.test.announce", "pelliton.test.misc",
                              "pelliton.test.tricky"})
      filters += std::string(group) + ":\n" + dir->file("mbox") + "\n";
    filters += std::string(kBulk) + ":\n* ^Subject:.*\\(match\\)\n" + dir->file("bulk") + "\n";
    WriteFile(dir->file("filters"), filters);
    WriteFile(dir->file("servers"), "[news]\nhost " + host + "\nport " + std::to_string(port) +
                                        "\nconfig " + dir->file("filters") + "\nnewsrc " +
                                        dir->file("newsrc") + "\ntimeout 20\n" + extra);
    chmod(dir->file("servers").c_str(), 0600);
    WriteFile(dir->file("newsrc"), newsrc);
    server.ClearLog();
    std::vector<std::string> args = {"-f", dir->file("servers")};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("news");
    return args;
  }

  // One run from an empty newsrc (or the one given) into empty mailboxes.
  Outcome Run(const std::string& extra, const std::vector<std::string>& options,
              const std::string& newsrc = "") {
    const std::vector<std::string> args = Prepare(extra, options, newsrc);
    const std::uint64_t sentBefore = server.WireBytesSent();
    const testutil::RunResult r = testutil::RunPelliton(args);
    EXPECT_TRUE(server.WaitForIdle(5000ms));
    Outcome o;
    o.status = r.status;
    o.out = r.out;
    o.err = r.err;
    o.newsrc = ReadFile(dir->file("newsrc"));
    o.mbox = testutil::Messages(dir->file("mbox"));
    o.bulk = testutil::Messages(dir->file("bulk"));
    o.commands = server.Commands();
    o.plainReceived = server.PlainReceived();
    o.wireSent = server.WireBytesSent() - sentBefore;
    o.maxRssKb = r.maxRssKb;
    return o;
  }

  // The same results, byte for byte, whichever way the bytes travelled.
  static void ExpectSameResults(const Outcome& plain, const Outcome& compressed) {
    EXPECT_EQ(0, plain.status) << plain.err;
    EXPECT_EQ(plain.status, compressed.status);
    EXPECT_EQ(plain.err, compressed.err);
    EXPECT_EQ(plain.newsrc, compressed.newsrc);
    EXPECT_EQ(plain.mbox, compressed.mbox);
    EXPECT_EQ(plain.bulk, compressed.bulk);
    EXPECT_EQ(9u, plain.mbox.size());
    EXPECT_EQ(120u / 7, plain.bulk.size());
  }

  NewsServer server;
  int port = 0;
  std::string host = "127.0.0.1";
  std::unique_ptr<testutil::TempDir> dir;
};

TEST_F(CompressRunTest, CompressedRunsLeaveWhatUncompressedRunsLeave) {
  const testcerts::CertSet& certs = testcerts::SharedCerts();
  const struct {
    const char* name;
    std::string extra;
    std::vector<std::string> options;
    int flushEvery;
    bool tls;
  } cases[] = {
      {"-n 1", "", {"-n", "1"}, 0, false},
      {"-n 32", "", {"-n", "32"}, 0, false},
      {"-n 32, from the overview", "overview yes\n", {"-n", "32"}, 0, false},
      {"-n 8, over TLS", "tls yes\ncafile " + certs.caCert + "\n", {"-n", "8"}, 0, true},
      // A flush every few bytes: reads end anywhere in the stream.
      {"-n 4, a flush every 7 bytes", "", {"-n", "4"}, 7, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.tls) {
      TlsSettings tls;
      tls.mode = TlsMode::kImplicit;
      tls.chainFile = certs.serverChain;
      tls.keyFile = certs.serverKey;
      std::string error;
      ASSERT_TRUE(server.SetTls(tls, &error)) << error;
      host = "localhost";
    }
    CompressSettings settings;
    settings.flushEvery = c.flushEvery;
    Offer(settings);
    const Outcome plain = Run(c.extra, c.options);
    const Outcome compressed = Run(c.extra + "compress yes\n", c.options);
    ExpectSameResults(plain, compressed);

    // Uncompressed, the conversation is today's: no word of capabilities
    // unless the overview asks, none of COMPRESS.
    EXPECT_EQ(c.extra.find("overview") != std::string::npos ? 1 : 0,
              std::count(plain.commands.begin(), plain.commands.end(), "CAPABILITIES"));
    // Compressed: the list asked once, right after connecting, then
    // COMPRESS; then the same requests.
    ASSERT_GE(compressed.commands.size(), 2u);
    EXPECT_EQ((Commands{"CAPABILITIES", "COMPRESS DEFLATE"}),
              Commands(compressed.commands.begin(), compressed.commands.begin() + 2));
    const Commands after(compressed.commands.begin() + 2, compressed.commands.end());
    EXPECT_EQ(Sorted(Without(plain.commands, "CAPABILITIES")), Sorted(after));
    if (c.options[1] == "1") {
      EXPECT_EQ(Without(plain.commands, "CAPABILITIES"), after);
    }
    // Nothing after COMPRESS went out in plain text.
    if (!c.tls) {
      EXPECT_THAT(compressed.plainReceived, Not(HasSubstr("GROUP")));
    }
    if (c.flushEvery == 0) {
      EXPECT_LT(compressed.wireSent * 3, plain.wireSent)
          << compressed.wireSent << " bytes against " << plain.wireSent;
    }

    if (c.tls) {
      std::string error;
      ASSERT_TRUE(server.SetTls(TlsSettings{}, &error)) << error;
      host = "127.0.0.1";
    }
  }
}

TEST_F(CompressRunTest, WhatComesBeforeCompressionAndWhenItDoesNotCome) {
  Offer();
  const Outcome reference = Run("", {"-n", "4"});
  const struct {
    const char* name;
    bool offer;
    bool transit;               // the server wants MODE READER first
    const char* reply;          // a canned answer to this command ...
    const char* replyText;      // ... this one
    Commands before;            // the conversation up to the first GROUP
    const char* line;           // the line under -v
  } cases[] = {
      {"offered", true, false, "", "", {"CAPABILITIES", "COMPRESS DEFLATE"},
       "Compression established: DEFLATE\n"},
      {"offered in reader mode only", true, true, "", "",
       {"CAPABILITIES", "MODE READER", "CAPABILITIES", "COMPRESS DEFLATE"},
       "Compression established: DEFLATE\n"},
      {"not offered", false, false, "", "", {"CAPABILITIES"},
       "The server does not offer COMPRESS DEFLATE; going on uncompressed\n"},
      {"no capability list", true, false, "CAPABILITIES", "500 What?\r\n", {"CAPABILITIES"},
       "The server does not offer COMPRESS DEFLATE; going on uncompressed\n"},
      {"refused, 403", true, false, "COMPRESS", "403 Not now\r\n",
       {"CAPABILITIES", "COMPRESS DEFLATE"},
       "The server refused COMPRESS DEFLATE -- 403 Not now; going on uncompressed\n"},
      {"refused, 502", true, false, "COMPRESS", "502 Already active\r\n",
       {"CAPABILITIES", "COMPRESS DEFLATE"},
       "The server refused COMPRESS DEFLATE -- 502 Already active; going on uncompressed\n"},
      {"refused, 503", true, false, "COMPRESS", "503 No such algorithm\r\n",
       {"CAPABILITIES", "COMPRESS DEFLATE"},
       "The server refused COMPRESS DEFLATE -- 503 No such algorithm; going on uncompressed\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CompressSettings settings;
    settings.offer = c.offer;
    server.SetCompress(settings);
    server.SetReaderModeSwitch(c.transit);
    server.ClearReplies();
    if (*c.reply != '\0') server.SetReply(c.reply, c.replyText);

    const Outcome o = Run("compress yes\n", {"-v", "-n", "4"});
    EXPECT_EQ(0, o.status);
    EXPECT_THAT(o.err, HasSubstr(c.line));
    EXPECT_THAT(o.err, Not(HasSubstr("pelliton: ")));
    EXPECT_EQ(reference.mbox, o.mbox);
    EXPECT_EQ(reference.bulk, o.bulk);
    EXPECT_EQ(reference.newsrc, o.newsrc);
    const auto group = std::find_if(o.commands.begin(), o.commands.end(), [](const auto& s) {
      return s.rfind("GROUP ", 0) == 0;
    });
    EXPECT_EQ(c.before, Commands(o.commands.begin(), group));
    // Uncompressed, the rest went as plain text; compressed, none of it.
    const bool compressed = std::string(c.line).find("established") != std::string::npos;
    EXPECT_EQ(!compressed, o.plainReceived.find("GROUP") != std::string::npos);
  }
}

// The stream broken off at various places, at -n 1 and -n 16: the run
// ends as after a lost connection, and the next run delivers exactly the
// articles that the broken one did not deliver whole.
TEST_F(CompressRunTest, ABrokenStreamLosesNothingAndDeliversNothingTwice) {
  Offer();
  const Outcome reference = Run("", {"-n", "16"});
  const struct {
    const char* n;
    std::int64_t corruptAfter;  // bytes of plaintext after the 206
  } cases[] = {{"1", 0}, {"1", 2500}, {"1", 40000}, {"16", 9000}, {"16", 100000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("-n ") + c.n + ", broken after " + std::to_string(c.corruptAfter));
    CompressSettings broken;
    broken.corruptAfter = c.corruptAfter;
    Offer(broken);
    const Outcome first = Run("compress yes\n", {"-n", c.n});
    EXPECT_EQ(1, first.status);
    EXPECT_EQ("pelliton: error talking to NNTP server -- invalid block type\n", first.err);
    EXPECT_LT(first.mbox.size() + first.bulk.size(), reference.mbox.size() + reference.bulk.size());

    Offer();
    const Outcome second = Run("compress yes\n", {"-n", c.n}, first.newsrc);
    EXPECT_EQ(0, second.status) << second.err;
    EXPECT_EQ(reference.newsrc, second.newsrc);
    // In order, whole, and each once.
    std::vector<std::string> mbox = first.mbox;
    mbox.insert(mbox.end(), second.mbox.begin(), second.mbox.end());
    std::vector<std::string> bulk = first.bulk;
    bulk.insert(bulk.end(), second.bulk.begin(), second.bulk.end());
    EXPECT_EQ(reference.mbox, mbox);
    EXPECT_EQ(reference.bulk, bulk);
  }
}

TEST_F(CompressRunTest, ABombTakesNoMoreMemoryThanAnOrdinaryRun) {
  Offer();
  const Outcome ordinary = Run("compress yes\narticlelimit 1m\n", {"-n", "8"});
  ASSERT_EQ(0, ordinary.status) << ordinary.err;

  // A quarter of a gigabyte of one line in the body of a matching
  // article, from about a quarter of a megabyte on the wire.
  CompressSettings bomb;
  bomb.bombCommand = "BODY 14";
  bomb.bombBytes = std::uint64_t{256} << 20;
  Offer(bomb);
  const Outcome o = Run("compress yes\narticlelimit 1m\n", {"-n", "8"});
  // So long an answer is taken for one without end: the article is passed
  // over for good, and the connection given up as out of step.
  EXPECT_EQ(1, o.status);
  EXPECT_EQ(
      "pelliton: article 14: larger than 1048576 bytes, skipped\n"
      "pelliton: article 14: answer too long, taken as out of step with the requests\n",
      o.err);
  EXPECT_LT(o.wireSent, std::uint64_t{1} << 20);
  // Within a few megabytes of the ordinary run: nothing in the client
  // holds more than a read's worth of what the bomb inflates to.
  EXPECT_LT(o.maxRssKb, ordinary.maxRssKb + 16 * 1024)
      << o.maxRssKb << " KB against " << ordinary.maxRssKb << " KB";

  // The next run delivers every other article, each once.
  Offer();
  const Outcome next = Run("compress yes\narticlelimit 1m\n", {"-n", "8"}, o.newsrc);
  EXPECT_EQ(0, next.status) << next.err;
  std::vector<std::string> bulk = ordinary.bulk;
  bulk.erase(bulk.begin() + 1);
  std::vector<std::string> both = o.bulk;
  both.insert(both.end(), next.bulk.begin(), next.bulk.end());
  EXPECT_EQ(bulk, both);
  std::vector<std::string> mbox = o.mbox;
  mbox.insert(mbox.end(), next.mbox.begin(), next.mbox.end());
  EXPECT_EQ(ordinary.mbox, mbox);
  EXPECT_EQ(ordinary.newsrc, next.newsrc);
}

TEST_F(CompressRunTest, ListingAndMarkingAreCompressedToo) {
  Offer();
  const struct {
    const char* name;
    std::vector<std::string> options;
  } cases[] = {{"-l", {"-l"}}, {"-C", {"-C"}}, {"-c", {"-c", kBulk}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome plain = Run("", c.options);
    const Outcome compressed = Run("compress yes\n", c.options);
    EXPECT_EQ(0, compressed.status);
    EXPECT_EQ(plain.out, compressed.out);
    EXPECT_EQ(plain.err, compressed.err);
    EXPECT_EQ(plain.newsrc, compressed.newsrc);
    Commands expected = {"CAPABILITIES", "COMPRESS DEFLATE"};
    expected.insert(expected.end(), plain.commands.begin(), plain.commands.end());
    EXPECT_EQ(expected, compressed.commands);
    EXPECT_THAT(compressed.plainReceived, Not(HasSubstr("QUIT")));
  }
}

// A signal while compressed answers come in: the engine still reads what
// it asked for, the run ends with status 0, and the next run delivers the
// rest, each article once.
TEST_F(CompressRunTest, AStopSignalWhileFetchingCompressedLosesNothing) {
  Offer();
  const Outcome reference = Run("compress yes\n", {"-n", "4"});
  std::vector<std::string> argv = Prepare("compress yes\n", {"-n", "4"});
  argv.insert(argv.begin(), testutil::PellitonBinary());
  // The signal is sent as HEAD 30 arrives, before it is answered, so that
  // the run cannot have got further whatever the machine's load.
  std::atomic<pid_t> run{0};
  server.SetLogSink([&run](const testserver::LogEntry& entry) {
    if (entry.command != "HEAD 30") return;
    while (run.load() == 0) std::this_thread::yield();
    kill(run.load(), SIGINT);
  });
  testutil::Child child(argv);
  run = child.pid();
  const testutil::RunResult r = child.Finish(10000ms);
  server.SetLogSink(nullptr);
  EXPECT_TRUE(server.WaitForIdle(5000ms));
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("pelliton: signal caught... exiting\n", r.err);
  const std::vector<std::string> firstBulk = testutil::Messages(dir->file("bulk"));
  const std::vector<std::string> firstMbox = testutil::Messages(dir->file("mbox"));
  const std::string firstNewsrc = ReadFile(dir->file("newsrc"));
  EXPECT_LT(firstBulk.size(), reference.bulk.size());

  const Outcome second = Run("compress yes\n", {"-n", "4"}, firstNewsrc);
  EXPECT_EQ(0, second.status) << second.err;
  std::vector<std::string> bulk = firstBulk;
  bulk.insert(bulk.end(), second.bulk.begin(), second.bulk.end());
  EXPECT_EQ(reference.bulk, bulk);
  EXPECT_EQ(reference.mbox, firstMbox);
  EXPECT_TRUE(second.mbox.empty());
  EXPECT_EQ(reference.newsrc, second.newsrc);
}

TEST_F(CompressRunTest, AStopSignalWhileCompressionIsAskedForEndsTheRunAtOnce) {
  Offer();
  // COMPRESS is never answered.
  server.SetReply("COMPRESS", "");
  const std::string newsrc = "pelliton.test.misc: 1-9\n";
  std::vector<std::string> argv = Prepare("compress yes\n", {"-v"}, newsrc);
  argv.insert(argv.begin(), testutil::PellitonBinary());
  testutil::Child child(argv);
  ASSERT_TRUE(server.WaitForLog(2, 5000ms));
  child.Signal(SIGTERM);
  const testutil::RunResult r = child.Finish(10000ms);
  EXPECT_THAT(r.err, HasSubstr("pelliton: signal caught... exiting\n"));
  EXPECT_THAT(r.err, Not(HasSubstr("Compression established")));
  // As after a failed connection: the newsrc is left as it was, and the
  // status is that of a connection refused.
  EXPECT_EQ(newsrc, ReadFile(dir->file("newsrc")));
  const testutil::ClosedPort closed;
  port = closed.port();
  const Outcome refused = Run("compress yes\n", {});
  EXPECT_EQ(refused.status, r.status);
}

// Empty blocks inflate to nothing: a server that sends only them says
// nothing, and the run gives up on it when the timeout says, whether it
// waits for a single answer or for the engine's.  Counted from the last
// byte on the wire, the wait would never end, with the newsrc locked.
TEST_F(CompressRunTest, EmptyBlocksDoNotKeepASilentServerAlive) {
  CompressSettings settings;
  settings.emptyBlockMs = 100;
  Offer(settings);
  struct Case {
    const char* name;
    int answered;  // commands answered before the server falls silent
  };
  // CAPABILITIES, COMPRESS, then the GROUP of the first newsgroup (of
  // three articles), its HEAD requests...
  for (const Case& c : {Case{"waiting for GROUP", 2}, Case{"waiting for a HEAD", 4}}) {
    SCOPED_TRACE(c.name);
    server.StallAfterCommands(c.answered);
    std::vector<std::string> argv = Prepare("compress yes\ntimeout 1\n", {});
    argv.insert(argv.begin(), testutil::PellitonBinary());
    testutil::Child child(argv);
    const testutil::RunResult r = child.Finish(15000ms);
    server.StallAfterCommands(-1);
    EXPECT_TRUE(server.WaitForIdle(5000ms));
    EXPECT_EQ(1, r.status);
    EXPECT_THAT(r.err, HasSubstr("pelliton: timeout talking to NNTP server\n"));
    EXPECT_TRUE(testutil::Messages(dir->file("mbox")).empty());
  }
}

}  // namespace
