// The connection's own seams: the addresses a host text stands for, the
// loop that tries them in turn, the plaintext that a TLS session holds
// where no socket event announces it, and the engine's wait, which must
// not sleep through a signal that came just before it began.
#include "connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "certs.h"
#include "newsserver.h"
#include "test_util.h"
#include "tls.h"

namespace pelliton {
namespace {

using Address = NntpConnection::Address;

template <typename F>
std::string StderrOf(F&& f) {
  testing::internal::CaptureStderr();
  f();
  return testing::internal::GetCapturedStderr();
}

Address AddressOf(int family, int port) {
  Address a;
  if (family == AF_INET) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&a.storage);
    sin->sin_family = AF_INET;
    sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin->sin_port = htons(static_cast<uint16_t>(port));
    a.length = sizeof *sin;
  } else {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_addr = in6addr_loopback;
    sin6->sin6_port = htons(static_cast<uint16_t>(port));
    a.length = sizeof *sin6;
  }
  return a;
}

std::string Text(const Address& a) {
  char host[INET6_ADDRSTRLEN] = "";
  int port = 0;
  const auto* sa = reinterpret_cast<const sockaddr*>(&a.storage);
  if (sa->sa_family == AF_INET) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(sa);
    inet_ntop(AF_INET, &sin->sin_addr, host, sizeof host);
    port = ntohs(sin->sin_port);
  } else {
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(sa);
    inet_ntop(AF_INET6, &sin6->sin6_addr, host, sizeof host);
    port = ntohs(sin6->sin6_port);
    if (sin6->sin6_scope_id != 0) std::strcat(host, "%scoped");
  }
  return std::string(host) + " " + std::to_string(port);
}

// A port on ::1 where connections are refused, held for the object's
// life; port() is 0 when the machine has no ::1.
class ClosedPort6 {
 public:
  ClosedPort6() {
    fd_ = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Address a = AddressOf(AF_INET6, 0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a.storage), a.length) != 0) return;
    socklen_t len = a.length;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a.storage), &len);
    port_ = ntohs(reinterpret_cast<sockaddr_in6*>(&a.storage)->sin6_port);
  }
  ~ClosedPort6() {
    if (fd_ >= 0) close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

TEST(ConnectionAddressTest, LiteralsNeedNoLookUp) {
  const struct {
    const char* host;
    std::vector<std::string> addresses;
  } cases[] = {
      {"127.0.0.1", {"127.0.0.1 119"}},
      {"127.1", {"127.0.0.1 119"}},  // inet_aton's short form, as before
      {"::1", {"::1 119"}},
      {"[::1]", {"::1 119"}},
      {"2001:db8::1", {"2001:db8::1 119"}},
      {"fe80::1%lo", {"fe80::1%scoped 119"}},
      // A label longer than 63 characters cannot be put into a DNS query,
      // so nothing leaves the machine.
      {"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx.invalid", {}},
      {"", {}},
      {"[]", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    std::vector<std::string> got;
    for (const Address& a : NntpConnection::Resolve(c.host, 119)) got.push_back(Text(a));
    EXPECT_EQ(got, c.addresses);
  }
}

TEST(ConnectionAddressTest, TheNameVerifiedIsThePlainLiteral) {
  const struct {
    const char* host;
    const char* verified;
  } cases[] = {
      {"news.example.com", "news.example.com"},
      {"127.0.0.1", "127.0.0.1"},
      {"::1", "::1"},
      {"[::1]", "::1"},
      {"fe80::1%eth0", "fe80::1"},
      {"[fe80::1%eth0]", "fe80::1"},
      {"news%x", "news%x"},  // not an address: left for the session to refuse
  };
  for (const auto& c : cases) EXPECT_EQ(NntpConnection::HostToVerify(c.host), c.verified);
}

TEST(ConnectionAddressTest, AddressesAreTriedInTurnUntilOneTakesTheConnection) {
  testserver::NewsServer server;
  const int live = server.Start();
  ASSERT_GT(live, 0);
  testutil::ClosedPort dead4;
  ClosedPort6 dead6;
  std::vector<Address> addresses = {AddressOf(AF_INET, dead4.port())};
  if (dead6.port() != 0) addresses.push_back(AddressOf(AF_INET6, dead6.port()));
  addresses.push_back(AddressOf(AF_INET, live));

  NntpConnection connection(5);
  int result = 0;
  EXPECT_EQ(StderrOf([&] { result = connection.ConnectAddresses(addresses); }), "");
  ASSERT_EQ(result, 1);
  char line[kResponseLineSize];
  ASSERT_EQ(connection.ReadLine(line, sizeof line), 1);
  EXPECT_STREQ(line, "200 testserver ready (posting ok)\r\n");
  connection.Close();
  EXPECT_EQ(server.ConnectionCount(), 1);
}

// A listener whose accept queue is full drops further connection requests
// without a word, as a host that is down behind a router does.
class SilentListener {
 public:
  SilentListener() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Address a = AddressOf(AF_INET, 0);
    socklen_t len = a.length;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a.storage), a.length) != 0 ||
        listen(listener_, 0) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a.storage), &len) != 0)
      return;
    filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(filler_, reinterpret_cast<sockaddr*>(&a.storage), a.length) != 0) return;
    port_ = ntohs(reinterpret_cast<sockaddr_in*>(&a.storage)->sin_port);
  }
  ~SilentListener() {
    close(filler_);
    close(listener_);
  }
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int filler_ = -1;
  int port_ = 0;
};

TEST(ConnectionAddressTest, AnAddressThatNeverAnswersLeavesTimeForTheNext) {
  testserver::NewsServer server;
  const int live = server.Start();
  ASSERT_GT(live, 0);
  SilentListener silent;
  ASSERT_NE(silent.port(), 0);
  NntpConnection connection(2);
  int result = 0;
  EXPECT_EQ(StderrOf([&] {
              result = connection.ConnectAddresses(
                  {AddressOf(AF_INET, silent.port()), AddressOf(AF_INET, live)});
            }),
            "");
  EXPECT_EQ(result, 1);
  connection.Close();

  // Alone, it has the whole timeout, and the message of a timeout.
  NntpConnection alone(1);
  EXPECT_EQ(StderrOf([&] { result = alone.ConnectAddresses({AddressOf(AF_INET, silent.port())}); }),
            "pelliton: timeout talking to NNTP server\n");
  EXPECT_EQ(result, 0);
}

TEST(ConnectionAddressTest, WhenNoneTakesItTheLastFailureIsReported) {
  testutil::ClosedPort dead4;
  ClosedPort6 dead6;
  std::vector<Address> addresses = {AddressOf(AF_INET, dead4.port())};
  if (dead6.port() != 0) addresses.push_back(AddressOf(AF_INET6, dead6.port()));
  NntpConnection connection(5);
  int result = 1;
  EXPECT_EQ(StderrOf([&] { result = connection.ConnectAddresses(addresses); }),
            "pelliton: Connection refused\n");
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(connection.IsOpen());
}

// A TLS record decrypted whole and read in small pieces: what the session
// holds must be read without waiting for the socket, which has nothing
// more to say until the next request.
TEST(ConnectionTlsTest, PlaintextHeldByTheSessionNeedsNoSocketEvent) {
  const testcerts::CertSet& certs = testcerts::SharedCerts();
  std::string error;
  testserver::NewsServer server;
  server.AddSyntheticGroup("big", 1, 1);
  testserver::TlsSettings tls;
  tls.mode = testserver::TlsMode::kImplicit;
  tls.chainFile = certs.serverChain;
  tls.keyFile = certs.serverKey;
  ASSERT_TRUE(server.SetTls(tls, &error)) << error;
  const int port = server.Start();
  ASSERT_GT(port, 0);

  // A short timeout: a wait that misses the session's plaintext fails.
  NntpConnection connection(2);
  ASSERT_EQ(connection.Connect("127.0.0.1", port), 1);
  std::unique_ptr<TlsSession> session = TlsSession::Create("127.0.0.1", certs.caCert, &error);
  ASSERT_TRUE(session) << error;
  ASSERT_EQ(connection.StartTls(std::move(session), "127.0.0.1"), 1);
  char line[kResponseLineSize];
  ASSERT_EQ(connection.ReadLine(line, sizeof line), 1);
  ASSERT_EQ(connection.SendLine("GROUP big\r\n"), 1);
  ASSERT_EQ(connection.ReadLine(line, sizeof line), 1);

  const std::string expected = "221 1 <1.big@testserver>\r\n";
  connection.Queue("HEAD 1\r\n");
  connection.FlushPending();
  std::string got;
  while (got.size() < 3 || got.compare(got.size() - 3, 3, ".\r\n") != 0) {
    NntpConnection::Readiness ready;
    const NntpConnection::WaitResult w = connection.Wait(false, ready);
    ASSERT_EQ(w, NntpConnection::WaitResult::kReady);
    if (!ready.readable) continue;
    char piece[7];
    const long n = connection.Read(piece, sizeof piece);
    ASSERT_GE(n, 0);
    got.append(piece, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got.substr(0, 4), "221 ");
  EXPECT_GT(got.size(), 500u);
  connection.SendQuietly("QUIT\r\n");
  connection.Close();
}

// A signal counted after the engine looked, but before it waits, ends the
// wait at once: with a silent server the engine would otherwise sleep
// until the timeout.
TEST(ConnectionWait, ASignalCountedBeforeTheWaitEndsIt) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  UniqueFd peer(fds[1]);
  NntpConnection connection(60);
  connection.Adopt(UniqueFd(fds[0]));
  const sig_atomic_t before = signalsCaught;
  NntpConnection::Readiness ready;

  signalsCaught = before + 1;  // as the handler counts a signal
  EXPECT_EQ(connection.Wait(false, ready, before), NntpConnection::WaitResult::kInterrupted);
  // Nothing new since the caller looked: a poll finds nothing to do.
  EXPECT_EQ(connection.Wait(true, ready, signalsCaught), NntpConnection::WaitResult::kNothing);
  signalsCaught = before;
}

}  // namespace
}  // namespace pelliton
