// The TLS client session, driven against an OpenSSL server in the same
// process.  Both ends work on memory buffers, so every test decides exactly
// which bytes reach the other side, when and in what pieces.
#include "tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "certs.h"
#include "test_util.h"

namespace {

using pelliton::TlsSession;
using Step = TlsSession::Step;

constexpr std::size_t kWhole = SIZE_MAX;

// The server end: an OpenSSL server session over two memory buffers.
class MemoryServer {
 public:
  struct Options {
    int minVersion = TLS1_2_VERSION;
    int maxVersion = 0;  // 0: the newest
    int securityLevel = -1;  // -1: the library's default
  };

  MemoryServer(const std::string& chain, const std::string& key, const Options& o) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (o.securityLevel >= 0) SSL_CTX_set_security_level(ctx_, o.securityLevel);
    ok_ = ctx_ != nullptr && SSL_CTX_set_min_proto_version(ctx_, o.minVersion) == 1 &&
          SSL_CTX_set_max_proto_version(ctx_, o.maxVersion) == 1 &&
          SSL_CTX_use_certificate_chain_file(ctx_, chain.c_str()) == 1 &&
          SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM) == 1;
    if (!ok_) return;
    SSL_CTX_set_tlsext_servername_callback(ctx_, &MemoryServer::OnServerName);
    SSL_CTX_set_tlsext_servername_arg(ctx_, this);
    ssl_ = SSL_new(ctx_);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(in_, -1);
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_accept_state(ssl_);
  }
  ~MemoryServer() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
    ERR_clear_error();
  }
  MemoryServer(const MemoryServer&) = delete;
  MemoryServer& operator=(const MemoryServer&) = delete;

  bool ok() const { return ok_; }
  const std::string& serverName() const { return serverName_; }
  bool sawServerName() const { return sawServerName_; }

  void Feed(const std::string& bytes) {
    if (!bytes.empty()) BIO_write(in_, bytes.data(), static_cast<int>(bytes.size()));
  }
  std::string Take() {
    std::string bytes(BIO_ctrl_pending(out_), '\0');
    if (!bytes.empty()) BIO_read(out_, bytes.data(), static_cast<int>(bytes.size()));
    return bytes;
  }
  void Drive() {
    if (!SSL_is_init_finished(ssl_)) SSL_do_handshake(ssl_);
    ERR_clear_error();
  }
  // Everything decrypted so far; *closed set when close_notify came.
  std::string Read(bool* closed = nullptr) {
    std::string got;
    char buf[4096];
    for (;;) {
      int n = SSL_read(ssl_, buf, sizeof buf);
      if (n > 0) {
        got.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (closed) *closed = SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN;
      break;
    }
    ERR_clear_error();
    return got;
  }
  void Write(const std::string& plain) {
    SSL_write(ssl_, plain.data(), static_cast<int>(plain.size()));
  }
  void Shutdown() { SSL_shutdown(ssl_); }
  // Asks for new keys (TLS 1.3) or a new handshake (TLS 1.2), each of which
  // the client has to answer in the middle of its reading.
  bool RequestRekeying() {
    bool ok = SSL_version(ssl_) == TLS1_3_VERSION
                  ? SSL_key_update(ssl_, SSL_KEY_UPDATE_REQUESTED) == 1
                  : SSL_renegotiate(ssl_) == 1 && SSL_do_handshake(ssl_) <= 1;
    ERR_clear_error();
    return ok;
  }
  int Renegotiations() const { return static_cast<int>(SSL_num_renegotiations(ssl_)); }

 private:
  static int OnServerName(SSL* ssl, int*, void* arg) {
    auto* self = static_cast<MemoryServer*>(arg);
    const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    self->sawServerName_ = name != nullptr;
    if (name) self->serverName_ = name;
    return SSL_TLSEXT_ERR_OK;
  }

  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;
  BIO* out_ = nullptr;
  bool ok_ = false;
  bool sawServerName_ = false;
  std::string serverName_;
};

// Hands bytes to the client in pieces of at most `piece`, calling `after`
// after each piece.
template <typename After>
void FeedInPieces(TlsSession& client, const std::string& bytes, std::size_t piece, After after) {
  for (std::size_t pos = 0; pos < bytes.size();) {
    std::size_t n = std::min(piece, bytes.size() - pos);
    client.Feed(bytes.data() + pos, n);
    pos += n;
    after();
  }
}

// Runs the handshake until the client finishes or nothing moves any more.
// The server's bytes reach the client in pieces of `piece`, with a
// Handshake call after each.
Step Connect(TlsSession& client, MemoryServer& server, std::size_t piece = kWhole) {
  for (int round = 0; round < 50; ++round) {
    Step step = client.Handshake();
    std::string toServer = client.TakeOutgoing();
    server.Feed(toServer);
    server.Drive();
    std::string toClient = server.Take();
    if (step != Step::kWantInput) {
      // What the server sends after the handshake (TLS 1.3 session tickets)
      // waits for the client's first Read.
      client.Feed(toClient.data(), toClient.size());
      return step;
    }
    if (toServer.empty() && toClient.empty()) return step;
    FeedInPieces(client, toClient, piece, [&] { client.Handshake(); });
  }
  return Step::kWantInput;
}

// Everything the client can decrypt from the server's pending output, fed in
// pieces; stops at the end of the stream.
std::string ClientReads(TlsSession& client, MemoryServer& server, std::size_t piece,
                        long* last = nullptr) {
  std::string got;
  long n = 0;
  auto drain = [&] {
    char buf[1000];
    while ((n = client.Read(buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
    server.Feed(client.TakeOutgoing());
  };
  FeedInPieces(client, server.Take(), piece, drain);
  drain();
  if (last) *last = n;
  return got;
}

std::string Pattern(std::size_t size) {
  std::string s;
  s.reserve(size);
  for (std::size_t i = 0; s.size() < size; ++i) s += "line " + std::to_string(i) + " of the text\r\n";
  s.resize(size);
  return s;
}

class TlsSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testutil::TempDir();
    std::string error;
    ASSERT_TRUE(testcerts::MakeCerts(dir_->path(), &certs_, &error)) << error;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static std::unique_ptr<TlsSession> Client(const std::string& host,
                                            const std::string& caFile = certs_.caCert) {
    std::string error;
    std::unique_ptr<TlsSession> s = TlsSession::Create(host, caFile, &error);
    EXPECT_TRUE(s) << error;
    return s;
  }
  static std::unique_ptr<MemoryServer> Server(const std::string& chain, const std::string& key,
                                              MemoryServer::Options o = {}) {
    auto s = std::make_unique<MemoryServer>(chain, key, o);
    EXPECT_TRUE(s->ok());
    return s;
  }
  static std::unique_ptr<MemoryServer> GoodServer(MemoryServer::Options o = {}) {
    return Server(certs_.serverCert, certs_.serverKey, o);
  }

  static testutil::TempDir* dir_;
  static testcerts::CertSet certs_;
};

testutil::TempDir* TlsSessionTest::dir_ = nullptr;
testcerts::CertSet TlsSessionTest::certs_;

TEST_F(TlsSessionTest, CarriesDataBothWaysInWholeAndInSingleBytes) {
  const std::string big = Pattern(70000);  // several records
  struct Case {
    const char* what;
    int maxVersion;
    std::size_t piece;
    const char* protocol;
  };
  const Case cases[] = {
      {"TLS 1.3, whole", 0, kWhole, "TLSv1.3"},
      {"TLS 1.3, one byte at a time", 0, 1, "TLSv1.3"},
      {"TLS 1.2, whole", TLS1_2_VERSION, kWhole, "TLSv1.2"},
      {"TLS 1.2, one byte at a time", TLS1_2_VERSION, 1, "TLSv1.2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto client = Client("localhost");
    auto server = GoodServer({TLS1_2_VERSION, c.maxVersion});
    ASSERT_EQ(Connect(*client, *server, c.piece), Step::kDone) << client->reason();
    EXPECT_EQ(client->Description().rfind(std::string(c.protocol) + " ", 0), 0u)
        << client->Description();

    server->Write("200 ready\r\n");
    EXPECT_EQ(ClientReads(*client, *server, c.piece), "200 ready\r\n");
    ASSERT_TRUE(client->Write("GROUP comp.test\r\n"));
    ASSERT_TRUE(client->Write(big));
    server->Feed(client->TakeOutgoing());
    EXPECT_EQ(server->Read(), "GROUP comp.test\r\n" + big);
    server->Write(big);
    std::string got = ClientReads(*client, *server, c.piece);
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big);
    EXPECT_FALSE(client->HasBufferedInput());
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
}

TEST_F(TlsSessionTest, ReadsWhatIsBufferedWithoutMoreInput) {
  auto client = Client("localhost");
  auto server = GoodServer();
  ASSERT_EQ(Connect(*client, *server), Step::kDone) << client->reason();
  server->Write("first\r\n");
  server->Write("second\r\n");
  std::string bytes = server->Take();
  client->Feed(bytes.data(), bytes.size());
  EXPECT_TRUE(client->HasBufferedInput());
  std::string got;
  char buf[4];
  long n;
  // Small reads leave the rest inside the session, and HasBufferedInput
  // says so until all of it is out.
  while ((n = client->Read(buf, sizeof buf)) > 0) {
    got.append(buf, static_cast<std::size_t>(n));
    if (got.size() < 15) {
      EXPECT_TRUE(client->HasBufferedInput()) << got;
    }
  }
  EXPECT_EQ(n, 0);
  EXPECT_EQ(got, "first\r\nsecond\r\n");
  EXPECT_FALSE(client->HasBufferedInput());

  // Half a record: Read looks at it and wants more, and nothing is left
  // that would make waiting for the socket wrong.
  server->Write("third\r\n");
  bytes = server->Take();
  client->Feed(bytes.data(), bytes.size() - 3);
  EXPECT_TRUE(client->HasBufferedInput());
  EXPECT_EQ(client->Read(buf, sizeof buf), 0);
  EXPECT_FALSE(client->HasBufferedInput());
  client->Feed(bytes.data() + bytes.size() - 3, 3);
  EXPECT_EQ(client->Read(buf, sizeof buf), 4);
  EXPECT_TRUE(client->HasBufferedInput());
}

// Data flows on while the server changes its keys (TLS 1.3); the client's
// answer to the request travels with its next write.
TEST_F(TlsSessionTest, GoesOnThroughAKeyUpdate) {
  auto client = Client("localhost");
  auto server = GoodServer();
  ASSERT_EQ(Connect(*client, *server), Step::kDone) << client->reason();
  ASSERT_TRUE(server->RequestRekeying());
  server->Write("211 1 1 1 comp.test\r\n");
  EXPECT_EQ(ClientReads(*client, *server, kWhole), "211 1 1 1 comp.test\r\n");
  ASSERT_TRUE(client->Write("HEAD 1\r\n"));
  server->Feed(client->TakeOutgoing());
  EXPECT_EQ(server->Read(), "HEAD 1\r\n");
  server->Write("221 1 <1@x>\r\n");
  EXPECT_EQ(ClientReads(*client, *server, kWhole), "221 1 <1@x>\r\n");
}

// A TLS 1.2 server's request for a new handshake is declined, and a server
// that insists ends the session: the client says why instead of waiting.
TEST_F(TlsSessionTest, DeclinesRenegotiation) {
  auto client = Client("localhost");
  auto server = GoodServer({TLS1_2_VERSION, TLS1_2_VERSION});
  ASSERT_EQ(Connect(*client, *server), Step::kDone) << client->reason();
  ASSERT_TRUE(server->RequestRekeying());
  server->Write("211 1 1 1 comp.test\r\n");
  long last = 0;
  EXPECT_EQ(ClientReads(*client, *server, kWhole, &last), "211 1 1 1 comp.test\r\n");
  EXPECT_EQ(server->Renegotiations(), 1);
  ASSERT_TRUE(client->Write("HEAD 1\r\n"));
  server->Feed(client->TakeOutgoing());
  server->Read();  // where the OpenSSL server gives up on the session
  EXPECT_EQ(ClientReads(*client, *server, kWhole, &last), "");
  EXPECT_EQ(last, -2);
  EXPECT_EQ(client->reason(), "the server sent the alert \"handshake failure\"");
  EXPECT_FALSE(client->Write("HEAD 2\r\n"));
}

TEST_F(TlsSessionTest, VerifiesNamesAndAddressesAndSendsSniOnlyForNames) {
  struct Case {
    const char* host;
    bool sni;
    const char* sent;  // the name sent as SNI
  };
  for (const Case& c : {Case{"localhost", true, "localhost"}, Case{"LocalHost", true, "LocalHost"},
                        // A fully qualified name verifies and travels
                        // without the root's dot.
                        Case{"localhost.", true, "localhost"},
                        Case{"127.0.0.1", false, ""}, Case{"127.1", false, ""},
                        Case{"::1", false, ""}, Case{"0:0::1", false, ""}}) {
    SCOPED_TRACE(c.host);
    auto client = Client(c.host);
    auto server = GoodServer();
    ASSERT_EQ(Connect(*client, *server), Step::kDone) << client->reason();
    EXPECT_EQ(server->sawServerName(), c.sni);
    if (c.sni) {
      EXPECT_EQ(server->serverName(), c.sent);
    }
  }
}

TEST_F(TlsSessionTest, RefusesCertificatesThatDoNotVerify) {
  struct Case {
    const char* what;
    std::string chain;
    std::string key;
    std::string host;
    std::string caFile;
    std::string reason;
  };
  const Case cases[] = {
      {"issuer not trusted", certs_.untrustedCert, certs_.untrustedKey, "localhost",
       certs_.caCert, "unable to get local issuer certificate"},
      {"chain ends in an untrusted CA", certs_.untrustedChain, certs_.untrustedKey, "localhost",
       certs_.caCert, "self-signed certificate in certificate chain"},
      {"the system's store does not know the test CA", certs_.serverCert, certs_.serverKey,
       "localhost", "", "unable to get local issuer certificate"},
      {"another name", certs_.wrongHostCert, certs_.wrongHostKey, "localhost", certs_.caCert,
       "hostname mismatch"},
      {"a name in the certificate that is not the host", certs_.serverCert, certs_.serverKey,
       "wrong.example", certs_.caCert, "hostname mismatch"},
      {"IPv4 address not in the certificate", certs_.wrongHostCert, certs_.wrongHostKey,
       "127.0.0.1", certs_.caCert, "IP address mismatch"},
      {"another IPv4 address", certs_.serverCert, certs_.serverKey, "127.0.0.2", certs_.caCert,
       "IP address mismatch"},
      {"IPv6 address not in the certificate", certs_.wrongHostCert, certs_.wrongHostKey, "::1",
       certs_.caCert, "IP address mismatch"},
      {"expired", certs_.expiredCert, certs_.expiredKey, "localhost", certs_.caCert,
       "certificate has expired"},
      // The common name is never taken for a host name (RFC 6125).
      {"the name only in the subject's CN", certs_.cnOnlyCert, certs_.cnOnlyKey, "localhost",
       certs_.caCert, "hostname mismatch"},
      {"two dots are not a fully qualified name", certs_.serverCert, certs_.serverKey,
       "localhost..", certs_.caCert, "hostname mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto client = Client(c.host, c.caFile);
    auto server = Server(c.chain, c.key);
    EXPECT_EQ(Connect(*client, *server), Step::kFailed);
    EXPECT_EQ(client->reason(), c.reason);
    EXPECT_EQ(client->Description(), "");
    // A failed session stays failed, and leaves nothing on the error queue.
    EXPECT_EQ(client->Handshake(), Step::kFailed);
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
}

TEST_F(TlsSessionTest, RefusesServersBelowTls12) {
  MemoryServer::Options old{TLS1_VERSION, TLS1_1_VERSION, 0};
  MemoryServer server(certs_.serverCert, certs_.serverKey, old);
  if (!server.ok()) GTEST_SKIP() << "this OpenSSL cannot make a TLS 1.1 server";
  auto client = Client("localhost");
  EXPECT_EQ(Connect(*client, server), Step::kFailed);
  EXPECT_EQ(client->reason(), "no shared protocol version (TLS 1.2 or newer is required)");
}

TEST_F(TlsSessionTest, NamesAServerThatHangsUpOrAnswersInPlainText) {
  {
    SCOPED_TRACE("hangs up after the client's first bytes");
    auto client = Client("localhost");
    EXPECT_EQ(client->Handshake(), Step::kWantInput);
    EXPECT_TRUE(client->HasOutgoing());
    EXPECT_FALSE(client->TakeOutgoing().empty());
    EXPECT_FALSE(client->HasOutgoing());
    client->PeerClosed();
    EXPECT_EQ(client->Handshake(), Step::kFailed);
    EXPECT_EQ(client->reason(), "connection closed");
  }
  {
    SCOPED_TRACE("hangs up in the middle of its answer");
    auto client = Client("localhost");
    auto server = GoodServer();
    client->Handshake();
    server->Feed(client->TakeOutgoing());
    server->Drive();
    std::string answer = server->Take();
    client->Feed(answer.data(), answer.size() / 2);
    EXPECT_EQ(client->Handshake(), Step::kWantInput);
    client->PeerClosed();
    EXPECT_EQ(client->Handshake(), Step::kFailed);
    EXPECT_EQ(client->reason(), "connection closed");
  }
  {
    SCOPED_TRACE("answers in plain text");
    auto client = Client("localhost");
    client->Handshake();
    const std::string line = "400 Error initializing TLS\r\n";
    client->Feed(line.data(), line.size());
    client->PeerClosed();
    EXPECT_EQ(client->Handshake(), Step::kFailed);
    EXPECT_EQ(client->reason(), "the server did not answer in TLS: \"400 Error initializing TLS\"");
  }
  {
    SCOPED_TRACE("answers in plain text, with control characters");
    auto client = Client("localhost");
    client->Handshake();
    const std::string line = "500 \x1b[2Jgone\r\n";
    client->Feed(line.data(), line.size());
    EXPECT_EQ(client->Handshake(), Step::kFailed);
    EXPECT_EQ(client->reason(), "the server did not answer in TLS: \"500 ?[2Jgone\"");
  }
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(TlsSessionTest, ClosesWithCloseNotifyBothWays) {
  {
    SCOPED_TRACE("the client ends the session");
    auto client = Client("localhost");
    auto server = GoodServer();
    ASSERT_EQ(Connect(*client, *server), Step::kDone);
    ASSERT_TRUE(client->Write("QUIT\r\n"));
    client->Shutdown();
    client->Shutdown();
    EXPECT_FALSE(client->Write("late\r\n"));
    server->Feed(client->TakeOutgoing());
    bool closed = false;
    EXPECT_EQ(server->Read(&closed), "QUIT\r\n");
    EXPECT_TRUE(closed);
  }
  {
    SCOPED_TRACE("the server ends the session");
    auto client = Client("localhost");
    auto server = GoodServer();
    ASSERT_EQ(Connect(*client, *server), Step::kDone);
    server->Write("205 bye\r\n");
    server->Shutdown();
    long last = 0;
    EXPECT_EQ(ClientReads(*client, *server, kWhole, &last), "205 bye\r\n");
    EXPECT_EQ(last, -1);
    EXPECT_TRUE(client->CloseNotifyReceived());
  }
  {
    SCOPED_TRACE("the server hangs up without close_notify");
    auto client = Client("localhost");
    auto server = GoodServer();
    ASSERT_EQ(Connect(*client, *server), Step::kDone);
    server->Write("205 bye\r\n");
    long last = 1;
    EXPECT_EQ(ClientReads(*client, *server, kWhole, &last), "205 bye\r\n");
    EXPECT_EQ(last, 0);
    client->PeerClosed();
    char buf[16];
    EXPECT_EQ(client->Read(buf, sizeof buf), -1);
    EXPECT_FALSE(client->CloseNotifyReceived());
  }
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(TlsSessionTest, FailsOnADamagedRecord) {
  auto client = Client("localhost");
  auto server = GoodServer();
  ASSERT_EQ(Connect(*client, *server), Step::kDone);
  char buf[64];
  client->Read(buf, sizeof buf);  // takes the session tickets
  server->Write("211 1 1 1 comp.test\r\n");
  std::string record = server->Take();
  record[record.size() - 3] ^= 0x20;
  client->Feed(record.data(), record.size());
  EXPECT_EQ(client->Read(buf, sizeof buf), -2);
  EXPECT_FALSE(client->reason().empty());
  EXPECT_EQ(client->reason().find('\n'), std::string::npos);
  EXPECT_EQ(client->Read(buf, sizeof buf), -2);
  EXPECT_FALSE(client->Write("QUIT\r\n"));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(TlsSessionTest, CreateNamesTheCaFileThatCannotBeUsed) {
  testutil::TempDir dir;
  const std::string ca = testutil::ReadFile(certs_.caCert);
  const std::string other = testutil::ReadFile(certs_.otherCaCert);
  testutil::WriteFile(dir.file("text.pem"), "this is not a certificate\n");
  testutil::WriteFile(dir.file("empty.pem"), "");
  testutil::WriteFile(dir.file("key-only.pem"), testutil::ReadFile(certs_.caKey));
  // A good first certificate does not hide a damaged later one.
  std::string damaged = other;
  damaged[damaged.find('\n') + 10] = '#';
  testutil::WriteFile(dir.file("damaged.pem"), ca + "# the next one\n" + damaged);
  testutil::WriteFile(dir.file("cut.pem"), ca + other.substr(0, other.size() / 2));
  ASSERT_EQ(mkfifo(dir.file("fifo.pem").c_str(), 0600), 0);
  // Line 1 is the first block's; the second begins behind the first and
  // the comment line.
  const int secondLine = static_cast<int>(std::count(ca.begin(), ca.end(), '\n')) + 2;
  struct Case {
    std::string file;
    std::string error;
  };
  const std::string noCert = ": no PEM certificate could be read from it";
  const Case cases[] = {
      {dir.file("missing.pem"), dir.file("missing.pem") + ": No such file or directory"},
      {dir.path(), dir.path() + ": Is a directory"},
      {dir.file("text.pem"), dir.file("text.pem") + noCert},
      {dir.file("empty.pem"), dir.file("empty.pem") + noCert},
      {dir.file("key-only.pem"), dir.file("key-only.pem") + noCert},
      // Neither waits for a writer or reads for ever.
      {dir.file("fifo.pem"), dir.file("fifo.pem") + ": not a regular file"},
      {"/dev/zero", "/dev/zero: not a regular file"},
      {dir.file("damaged.pem"), dir.file("damaged.pem") + ": the block that begins on line " +
                                    std::to_string(secondLine) +
                                    " is no readable certificate -- bad base64 decode"},
      {dir.file("cut.pem"), dir.file("cut.pem") + ": the block that begins on line " +
                                std::to_string(secondLine - 1) +
                                " has no \"-----END CERTIFICATE-----\" line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::string error;
    EXPECT_EQ(TlsSession::Create("localhost", c.file, &error), nullptr);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
  std::string error;
  EXPECT_EQ(TlsSession::Create("", certs_.caCert, &error), nullptr);
  EXPECT_FALSE(error.empty());
}

TEST_F(TlsSessionTest, TrustsEveryCertificateOfABundleAndPassesOverTheRest) {
  testutil::TempDir dir;
  // Comments between blocks, a key, CR LF line ends, and the CA that
  // matters last.
  std::string ca = testutil::ReadFile(certs_.caCert);
  std::string crlf;
  for (char ch : ca) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  testutil::WriteFile(dir.file("bundle.pem"),
                      "# Issuer: unrelated\n" + testutil::ReadFile(certs_.otherCaCert) + "\n" +
                          testutil::ReadFile(certs_.caKey) + "# Issuer: ours\r\n" + crlf);
  auto client = Client("localhost", dir.file("bundle.pem"));
  ASSERT_TRUE(client);
  auto server = GoodServer();
  EXPECT_EQ(Connect(*client, *server), Step::kDone) << client->reason();
}

}  // namespace
