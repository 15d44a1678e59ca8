// The scripted news server itself: what it puts on the wire, and that its
// misbehaviour switches do what the tests that rely on them expect.
#include "newsserver.h"

#include <arpa/inet.h>
#include <openssl/ssl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "certs.h"
#include "rawdeflate.h"
#include "test_util.h"
#include "tls.h"

namespace {

using namespace std::chrono_literals;
using pelliton::TlsSession;
using testserver::NewsServer;
using testserver::TlsMode;
using testserver::TlsSettings;

// A blocking loopback client that reads with a deadline, in plain text or,
// once StartTls() succeeded, over TLS (with pelliton's own TLS session).
class Client {
 public:
  explicit Client(int port, const std::string& host = "127.0.0.1") {
    bool v6 = host.find(':') != std::string::npos;
    fd_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage addr{};
    socklen_t len;
    if (v6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
      a->sin6_family = AF_INET6;
      inet_pton(AF_INET6, host.c_str(), &a->sin6_addr);
      a->sin6_port = htons(static_cast<uint16_t>(port));
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&addr);
      a->sin_family = AF_INET;
      inet_pton(AF_INET, host.c_str(), &a->sin_addr);
      a->sin_port = htons(static_cast<uint16_t>(port));
      len = sizeof *a;
    }
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  }
  ~Client() { close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }
  void Send(const std::string& text) {
    if (tls_) {
      ASSERT_TRUE(tls_->Write(text)) << tls_->reason();
      SendRaw(tls_->TakeOutgoing());
    } else {
      SendRaw(text);
    }
  }
  // Reads until `count` bytes arrived, the peer closed, or the time is up.
  std::string Read(std::size_t count, std::chrono::milliseconds limit = 2000ms) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (pending_.size() < count && Fill(deadline)) {
    }
    return Take(std::min(count, pending_.size()));
  }
  // Reads up to and including `terminator`; everything that came when it
  // does not come in time.
  std::string ReadUntil(const std::string& terminator, std::chrono::milliseconds limit = 2000ms) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::size_t at;
    while ((at = pending_.find(terminator)) == std::string::npos && Fill(deadline)) {
    }
    return Take(at == std::string::npos ? pending_.size() : at + terminator.size());
  }
  // The server ended the stream.
  bool closed() const { return closed_; }

  // Runs a TLS handshake over the connection, verifying the server against
  // `caFile` as `host`.  False and *reason set when it fails.
  bool StartTls(const std::string& host, const std::string& caFile, std::string* reason = nullptr) {
    std::string error;
    tls_ = pelliton::TlsSession::Create(host, caFile, &error);
    if (!tls_) {
      if (reason) *reason = error;
      return false;
    }
    auto deadline = std::chrono::steady_clock::now() + 5000ms;
    for (;;) {
      TlsSession::Step step = tls_->Handshake();
      SendRaw(tls_->TakeOutgoing());
      if (step != TlsSession::Step::kWantInput) {
        if (reason) *reason = tls_->reason();
        handshakeEnd_ = wire_.size();
        return step == TlsSession::Step::kDone;
      }
      if (!Receive(deadline)) {
        if (reason) *reason = "timeout";
        return false;
      }
    }
  }
  // TLS records that came after the handshake.
  std::size_t recordsSinceHandshake() const {
    std::size_t count = 0;
    for (std::size_t pos = handshakeEnd_; pos + 5 <= wire_.size(); ++count)
      pos += 5 + ((static_cast<unsigned char>(wire_[pos + 3]) << 8) |
                  static_cast<unsigned char>(wire_[pos + 4]));
    return count;
  }
  // The server ended the TLS session with close_notify.
  bool closedCleanly() const { return tls_ && tls_->CloseNotifyReceived(); }
  // Every byte that came over the socket.
  const std::string& wire() const { return wire_; }

 private:
  void SendRaw(const std::string& bytes) {
    if (bytes.empty()) return;
    ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  std::string Take(std::size_t n) {
    std::string got = pending_.substr(0, n);
    pending_.erase(0, n);
    return got;
  }
  // Waits for the socket and hands what came to the TLS session, if any;
  // false on timeout.  The end of the stream counts as something.
  bool Receive(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      wireClosed_ = true;
      if (tls_) tls_->PeerClosed();
      return true;
    }
    wire_.append(buf, static_cast<std::size_t>(n));
    if (tls_)
      tls_->Feed(buf, static_cast<std::size_t>(n));
    else
      pending_.append(buf, static_cast<std::size_t>(n));
    return true;
  }
  // Adds more plaintext to pending_; false on timeout or at the end.
  bool Fill(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      if (tls_) {
        char buf[4096];
        long n = tls_->Read(buf, sizeof buf);
        SendRaw(tls_->TakeOutgoing());
        if (n > 0) {
          pending_.append(buf, static_cast<std::size_t>(n));
          return true;
        }
        if (n < 0) {
          closed_ = true;
          return false;
        }
      } else if (wireClosed_) {
        closed_ = true;
        return false;
      }
      std::size_t before = pending_.size();
      if (!Receive(deadline)) return false;
      if (!tls_ && pending_.size() > before) return true;
    }
  }

  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  bool wireClosed_ = false;
  std::string pending_;  // plaintext received, not yet read
  std::string wire_;
  std::size_t handshakeEnd_ = 0;
  std::unique_ptr<TlsSession> tls_;
};

const std::string kGreeting = "200 testserver ready (posting ok)\r\n";

// Certificates made once for all the tests of the process.
const testcerts::CertSet& Certs() { return testcerts::SharedCerts(); }

TlsSettings ServerTls(TlsMode mode) {
  TlsSettings settings;
  settings.mode = mode;
  settings.chainFile = Certs().serverCert;
  settings.keyFile = Certs().serverKey;
  return settings;
}

enum class Transport { kPlain, kTls };

void PrintTo(Transport t, std::ostream* os) { *os << (t == Transport::kTls ? "TLS" : "plain"); }

// Everything the server does, in plain text and over implicit TLS alike.
class NewsServerTest : public ::testing::TestWithParam<Transport> {
 protected:
  void SetUp() override {
    server.AddArticle("comp.test", 3, "Subject: three\nMessage-ID: <three@x>",
                      "..dots\n.\nplain\nFrom here\n");
    server.AddArticle("comp.test", 5, "Subject: five", "body");
    server.AddGroup("empty.group");
    std::string error;
    if (tls()) {
      ASSERT_TRUE(server.SetTls(ServerTls(TlsMode::kImplicit), &error)) << error;
    }
    port = server.Start();
    ASSERT_GT(port, 0);
  }
  bool tls() const { return GetParam() == Transport::kTls; }
  // A new connection, its handshake done when over TLS.
  Client& Connect() {
    clients_.push_back(std::make_unique<Client>(port));
    Client& c = *clients_.back();
    std::string reason;
    if (tls()) {
      EXPECT_TRUE(c.StartTls("localhost", Certs().caCert, &reason)) << reason;
    }
    return c;
  }

  NewsServer server;
  int port = 0;

 private:
  std::vector<std::unique_ptr<Client>> clients_;
};

INSTANTIATE_TEST_SUITE_P(Transports, NewsServerTest,
                         ::testing::Values(Transport::kPlain, Transport::kTls),
                         [](const ::testing::TestParamInfo<Transport>& info) {
                           return info.param == Transport::kTls ? "Tls" : "Plain";
                         });

TEST_P(NewsServerTest, ServesGroupsAndArticlesDotStuffed) {
  Client& c = Connect();
  ASSERT_TRUE(c.connected());
  EXPECT_EQ(c.ReadUntil("\r\n"), kGreeting);
  c.Send("LIST\r\n");
  EXPECT_EQ(c.ReadUntil("\r\n.\r\n"),
            "215 list of newsgroups follows\r\ncomp.test 5 3 y\r\nempty.group 0 1 y\r\n.\r\n");
  c.Send("HEAD 3\r\n");
  EXPECT_EQ(c.ReadUntil("\r\n"), "412 no newsgroup selected\r\n");
  c.Send("GROUP comp.test\r\nGROUP empty.group\r\nGROUP nope\r\nGROUP comp.test\r\n");
  EXPECT_EQ(c.ReadUntil("empty.group\r\n"), "211 2 3 5 comp.test\r\n211 0 1 0 empty.group\r\n");
  EXPECT_EQ(c.ReadUntil("comp.test\r\n"), "411 no such newsgroup\r\n211 2 3 5 comp.test\r\n");
  c.Send("HEAD 3\r\nBODY 3\r\nBODY 4\r\nHEAD 5\r\nBODY 5\r\n");
  EXPECT_EQ(c.ReadUntil("222 5 <5.comp.test@testserver>\r\nbody\r\n.\r\n"),
            "221 3 <three@x>\r\nSubject: three\r\nMessage-ID: <three@x>\r\n.\r\n"
            "222 3 <three@x>\r\n...dots\r\n..\r\nplain\r\nFrom here\r\n\r\n.\r\n"
            "423 no such article number in this group\r\n"
            "221 5 <5.comp.test@testserver>\r\nSubject: five\r\n.\r\n"
            "222 5 <5.comp.test@testserver>\r\nbody\r\n.\r\n");
  c.Send("MODE READER\r\nXYZZY\r\nQUIT\r\n");
  EXPECT_EQ(c.Read(1000), "200 reader mode, posting ok\r\n500 unknown command\r\n"
                          "205 closing connection\r\n");
  EXPECT_TRUE(c.closed());
  EXPECT_EQ(c.closedCleanly(), tls());  // QUIT ends a TLS session with close_notify
  std::vector<std::string> expected = {"LIST", "HEAD 3", "GROUP comp.test", "GROUP empty.group",
                                       "GROUP nope", "GROUP comp.test", "HEAD 3", "BODY 3",
                                       "BODY 4", "HEAD 5", "BODY 5", "MODE READER", "XYZZY",
                                       "QUIT"};
  EXPECT_EQ(server.Commands(), expected);
  for (const testserver::LogEntry& e : server.Log()) EXPECT_EQ(e.tls, tls()) << e.command;
  if (tls()) {
    EXPECT_EQ(server.PlainReceived(), "");
    EXPECT_EQ(c.wire().find("comp.test"), std::string::npos);
  } else {
    EXPECT_EQ(server.PlainReceived().rfind("LIST\r\nHEAD 3\r\n", 0), 0u);
  }
}

TEST_P(NewsServerTest, AuthinfoChecksUserAndPassword) {
  server.SetCredentials("alice", "secret");
  server.SetRequireAuth(true);
  Client& c = Connect();
  c.ReadUntil("\r\n");
  c.Send("GROUP comp.test\r\nAUTHINFO USER bob\r\nAUTHINFO PASS secret\r\n");
  EXPECT_EQ(c.ReadUntil("481 authentication failed\r\n"),
            "480 authentication required\r\n381 password required\r\n"
            "481 authentication failed\r\n");
  c.Send("AUTHINFO USER alice\r\nAUTHINFO PASS wrong\r\nAUTHINFO PASS secret\r\nGROUP empty.group\r\n");
  EXPECT_EQ(c.ReadUntil("empty.group\r\n"),
            "381 password required\r\n481 authentication failed\r\n"
            "281 authentication accepted\r\n211 0 1 0 empty.group\r\n");
}

TEST_P(NewsServerTest, CannedRepliesMatchWholeWordsAndCanRunOut) {
  server.SetGreeting("201 no posting\r\n");
  server.SetReply("AUTHINFO PASS", "481 go away\r\n");
  server.SetReply("GROUP comp.test", "211 9 1 9\r\n", 1);
  Client& c = Connect();
  EXPECT_EQ(c.ReadUntil("\r\n"), "201 no posting\r\n");
  c.Send("AUTHINFO PASS x y\r\nGROUP comp.test\r\nGROUP comp.testing\r\nGROUP comp.test\r\n");
  EXPECT_EQ(c.ReadUntil("comp.test\r\n"), "481 go away\r\n211 9 1 9\r\n411 no such newsgroup\r\n"
                                         "211 2 3 5 comp.test\r\n");
}

TEST_P(NewsServerTest, ClosesBeforeAnsweringTheNthCommand) {
  server.CloseAfterCommands(2);
  server.SetDelay(50ms);
  Client& c = Connect();
  c.ReadUntil("\r\n");
  c.Send("GROUP comp.test\r\nHEAD 5\r\n");
  // The first answer still comes, after its delay.
  EXPECT_EQ(c.Read(1000, 2000ms), "211 2 3 5 comp.test\r\n");
  EXPECT_TRUE(c.closed());
}

TEST_P(NewsServerTest, ClosesAfterByteCountMidResponse) {
  server.CloseAfterBytes(static_cast<std::int64_t>(kGreeting.size()) + 5);
  Client& c = Connect();
  EXPECT_EQ(c.ReadUntil("\r\n"), kGreeting);
  c.Send("LIST\r\n");
  EXPECT_EQ(c.Read(1000), "215 l");
  EXPECT_TRUE(c.closed());
  EXPECT_FALSE(c.closedCleanly());
}

TEST_P(NewsServerTest, ChunkedWritesArriveSeparately) {
  server.SetChunkSize(4);
  Client& c = Connect();
  std::string got = c.ReadUntil("\r\n");
  EXPECT_EQ(got, kGreeting);
  // In plain text, how many pieces the reads see is the scheduler's choice
  // (a busy machine merges the segments in the socket's buffer).  Over TLS
  // every chunk is a record of its own, which no merging hides (session
  // tickets may come besides).
  if (tls()) {
    EXPECT_GE(c.recordsSinceHandshake(), (kGreeting.size() + 3) / 4);
  }
}

TEST_P(NewsServerTest, StallsAndResumes) {
  server.StallAfterCommands(1);
  Client& c = Connect();
  c.ReadUntil("\r\n");
  c.Send("GROUP comp.test\r\nGROUP empty.group\r\n");
  EXPECT_EQ(c.ReadUntil("\r\n"), "211 2 3 5 comp.test\r\n");
  // The second answer would have come by now.
  EXPECT_EQ(c.Read(1000, 300ms), "");
  EXPECT_FALSE(c.closed());
  server.StallAfterCommands(-1);
  EXPECT_EQ(c.ReadUntil("\r\n"), "211 0 1 0 empty.group\r\n");
}

TEST_P(NewsServerTest, DelayedResponsesOverlapAndCountOutstanding) {
  server.SetDelay(200ms);
  Client& c = Connect();
  c.ReadUntil("\r\n");
  auto start = std::chrono::steady_clock::now();
  c.Send("GROUP comp.test\r\n");
  for (int i = 0; i < 5; ++i) c.Send("HEAD 5\r\n");
  std::string all = c.ReadUntil("Subject: five\r\n.\r\n221 5 <5.comp.test@testserver>\r\n"
                                "Subject: five\r\n.\r\n221 5 <5.comp.test@testserver>\r\n"
                                "Subject: five\r\n.\r\n",
                                3000ms);
  auto elapsed = std::chrono::steady_clock::now() - start;
  // Six delayed answers overlapping: one delay, not six (a loose bound, for
  // a loaded machine).
  EXPECT_LT(elapsed, 1000ms);
  EXPECT_GE(elapsed, 190ms);
  std::vector<testserver::LogEntry> log = server.Log();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0].outstanding, 1);
  EXPECT_EQ(log[5].outstanding, 6);
}

// --- TLS-only behaviour ---------------------------------------------------

class NewsServerTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.AddArticle("comp.test", 5, "Subject: five", "body");
    server.SetCredentials("alice", "secret");
  }
  // Starts the server with the given TLS mode; the port.
  int Start(TlsMode mode, TlsSettings settings = ServerTls(TlsMode::kOff)) {
    settings.mode = mode;
    std::string error;
    EXPECT_TRUE(server.SetTls(settings, &error)) << error;
    return server.Start();
  }
  NewsServer server;
};

TEST_F(NewsServerTlsTest, StartTlsTurnsTheSessionIntoTlsWithoutANewGreeting) {
  Client c(Start(TlsMode::kStartTls));
  EXPECT_EQ(c.ReadUntil("\r\n"), kGreeting);
  c.Send("STARTTLS\r\n");
  EXPECT_EQ(c.ReadUntil("\r\n"), "382 Begin TLS negotiation now\r\n");
  std::string reason;
  ASSERT_TRUE(c.StartTls("localhost", Certs().caCert, &reason)) << reason;
  c.Send("AUTHINFO USER alice\r\nAUTHINFO PASS secret\r\nSTARTTLS\r\nGROUP comp.test\r\n");
  EXPECT_EQ(c.ReadUntil("comp.test\r\n"),
            "381 password required\r\n281 authentication accepted\r\n"
            "502 Already using a security layer\r\n211 1 5 5 comp.test\r\n");
  c.Send("QUIT\r\n");
  EXPECT_EQ(c.Read(1000), "205 closing connection\r\n");
  EXPECT_TRUE(c.closedCleanly());

  std::vector<testserver::LogEntry> log = server.Log();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0].command, "STARTTLS");
  EXPECT_FALSE(log[0].tls);
  for (std::size_t i = 1; i < log.size(); ++i) EXPECT_TRUE(log[i].tls) << log[i].command;
  EXPECT_EQ(server.PlainReceived(), "STARTTLS\r\n");
  EXPECT_EQ(c.wire().find("secret"), std::string::npos);
  EXPECT_EQ(c.wire().find("281"), std::string::npos);
}

TEST_F(NewsServerTlsTest, StartTlsRefusalsLeaveThePlainSessionGoing) {
  struct Case {
    const char* what;
    TlsMode mode;
    std::string before;  // commands and answers before STARTTLS
    std::string canned;  // a canned answer to STARTTLS, if any
    std::string answer;
  };
  const Case cases[] = {
      {"TLS off", TlsMode::kOff, "", "", "500 unknown command\r\n"},
      {"canned 580", TlsMode::kStartTls, "", "580 Can not initiate TLS negotiation\r\n",
       "580 Can not initiate TLS negotiation\r\n"},
      {"canned 382 without a handshake", TlsMode::kOff, "", "382 go ahead\r\n",
       "382 go ahead\r\n"},
      {"after AUTHINFO", TlsMode::kStartTls, "AUTHINFO PASS secret\r\n", "",
       "502 Already authenticated without the use of a security layer\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NewsServer server;
    server.AddGroup("empty.group");
    TlsSettings settings = ServerTls(c.mode);
    std::string error;
    ASSERT_TRUE(server.SetTls(settings, &error)) << error;
    if (!c.canned.empty()) server.SetReply("STARTTLS", c.canned);
    Client client(server.Start());
    client.ReadUntil("\r\n");
    if (!c.before.empty()) {
      client.Send(c.before);
      client.ReadUntil("\r\n");
    }
    client.Send("STARTTLS\r\nGROUP empty.group\r\n");
    EXPECT_EQ(client.ReadUntil("empty.group\r\n"), c.answer + "211 0 1 0 empty.group\r\n");
    for (const testserver::LogEntry& e : server.Log()) EXPECT_FALSE(e.tls) << e.command;
  }
}

TEST_F(NewsServerTlsTest, CommandsBehindStartTlsAreDroppedButRecordedAsPlainText) {
  Client c(Start(TlsMode::kStartTls));
  c.ReadUntil("\r\n");
  c.Send("STARTTLS\r\nAUTHINFO USER alice\r\nAUTHINFO PASS secret\r\n");
  EXPECT_EQ(c.ReadUntil("\r\n"), "382 Begin TLS negotiation now\r\n");
  std::string reason;
  ASSERT_TRUE(c.StartTls("localhost", Certs().caCert, &reason)) << reason;
  c.Send("GROUP comp.test\r\n");
  EXPECT_EQ(c.ReadUntil("\r\n"), "211 1 5 5 comp.test\r\n");
  EXPECT_EQ(server.Commands(), (std::vector<std::string>{"STARTTLS", "GROUP comp.test"}));
  EXPECT_EQ(server.PlainReceived(),
            "STARTTLS\r\nAUTHINFO USER alice\r\nAUTHINFO PASS secret\r\n");
}

TEST_F(NewsServerTlsTest, AFailedHandshakeClosesTheConnection) {
  struct Case {
    const char* what;
    TlsMode mode;
    bool hangUp;
    std::string caFile;
    std::string reason;
  };
  const Case cases[] = {
      {"implicit, hangs up", TlsMode::kImplicit, true, Certs().caCert, "connection closed"},
      {"STARTTLS, hangs up", TlsMode::kStartTls, true, Certs().caCert, "connection closed"},
      {"implicit, client does not trust the server", TlsMode::kImplicit, false,
       Certs().otherCaCert, "unable to get local issuer certificate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NewsServer server;
    std::string error;
    ASSERT_TRUE(server.SetTls(ServerTls(c.mode), &error)) << error;
    server.HangUpInHandshake(c.hangUp);
    Client client(server.Start());
    if (c.mode == TlsMode::kStartTls) {
      client.ReadUntil("\r\n");
      client.Send("STARTTLS\r\n");
      EXPECT_EQ(client.ReadUntil("\r\n"), "382 Begin TLS negotiation now\r\n");
    }
    std::string reason;
    EXPECT_FALSE(client.StartTls("localhost", c.caFile, &reason));
    EXPECT_EQ(reason, c.reason);
    EXPECT_TRUE(server.WaitForIdle(2000ms));
  }
}

TEST_F(NewsServerTlsTest, AnOldProtocolServerIsRefused) {
  TlsSettings settings = ServerTls(TlsMode::kImplicit);
  settings.maxVersion = TLS1_1_VERSION;
  std::string error;
  if (!server.SetTls(settings, &error)) GTEST_SKIP() << "no TLS 1.1 server here: " << error;
  Client c(server.Start());
  std::string reason;
  EXPECT_FALSE(c.StartTls("localhost", Certs().caCert, &reason));
  EXPECT_EQ(reason, "no shared protocol version (TLS 1.2 or newer is required)");
}

TEST_F(NewsServerTlsTest, ListensOnIPv6InPlainTextAndTls) {
  for (TlsMode mode : {TlsMode::kOff, TlsMode::kImplicit}) {
    SCOPED_TRACE(mode == TlsMode::kOff ? "plain" : "TLS");
    NewsServer server;
    server.AddGroup("empty.group");
    server.SetIPv6(true);
    EXPECT_EQ(server.host(), "::1");
    std::string error;
    ASSERT_TRUE(server.SetTls(ServerTls(mode), &error)) << error;
    int port = server.Start();
    ASSERT_GT(port, 0);
    Client c(port, "::1");
    ASSERT_TRUE(c.connected());
    std::string reason;
    if (mode == TlsMode::kImplicit) {
      ASSERT_TRUE(c.StartTls("::1", Certs().caCert, &reason)) << reason;
    }
    EXPECT_EQ(c.ReadUntil("\r\n"), kGreeting);
    c.Send("GROUP empty.group\r\n");
    EXPECT_EQ(c.ReadUntil("\r\n"), "211 0 1 0 empty.group\r\n");
  }
}

// Many pipelined requests through small socket buffers: over TLS the
// responses arrive byte for byte as in plain text, however the records and
// the segments fall.
TEST_F(NewsServerTlsTest, SmallSocketBuffersCarryLongPipelinesWhole) {
  std::string requests;
  for (int n = 1; n <= 150; ++n)
    requests += "HEAD " + std::to_string(n) + "\r\nBODY " + std::to_string(n) + "\r\n";
  std::string answers[2];
  for (TlsMode mode : {TlsMode::kOff, TlsMode::kImplicit}) {
    SCOPED_TRACE(mode == TlsMode::kOff ? "plain" : "TLS");
    NewsServer server;
    server.AddSyntheticGroup("bench", 150, 0);
    server.SetSocketBuffers(4096);
    std::string error;
    ASSERT_TRUE(server.SetTls(ServerTls(mode), &error)) << error;
    Client c(server.Start());
    std::string reason;
    if (mode == TlsMode::kImplicit) {
      ASSERT_TRUE(c.StartTls("localhost", Certs().caCert, &reason)) << reason;
    }
    c.ReadUntil("\r\n");
    c.Send("GROUP bench\r\n");
    c.ReadUntil("\r\n");
    c.Send(requests);
    answers[mode == TlsMode::kOff ? 0 : 1] =
        c.ReadUntil("Line 30 of article 150 in bench: pack my box with five dozen liquor jugs\r\n.\r\n",
                    10000ms);
  }
  EXPECT_GT(answers[0].size(), 400000u);
  EXPECT_EQ(answers[0].size(), answers[1].size());
  EXPECT_TRUE(answers[0] == answers[1]);
}

TEST(NewsServerSpool, LoadsTheSampleSpool) {
  NewsServer server;
  std::string error;
  ASSERT_TRUE(server.LoadSpool(std::string(PELLITON_SOURCE_DIR) + "/tests/data/spool", &error))
      << error;
  int port = server.Start();
  Client c(port);
  c.ReadUntil("\r\n");
  c.Send("LIST\r\n");
  std::string list = c.ReadUntil("\r\n.\r\n");
  EXPECT_NE(list.find("\r\npelliton.test.tricky "), std::string::npos) << list;
  c.Send("GROUP pelliton.test.tricky\r\nBODY 1\r\n");
  c.ReadUntil("tricky\r\n");
  std::string body = c.ReadUntil("\r\n.\r\n");
  EXPECT_EQ(body.rfind("222 1 ", 0), 0u) << body;
  EXPECT_NE(body.find("\r\n..leading dot\r\n"), std::string::npos) << body;
  EXPECT_NE(body.find("\r\n...\r\n"), std::string::npos) << body;
  EXPECT_NE(body.find("\r\n\r\n.\r\n"), std::string::npos) << body;  // empty last line
}

TEST(NewsServerSynthetic, GeneratesSizedArticlesWithMarkers) {
  std::string h5 = NewsServer::SyntheticHeader("bench", 5, 5);
  std::string h6 = NewsServer::SyntheticHeader("bench", 6, 5);
  EXPECT_NE(h5.find("\nX-Bench: match\n"), std::string::npos);
  EXPECT_EQ(h6.find("X-Bench: match"), std::string::npos);
  EXPECT_GT(h6.size(), 700u);
  EXPECT_LT(h6.size(), 950u);
  std::string b = NewsServer::SyntheticBody("bench", 6);
  EXPECT_GT(b.size(), 1800u);
  EXPECT_LT(b.size(), 2600u);
}

TEST(NewsServerCompress, CompressesBothWaysFromTheByteAfterThe206) {
  NewsServer server;
  server.AddSyntheticGroup("bench", 10, 2);
  testserver::CompressSettings settings;
  settings.offer = true;
  server.SetCompress(settings);
  const int port = server.Start();
  ASSERT_GT(port, 0);
  testutil::RawDeflater deflater;
  testutil::RawInflater inflater;
  std::string sent;
  std::string plain;
  {
    Client c(port);
    auto send = [&](const std::string& bytes) {
      sent += bytes;
      c.Send(bytes);
    };
    c.ReadUntil("\r\n");
    send("CAPABILITIES\r\n");
    EXPECT_NE(c.ReadUntil(".\r\n").find("\r\nCOMPRESS DEFLATE\r\n"), std::string::npos);
    // The first compressed command in the same write as COMPRESS.
    send("COMPRESS DEFLATE\r\n" + deflater.Compress("GROUP bench\r\n"));
    EXPECT_EQ(c.ReadUntil("\r\n"), "206 Compression active\r\n");
    send(deflater.Compress("CAPABILITIES\r\nAUTHINFO USER a\r\nCOMPRESS DEFLATE\r\nQUIT\r\n"));
    ASSERT_TRUE(inflater.Inflate(c.ReadUntil("the end of the stream"), &plain)) << inflater.error();
  }
  EXPECT_EQ(plain.rfind("211 10 1 10 bench\r\n101 ", 0), 0u) << plain;
  EXPECT_EQ(plain.find("COMPRESS"), std::string::npos);
  EXPECT_NE(plain.find(".\r\n502 Not possible once compression is active\r\n"
                       "502 Compression already active\r\n205 closing connection\r\n"),
            std::string::npos)
      << plain;
  EXPECT_TRUE(server.WaitForIdle(2000ms));
  EXPECT_EQ(server.WireBytesReceived(), sent.size());
}

TEST(NewsServerStandalone, ReportsItsPortAndLogsCommands) {
  testutil::TempDir dir;
  testutil::Child server({PELLITON_TESTSERVER, "--synthetic", "bench:10:2", "--port-file",
                          dir.file("port"), "--log", dir.file("log")});
  for (int i = 0; i < 200 && !testutil::FileExists(dir.file("port")); ++i)
    usleep(10000);
  int port = std::atoi(testutil::ReadFile(dir.file("port")).c_str());
  ASSERT_GT(port, 0);
  {
    Client c(port);
    c.ReadUntil("\r\n");
    c.Send("GROUP bench\r\n");
    EXPECT_EQ(c.ReadUntil("\r\n"), "211 10 1 10 bench\r\n");
    c.Send("QUIT\r\n");
    EXPECT_EQ(c.Read(1000), "205 closing connection\r\n");
  }
  server.Signal(SIGTERM);
  testutil::RunResult r = server.Finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "listening on 127.0.0.1:" + std::to_string(port) + "\n");
  EXPECT_EQ(testutil::ReadFile(dir.file("log")), "1\tGROUP bench\n1\tQUIT\n");
}

TEST(NewsServerStandalone, SpeaksStartTlsOnIPv6AndLogsWhatCameInTheClear) {
  testutil::TempDir dir;
  const testcerts::CertSet& certs = Certs();
  testutil::Child server({PELLITON_TESTSERVER, "--synthetic", "bench:10:2", "--ipv6", "--tls",
                          "starttls", "--cert", certs.serverChain, "--key", certs.serverKey,
                          "--port-file", dir.file("port"), "--log", dir.file("log"),
                          "--plain-log", dir.file("plain")});
  for (int i = 0; i < 200 && !testutil::FileExists(dir.file("port")); ++i)
    usleep(10000);
  int port = std::atoi(testutil::ReadFile(dir.file("port")).c_str());
  ASSERT_GT(port, 0);
  {
    Client c(port, "::1");
    c.ReadUntil("\r\n");
    c.Send("STARTTLS\r\n");
    EXPECT_EQ(c.ReadUntil("\r\n"), "382 Begin TLS negotiation now\r\n");
    std::string reason;
    ASSERT_TRUE(c.StartTls("::1", certs.caCert, &reason)) << reason;
    c.Send("GROUP bench\r\n");
    EXPECT_EQ(c.ReadUntil("\r\n"), "211 10 1 10 bench\r\n");
    c.Send("QUIT\r\n");
    EXPECT_EQ(c.Read(1000), "205 closing connection\r\n");
  }
  server.Signal(SIGTERM);
  testutil::RunResult r = server.Finish();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "listening on [::1]:" + std::to_string(port) + "\n");
  EXPECT_EQ(testutil::ReadFile(dir.file("log")),
            "1\tplain\tSTARTTLS\n1\ttls\tGROUP bench\n1\ttls\tQUIT\n");
  EXPECT_EQ(testutil::ReadFile(dir.file("plain")), "STARTTLS\r\n");
}

}  // namespace
