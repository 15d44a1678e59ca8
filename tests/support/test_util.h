// Helpers shared by the tests: temporary directories, whole files, ports
// on 127.0.0.1, and running the real pelliton binary.
#ifndef PELLITON_TEST_UTIL_H
#define PELLITON_TEST_UTIL_H

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Defined where AddressSanitizer is built in: its allocator does not heed
// a limit on the address space, and reports a failed allocation itself
// unless told otherwise.
#if defined(__SANITIZE_ADDRESS__)
#define PELLITON_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PELLITON_ASAN 1
#endif
#endif

namespace testutil {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& content);
// The names in a directory, "." and ".." left out, sorted; none when it
// cannot be read.
std::vector<std::string> ListDir(const std::string& path);

// A small tmpfs of its own, to fill or to make read-only: the directory is
// made and mounted with the options ("size=64k", "nr_inodes=2", ...).
// Needs the right to mount; unmounted when it goes.
class Tmpfs {
 public:
  Tmpfs(const std::string& path, const std::string& options);
  ~Tmpfs();
  Tmpfs(const Tmpfs&) = delete;
  Tmpfs& operator=(const Tmpfs&) = delete;
  bool mounted() const { return mounted_; }
  // Why it is not mounted.
  const std::string& why() const { return why_; }
  // False with errno set when the remount fails.
  bool SetReadOnly(bool on);

 private:
  std::string path_;
  std::string why_;
  bool mounted_ = false;
};
// The whole file, or "" when it cannot be read.
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// A TCP socket bound to a port that the kernel picks on 127.0.0.1,
// listening or not.  The port stays taken while the object lives, so that
// no other test's server can get it under ctest -j.
class LocalSocket {
 public:
  explicit LocalSocket(bool listening);
  ~LocalSocket();
  LocalSocket(const LocalSocket&) = delete;
  LocalSocket& operator=(const LocalSocket&) = delete;

  int fd() const { return fd_; }
  int port() const { return port_; }
  // True when a client has connected and waits to be accepted.
  bool HasPendingConnection() const;

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port on 127.0.0.1 where a connection is refused: bound and held for
// the object's life, never listening.
class ClosedPort {
 public:
  ClosedPort() : socket_(false) {}
  int port() const { return socket_.port(); }

 private:
  LocalSocket socket_;
};

// A port on 127.0.0.1 (or ::1) that swallows connection requests without
// a word, as a host that is down behind a router does: a listener whose
// accept queue is full, so that the kernel drops further SYNs.  port() is
// 0 when it cannot be set up (a machine without ::1).
class BlackHole {
 public:
  explicit BlackHole(bool ipv6 = false);
  ~BlackHole();
  BlackHole(const BlackHole&) = delete;
  BlackHole& operator=(const BlackHole&) = delete;
  int port() const { return port_; }
  // Takes the connection that fills the queue, as a host that comes back
  // up does: a connection request retried from now on is answered.
  void Open();

 private:
  int listener_ = -1;
  int filler_ = -1;
  int accepted_ = -1;
  int port_ = 0;
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
  long maxRssKb = 0;  // peak resident memory, in kilobytes
};

// A program started with its standard output and error captured.  The
// environment is the test's own without NNTPSERVER, with `env` added (an
// empty value removes the variable).
class Child {
 public:
  Child(const std::vector<std::string>& argv,
        const std::map<std::string, std::string>& env = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  void Signal(int sig);
  // Reads the standard error until it holds `text` (true), or until it
  // ends or `limit` has passed (false).  What was read is kept for
  // Finish().
  bool WaitForStderr(const std::string& text, std::chrono::milliseconds limit);
  // Collects the output until the program ends and returns everything.
  RunResult Finish();
  // The same, but a program whose output is still open after `limit` is
  // killed with SIGKILL: a guard against a test that would otherwise hang.
  RunResult Finish(std::chrono::milliseconds limit);

 private:
  RunResult Collect(std::optional<std::chrono::steady_clock::time_point> killAt);

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string errSoFar_;
  bool finished_ = false;
};

// Runs the built pelliton with the arguments and waits for it.
RunResult RunPelliton(const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env = {});

// Path of the built pelliton binary.
std::string PellitonBinary();

}  // namespace testutil

#endif  // PELLITON_TEST_UTIL_H
