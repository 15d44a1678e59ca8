// Shared by the end-to-end tests of the run sequence: sockets on
// 127.0.0.1, a one-connection news server, and a fixture that writes the
// server, filter and newsrc files into a temporary directory, so that no
// run ever touches the real home directory.
#ifndef PELLITON_TESTS_RUN_FIXTURE_H
#define PELLITON_TESTS_RUN_FIXTURE_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
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

// A news server for one connection: it greets, answers LIST and GROUP from
// a fixed script, and records every command line it receives.
inline const std::string kListAnswer = "215 list follows\r\ncomp.test 5 1 y\r\n.\r\n";

class TinyNewsServer {
 public:
  // With holdGreeting the server accepts the client but greets it only
  // after ReleaseGreeting().
  explicit TinyNewsServer(std::string listAnswer = kListAnswer, bool holdGreeting = false)
      : listAnswer_(std::move(listAnswer)), socket_(true), greet_(!holdGreeting) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~TinyNewsServer() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return socket_.port(); }
  // True once the client has connected, false after ten seconds without.
  bool WaitForClient() const {
    for (int i = 0; i < 1000 && !accepted_; ++i) usleep(10000);
    return accepted_;
  }
  void ReleaseGreeting() { greet_ = true; }
  std::vector<std::string> commands() {
    std::lock_guard<std::mutex> guard(mutex_);
    return commands_;
  }

 private:
  void Serve() {
    pollfd p{socket_.fd(), POLLIN, 0};
    while (!stop_ && poll(&p, 1, 100) == 0) {
    }
    if (stop_) return;
    const int conn = accept4(socket_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) return;
    accepted_ = true;
    while (!greet_ && !stop_) usleep(10000);
    Send(conn, "200 tiny news server ready\r\n");
    std::string pending;
    bool open = true;
    while (open && !stop_) {
      pollfd c{conn, POLLIN, 0};
      if (poll(&c, 1, 100) == 0) continue;
      char buf[4096];
      const ssize_t n = read(conn, buf, sizeof buf);
      if (n <= 0) break;
      pending.append(buf, static_cast<size_t>(n));
      for (size_t end; open && (end = pending.find("\r\n")) != std::string::npos;) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 2);
        {
          std::lock_guard<std::mutex> guard(mutex_);
          commands_.push_back(line);
        }
        if (line == "QUIT") {
          Send(conn, "205 bye\r\n");
          open = false;
        } else if (line == "LIST") {
          Send(conn, listAnswer_);
        } else if (line.rfind("GROUP ", 0) == 0) {
          Send(conn, "211 5 1 5 " + line.substr(6) + "\r\n");
        } else {
          Send(conn, "500 what?\r\n");
        }
      }
    }
    close(conn);
  }
  static void Send(int fd, const std::string& text) {
    if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) < 0) {
      // The client went away; the test judges by what it recorded.
    }
  }

  std::string listAnswer_;
  LocalSocket socket_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> accepted_{false};
  std::atomic<bool> greet_;
  std::mutex mutex_;
  std::vector<std::string> commands_;
  std::thread thread_;
};

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
    testutil::WriteFile(servers(), "[news]\nhost 127.0.0.1\nport " + std::to_string(port) + "\nconfig " +
                             filters() + "\nnewsrc " + newsrc() + "\n" + extra);
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
