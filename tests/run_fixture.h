// Shared by the end-to-end tests of the run sequence: sockets on 127.0.0.1
// and a fixture that writes the server, filter and newsrc files into a
// temporary directory, so that no run ever touches the real home directory.
#ifndef PELLITON_TESTS_RUN_FIXTURE_H
#define PELLITON_TESTS_RUN_FIXTURE_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace runfixture {

// A socket bound to a kernel-chosen port on 127.0.0.1, optionally listening.
class LocalSocket {
 public:
  explicit LocalSocket(bool listening) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        (listening && listen(fd_, 4) != 0))
      ADD_FAILURE() << "cannot set up a socket on 127.0.0.1: " << std::strerror(errno);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~LocalSocket() { Close(); }
  LocalSocket(const LocalSocket&) = delete;
  LocalSocket& operator=(const LocalSocket&) = delete;

  int fd() const { return fd_; }
  int port() const { return port_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  // True when a client has connected and waits to be accepted.
  bool HasPendingConnection() const {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port on 127.0.0.1 where nothing listens, so connecting is refused.
inline int ClosedPort() {
  LocalSocket s(false);
  return s.port();
}

// Every test gets its own directory with a server file whose section sets
// absolute filter and newsrc paths.
class RunFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::WriteFile(filters(), "comp.test:\n" + dir_.file("mbox") + "\n");
  }

  std::string servers() const { return dir_.file("servers"); }
  std::string filters() const { return dir_.file("filters"); }
  std::string newsrc() const { return dir_.file("newsrc"); }
  std::string file(const std::string& name) const { return dir_.file(name); }

  // Writes the server file with the section [news] and returns its path.
  std::string WriteServers(int port, const std::string& extra = "") const {
    testutil::WriteFile(servers(), "[news]\nhost 127.0.0.1\nport " + std::to_string(port) +
                                       "\nconfig " + filters() + "\nnewsrc " + newsrc() + "\n" +
                                       extra);
    return servers();
  }

  // Runs pelliton against the server file: "-f <servers>", the arguments,
  // then the server name "news".
  testutil::RunResult RunNews(const std::vector<std::string>& args) const {
    std::vector<std::string> all{"-f", servers()};
    all.insert(all.end(), args.begin(), args.end());
    all.push_back("news");
    return testutil::RunPelliton(all);
  }

  testutil::TempDir dir_;
};

}  // namespace runfixture

#endif  // PELLITON_TESTS_RUN_FIXTURE_H
