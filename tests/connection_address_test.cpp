// The connection's own seams: the addresses a host text stands for, the
// race between them, the plaintext that a TLS session holds where no
// socket event announces it, and the waits, which must not sleep through
// a signal that came just before they began.
#include "connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
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

// Ends a wait that would otherwise hang the test: after `seconds` the
// alarm counts a stop signal, as the run's handler would, and the wait
// that then ends fails the test instead.
class HangGuard {
 public:
  explicit HangGuard(unsigned seconds) {
    struct sigaction action {};
    action.sa_handler = [](int) { signalsCaught = signalsCaught + 1; };
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, &old_);
    alarm(seconds);
  }
  ~HangGuard() {
    alarm(0);
    sigaction(SIGALRM, &old_, nullptr);
    signalsCaught = 0;
  }

 private:
  struct sigaction old_ {};
};

TEST(ConnectionAddressTest, AnAddressThatNeverAnswersDoesNotHoldUpTheNext) {
  testserver::NewsServer server;
  const int live = server.Start();
  ASSERT_GT(live, 0);
  testutil::BlackHole hole4;
  testutil::BlackHole hole6(true);
  ASSERT_NE(hole4.port(), 0);
  std::vector<Address> addresses = {AddressOf(AF_INET, hole4.port())};
  if (hole6.port() != 0) addresses.push_back(AddressOf(AF_INET6, hole6.port()));
  addresses.push_back(AddressOf(AF_INET, live));

  // No timeout: an attempt that waited for its address to answer would
  // wait for ever.
  NntpConnection connection(0);
  int result = 0;
  {
    HangGuard guard(20);
    EXPECT_EQ(StderrOf([&] { result = connection.ConnectAddresses(addresses); }), "");
  }
  ASSERT_EQ(result, 1);
  char line[kResponseLineSize];
  ASSERT_EQ(connection.ReadLine(line, sizeof line), 1);
  EXPECT_STREQ(line, "200 testserver ready (posting ok)\r\n");
  connection.Close();

  // Alone, it has the whole timeout, and the message of a timeout.
  NntpConnection alone(1);
  EXPECT_EQ(StderrOf([&] { result = alone.ConnectAddresses({AddressOf(AF_INET, hole4.port())}); }),
            "pelliton: timeout talking to NNTP server\n");
  EXPECT_EQ(result, 0);
}

// An attempt goes on after the next has started beside it, and wins when
// it connects first: a host that is slow to answer is not given up.
TEST(ConnectionAddressTest, AnEarlierAttemptThatConnectsFirstWins) {
  testutil::BlackHole slow;
  testutil::BlackHole never;
  ASSERT_NE(slow.port(), 0);
  // The kernel asks again a second after the first request: by then the
  // slow host is back, long after the second attempt began.
  std::thread wakeUp([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    slow.Open();
  });
  const std::size_t descriptors = testutil::ListDir("/proc/self/fd").size();
  NntpConnection connection(0);
  int result = 0;
  {
    HangGuard guard(20);
    result = connection.ConnectAddresses(
        {AddressOf(AF_INET, slow.port()), AddressOf(AF_INET, never.port())});
  }
  wakeUp.join();
  ASSERT_EQ(result, 1);
  // The attempt that lost is closed: what is left is the connection and
  // the slow host's end of the connection that had filled its queue.
  EXPECT_EQ(testutil::ListDir("/proc/self/fd").size(), descriptors + 2);
  connection.Close();
}

TEST(ConnectionAddressTest, FamiliesTakeTurnsFromTheFirst) {
  const struct {
    const char* families;  // of the addresses in the resolver's order
    const char* tried;
  } cases[] = {
      {"4", "4"}, {"46", "46"}, {"66644", "64646"}, {"44466", "46464"}, {"6664", "6466"}, {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.families);
    std::vector<Address> addresses;
    int port = 1;
    for (const char* f = c.families; *f != '\0'; ++f)
      addresses.push_back(AddressOf(*f == '4' ? AF_INET : AF_INET6, port++));
    std::string tried;
    std::vector<int> ports;
    for (const Address& a : NntpConnection::InterleaveFamilies(addresses)) {
      tried += reinterpret_cast<const sockaddr*>(&a.storage)->sa_family == AF_INET ? '4' : '6';
      ports.push_back(std::stoi(Text(a).substr(Text(a).find(' ') + 1)));
    }
    EXPECT_EQ(tried, c.tried);
    // Within a family the resolver's order stands.
    for (char family : {'4', '6'}) {
      std::vector<int> inFamily;
      for (std::size_t i = 0; i < tried.size(); ++i)
        if (tried[i] == family) inFamily.push_back(ports[i]);
      EXPECT_TRUE(std::is_sorted(inFamily.begin(), inFamily.end()));
    }
  }
}

// A signal counted before the connect waits ends it at once, without a
// word, with every attempt closed.
TEST(ConnectionAddressTest, AStopSignalEndsTheRace) {
  testutil::BlackHole hole;
  ASSERT_NE(hole.port(), 0);
  const std::size_t descriptors = testutil::ListDir("/proc/self/fd").size();
  NntpConnection connection(0);
  signalsCaught = 1;
  int result = 1;
  EXPECT_EQ(
      StderrOf([&] { result = connection.ConnectAddresses({AddressOf(AF_INET, hole.port())}); }),
      "");
  signalsCaught = 0;
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(connection.Stopped());
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_EQ(testutil::ListDir("/proc/self/fd").size(), descriptors);
}

TEST(ConnectionAddressTest, ALinkLocalAddressNeedsAZoneThatExists) {
  const struct {
    const char* host;
    const char* message;
  } cases[] = {
      {"fe80::1",
       "pelliton: fe80::1: link-local address needs a zone, as in fe80::1%<interface>\n"},
      {"[fe80::1]",
       "pelliton: [fe80::1]: link-local address needs a zone, as in fe80::1%<interface>\n"},
      {"fe80::1%no-such-if", "pelliton: fe80::1%no-such-if: unknown zone 'no-such-if'\n"},
      {"[fe80::1%]", "pelliton: [fe80::1%]: unknown zone ''\n"},
  };
  for (const auto& c : cases) {
    NntpConnection connection(5);
    int result = 1;
    EXPECT_EQ(StderrOf([&] { result = connection.Connect(c.host, 119); }), c.message);
    EXPECT_EQ(result, 0);
  }
  // With its zone it is tried like any other address.
  testutil::ClosedPort closed;
  NntpConnection connection(5);
  const std::string err = StderrOf([&] { connection.Connect("fe80::1%lo", closed.port()); });
  EXPECT_EQ(err.find("zone"), std::string::npos) << err;
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
