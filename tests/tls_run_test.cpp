// TLS and IPv6 end to end: the real binary against the scripted news
// server speaking TLS from the first byte or after STARTTLS, with
// certificates made for the test.  A run over TLS must leave exactly what
// the same run in plain text leaves; a server that cannot prove who it is
// must get nothing secret, and never a word in plain text after the
// greeting.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "certs.h"
#include "mailbox.h"
#include "newsserver.h"
#include "test_util.h"

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;
using testserver::NewsServer;
using testserver::TlsMode;
using testserver::TlsSettings;
using testutil::FileExists;
using testutil::ReadFile;
using testutil::RunResult;
using testutil::WriteFile;

const std::string kPassword = "s3cret-Pa55";
const std::string kNewsrcBefore = "pelliton.test.misc: 1-9\n";

// Certificates made once for all the tests of the process.
const testcerts::CertSet& Certs() { return testcerts::SharedCerts(); }

TlsSettings ServerTls(TlsMode mode, const std::string& chain = Certs().serverChain,
                      const std::string& key = Certs().serverKey) {
  TlsSettings settings;
  settings.mode = mode;
  settings.chainFile = chain;
  settings.keyFile = key;
  return settings;
}

const char* ServerFileTls(TlsMode mode) {
  switch (mode) {
    case TlsMode::kImplicit: return "tls yes\n";
    case TlsMode::kStartTls: return "tls starttls\n";
    default: return "";
  }
}

const char* Name(TlsMode mode) {
  switch (mode) {
    case TlsMode::kImplicit: return "TLS from the first byte";
    case TlsMode::kStartTls: return "STARTTLS";
    default: return "plain text";
  }
}

// The sample spool behind AUTHINFO, one mailbox for every newsgroup.
class TlsRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server.LoadSpool(std::string(PELLITON_SOURCE_DIR) + "/tests/data/spool", &error))
        << error;
    server.SetCredentials("alice", kPassword);
    server.SetRequireAuth(true);
    std::string filters;
    for (const char* group : {"pelliton.test.announce", "pelliton.test.misc",
                              "pelliton.test.tricky"})
      filters += std::string(group) + ":\n" + dir.file("mbox") + "\n";
    WriteFile(dir.file("filters"), filters);
  }

  void StartServer() {
    port = server.Start();
    ASSERT_GT(port, 0);
  }

  // Server, filter and newsrc files for one run, the newsrc as before any.
  void Prepare(const std::string& extra, const std::string& host = "localhost") {
    WriteFile(dir.file("servers"),
              "[news]\nhost " + host + "\nport " + std::to_string(port) + "\nconfig " +
                  dir.file("filters") + "\nnewsrc " + dir.file("newsrc") + "\npostconnect touch " +
                  dir.file("postconnect-ran") + "\nuser alice\npassword " + kPassword +
                  "\ncafile " + Certs().caCert + "\n" + extra);
    chmod(dir.file("servers").c_str(), 0600);
    WriteFile(dir.file("newsrc"), kNewsrcBefore);
    unlink(dir.file("mbox").c_str());
    unlink(dir.file("postconnect-ran").c_str());
    server.ClearLog();
  }

  RunResult Run(const std::vector<std::string>& options) {
    std::vector<std::string> args = {"-f", dir.file("servers")};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("news");
    RunResult r = testutil::RunPelliton(args);
    EXPECT_TRUE(server.WaitForIdle(5000ms));
    // Not in any output, whatever happened.
    EXPECT_THAT(r.out + r.err, Not(HasSubstr(kPassword)));
    return r;
  }

  // Everything a run leaves behind that the user sees.
  struct Outcome {
    int status;
    std::string out, err, newsrc;
    std::vector<std::string> messages;
  };
  Outcome RunAndCollect(const std::vector<std::string>& options) {
    RunResult r = Run(options);
    return {r.status, r.out, r.err, ReadFile(dir.file("newsrc")),
            testutil::Messages(dir.file("mbox"))};
  }

  // A refused server: the run ends as after a failed connection, and
  // nothing of the credentials ever reached the server.
  void ExpectRefusedWithNothingSecretSent(const RunResult& r, const std::string& err) {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ReadFile(dir.file("newsrc")), kNewsrcBefore);
    EXPECT_TRUE(FileExists(dir.file("postconnect-ran")));
    EXPECT_FALSE(FileExists(dir.file("mbox")));
    for (const std::string& command : server.Commands())
      EXPECT_THAT(command, Not(HasSubstr("AUTHINFO")));
    EXPECT_THAT(server.PlainReceived(), Not(HasSubstr("AUTHINFO")));
    EXPECT_THAT(server.PlainReceived(), Not(HasSubstr(kPassword)));
  }

  testutil::TempDir dir;
  NewsServer server;
  int port = 0;
};

TEST_F(TlsRunTest, EveryModeLeavesWhatPlainTextLeaves) {
  const struct {
    const char* name;
    std::vector<std::string> options;
    std::int64_t closeAfterBytes;
  } runs[] = {
      {"fetch -n 1", {"-n", "1"}, -1},
      {"fetch -n 4", {"-n", "4"}, -1},
      {"list", {"-l"}, -1},
      {"mark all", {"-C"}, -1},
      {"mark one", {"-c", "pelliton.test.tricky"}, -1},
      // Byte counts count plaintext, so the server hangs up at the same
      // place in every mode: in the middle of the third article's body.
      {"server hangs up", {"-n", "4"}, 2300},
  };
  StartServer();
  for (const auto& run : runs) {
    SCOPED_TRACE(run.name);
    server.CloseAfterBytes(run.closeAfterBytes);
    Outcome plain{};
    for (TlsMode mode : {TlsMode::kOff, TlsMode::kImplicit, TlsMode::kStartTls}) {
      SCOPED_TRACE(Name(mode));
      std::string error;
      ASSERT_TRUE(server.SetTls(ServerTls(mode), &error)) << error;
      Prepare(ServerFileTls(mode));
      Outcome o = RunAndCollect(run.options);
      if (mode == TlsMode::kOff) {
        plain = o;
        EXPECT_NE(o.newsrc, kNewsrcBefore);
        if (run.closeAfterBytes >= 0) {
          EXPECT_THAT(o.err, HasSubstr("server closed connection... aborting!"));
        }
        continue;
      }
      EXPECT_EQ(o.status, plain.status);
      EXPECT_EQ(o.out, plain.out);
      EXPECT_EQ(o.err, plain.err);
      EXPECT_EQ(o.newsrc, plain.newsrc);
      EXPECT_EQ(o.messages, plain.messages);
      // After the handshake nothing is sent in plain text.
      EXPECT_EQ(server.PlainReceived(), mode == TlsMode::kStartTls ? "STARTTLS\r\n" : "");
      for (const auto& entry : server.Log())
        EXPECT_EQ(entry.tls, entry.command != "STARTTLS") << entry.command;
    }
  }
}

TEST_F(TlsRunTest, ServersThatCannotProveWhoTheyAreGetNothingSecret) {
  const testcerts::CertSet& c = Certs();
  const std::string handshake = "pelliton: TLS handshake with ";
  const struct {
    const char* name;
    TlsMode serverMode;
    std::string clientTls;  // the server file's tls line
    std::string chain, key;
    std::string host;
    std::string startTlsReply;  // canned answer to STARTTLS, if any
    bool hangUp;
    std::string err;
  } cases[] = {
      {"untrusted issuer", TlsMode::kImplicit, "tls yes\n", c.untrustedChain, c.untrustedKey,
       "localhost", "", false,
       handshake + "localhost failed -- self-signed certificate in certificate chain\n"},
      {"untrusted issuer after STARTTLS", TlsMode::kStartTls, "tls starttls\n", c.untrustedChain,
       c.untrustedKey, "localhost", "", false,
       handshake + "localhost failed -- self-signed certificate in certificate chain\n"},
      {"wrong host name", TlsMode::kImplicit, "tls yes\n", c.wrongHostCert, c.wrongHostKey,
       "localhost", "", false, handshake + "localhost failed -- hostname mismatch\n"},
      {"wrong IP address", TlsMode::kStartTls, "tls starttls\n", c.wrongHostCert, c.wrongHostKey,
       "127.0.0.1", "", false, handshake + "127.0.0.1 failed -- IP address mismatch\n"},
      {"expired", TlsMode::kImplicit, "tls yes\n", c.expiredCert, c.expiredKey, "localhost", "",
       false, handshake + "localhost failed -- certificate has expired\n"},
      {"STARTTLS refused", TlsMode::kStartTls, "tls starttls\n", c.serverChain, c.serverKey,
       "localhost", "580 Can not initiate TLS negotiation\r\n", false,
       "pelliton: server refused STARTTLS -- 580 Can not initiate TLS negotiation\n"},
      {"STARTTLS unknown", TlsMode::kOff, "tls starttls\n", c.serverChain, c.serverKey,
       "localhost", "", false, "pelliton: server refused STARTTLS -- 500 unknown command\n"},
      {"plain-text server", TlsMode::kOff, "tls yes\n", c.serverChain, c.serverKey, "localhost",
       "", false,
       handshake +
           "localhost failed -- the server did not answer in TLS: \"200 testserver ready "
           "(posting ok)\"\n"},
      {"hang-up in the handshake", TlsMode::kImplicit, "tls yes\n", c.serverChain, c.serverKey,
       "localhost", "", true, handshake + "localhost failed -- connection closed\n"},
      {"hang-up after STARTTLS", TlsMode::kStartTls, "tls starttls\n", c.serverChain,
       c.serverKey, "localhost", "", true, handshake + "localhost failed -- connection closed\n"},
  };
  StartServer();
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    std::string error;
    ASSERT_TRUE(server.SetTls(ServerTls(t.serverMode, t.chain, t.key), &error)) << error;
    server.ClearReplies();
    if (!t.startTlsReply.empty()) server.SetReply("STARTTLS", t.startTlsReply);
    server.HangUpInHandshake(t.hangUp);
    Prepare(t.clientTls, t.host);
    ExpectRefusedWithNothingSecretSent(Run({}), t.err);
    // Under -v too the password shows nowhere (Run checks every output).
    Run({"-v", "-l"});
  }
}

// Plain text behind the 382 comes from whoever sits on the wire, not from
// the server the certificate proves: taken for the answer to AUTHINFO USER
// it would skip the password and fail the fetch.
TEST_F(TlsRunTest, PlainTextBehindTheStartTlsAnswerIsDropped) {
  std::string error;
  ASSERT_TRUE(server.SetTls(ServerTls(TlsMode::kStartTls), &error)) << error;
  StartServer();
  Prepare("");
  const Outcome plain = RunAndCollect({});
  server.SetReply("STARTTLS", "382 go ahead\r\n281 injected\r\n");
  Prepare("tls starttls\n");
  const Outcome o = RunAndCollect({});
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.newsrc, plain.newsrc);
  EXPECT_EQ(o.messages, plain.messages);
  EXPECT_EQ(server.Commands()[0], "STARTTLS");
  EXPECT_EQ(server.Commands()[2], "AUTHINFO PASS " + kPassword);
  EXPECT_EQ(server.PlainReceived(), "STARTTLS\r\n");
}

TEST_F(TlsRunTest, ACaFileThatCannotBeLoadedCostsNoConnection) {
  WriteFile(dir.file("not-pem"), "just text\n");
  mkdir(dir.file("a-directory").c_str(), 0700);
  const struct {
    std::string file;
    std::string err;
  } cases[] = {
      {dir.file("absent.pem"), "pelliton: " + dir.file("absent.pem") +
                                   ": No such file or directory\n"},
      {dir.file("a-directory"), "pelliton: " + dir.file("a-directory") + ": Is a directory\n"},
      {dir.file("not-pem"),
       "pelliton: " + dir.file("not-pem") + ": no PEM certificate could be read from it\n"},
  };
  std::string error;
  ASSERT_TRUE(server.SetTls(ServerTls(TlsMode::kImplicit), &error)) << error;
  StartServer();
  for (const auto& t : cases) {
    SCOPED_TRACE(t.file);
    // The later cafile line wins over the one Prepare writes.
    Prepare("tls yes\ncafile " + t.file + "\n");
    ExpectRefusedWithNothingSecretSent(Run({}), t.err);
    EXPECT_EQ(server.ConnectionCount(), 0);
  }
}

// The kernel completes the connection, nobody ever answers the hello: the
// timeout ends the handshake as it ends any other wait.
TEST_F(TlsRunTest, ASilentServerTimesOutInTheHandshake) {
  testutil::LocalSocket neverAccepted(true);
  port = neverAccepted.port();
  Prepare("tls yes\ntimeout 1\n");
  RunResult r = testutil::RunPelliton({"-f", dir.file("servers"), "news"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pelliton: timeout talking to NNTP server\n");
  EXPECT_EQ(ReadFile(dir.file("newsrc")), kNewsrcBefore);
  EXPECT_TRUE(FileExists(dir.file("postconnect-ran")));
}

// A full window of requests through socket buffers far smaller than the
// window: writes and reads of the session fall anywhere in its records.
TEST_F(TlsRunTest, LongPipelinesThroughSmallSocketBuffers) {
  server.AddSyntheticGroup("bench.all", 400, 1);
  server.SetSocketBuffers(4096);
  StartServer();
  WriteFile(dir.file("filters"), "bench.all:\n" + dir.file("mbox") + "\n");
  std::vector<std::string> plain;
  for (TlsMode mode : {TlsMode::kOff, TlsMode::kImplicit}) {
    SCOPED_TRACE(Name(mode));
    std::string error;
    ASSERT_TRUE(server.SetTls(ServerTls(mode), &error)) << error;
    Prepare(ServerFileTls(mode));
    Outcome o = RunAndCollect({"-n", "32"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.newsrc, "bench.all: 1-400\npelliton.test.misc: 1-9\n");
    ASSERT_EQ(o.messages.size(), 400u);
    if (mode == TlsMode::kOff)
      plain = o.messages;
    else
      EXPECT_EQ(o.messages, plain);
  }
}

TEST_F(TlsRunTest, VerboseRunNamesTheSessionAndWhatWasVerified) {
  StartServer();
  const std::string cipher = "TLSv1\\.3, TLS_[A-Z0-9_]+";
  const struct {
    TlsMode mode;
    std::string host;
    std::string pattern;
  } cases[] = {
      {TlsMode::kImplicit, "localhost",
       "Connecting to localhost:[0-9]+\\.\\.\\. ok\n"
       "TLS established: " + cipher + ", verified localhost\n"
       "Response from NNTP server:\n  200 testserver ready \\(posting ok\\)\r\n"
       "Authenticating with NNTP server\\.\\.\\.\n"},
      {TlsMode::kStartTls, "127.0.0.1",
       "Connecting to 127\\.0\\.0\\.1:[0-9]+\\.\\.\\. ok\n"
       "Response from NNTP server:\n  200 testserver ready \\(posting ok\\)\r\n"
       "TLS established: " + cipher + ", verified 127\\.0\\.0\\.1\n"
       "Authenticating with NNTP server\\.\\.\\.\n"},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(Name(t.mode));
    std::string error;
    ASSERT_TRUE(server.SetTls(ServerTls(t.mode), &error)) << error;
    Prepare(ServerFileTls(t.mode), t.host);
    RunResult r = Run({"-v", "-l"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_search(r.err, std::regex(t.pattern))) << r.err;
  }
}

TEST_F(TlsRunTest, TlsFromTheFirstByteDefaultsToTheNntpsPort) {
  StartServer();
  // Only the port line decides: without one the connection goes to 563
  // (where nothing listens here), -p still wins, and a port line wins too.
  const struct {
    std::string portLine;
    std::vector<std::string> options;
    std::string connecting;
  } cases[] = {
      {"", {"-v", "-l"}, "Connecting to 127.0.0.1:563... "},
      {"", {"-v", "-l", "-p", "PORT"}, "Connecting to 127.0.0.1:PORT... ok\n"},
      {"port PORT\n", {"-v", "-l"}, "Connecting to 127.0.0.1:PORT... ok\n"},
  };
  std::string error;
  ASSERT_TRUE(server.SetTls(ServerTls(TlsMode::kImplicit), &error)) << error;
  auto withPort = [&](std::string text) {
    for (std::size_t at; (at = text.find("PORT")) != std::string::npos;)
      text.replace(at, 4, std::to_string(port));
    return text;
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(withPort(t.portLine));
    WriteFile(dir.file("servers"), "[news]\nhost 127.0.0.1\nconfig " + dir.file("filters") +
                                       "\nnewsrc " + dir.file("newsrc") + "\ntls yes\ncafile " +
                                       Certs().caCert + "\n" + withPort(t.portLine));
    std::vector<std::string> options;
    for (const auto& o : t.options) options.push_back(withPort(o));
    RunResult r = Run(options);
    EXPECT_THAT(r.err, HasSubstr(withPort(t.connecting)));
  }
}

// A server on ::1, reached by its literal address with and without the
// brackets, in plain text and over TLS verified for the address.
TEST_F(TlsRunTest, ServerOnIPv6Loopback) {
  int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  const bool haveIPv6 =
      probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (probe >= 0) close(probe);
  if (!haveIPv6) GTEST_SKIP() << "this machine has no ::1";
  server.SetIPv6(true);
  StartServer();
  const struct {
    TlsMode mode;
    std::string host;
  } cases[] = {
      {TlsMode::kOff, "::1"},
      {TlsMode::kOff, "[::1]"},
      {TlsMode::kImplicit, "::1"},
      {TlsMode::kStartTls, "[::1]"},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(std::string(Name(t.mode)) + " to " + t.host);
    std::string error;
    ASSERT_TRUE(server.SetTls(ServerTls(t.mode), &error)) << error;
    Prepare(ServerFileTls(t.mode), t.host);
    RunResult r = Run({"-v"});
    EXPECT_EQ(r.status, 0);
    // The host as the user wrote it.
    EXPECT_THAT(r.err, HasSubstr("Connecting to " + t.host + ":" + std::to_string(port) +
                                 "... ok\n"));
    if (t.mode != TlsMode::kOff) {
      EXPECT_THAT(r.err, HasSubstr(", verified ::1\n"));
    }
    EXPECT_EQ(testutil::Messages(dir.file("mbox")).size(), 9u);
  }
}

}  // namespace
