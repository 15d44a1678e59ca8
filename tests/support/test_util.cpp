#include "test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testutil {

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(path, ec))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

Tmpfs::Tmpfs(const std::string& path, const std::string& options) : path_(path) {
  if (mkdir(path.c_str(), 0755) != 0) {
    why_ = std::string("mkdir: ") + std::strerror(errno);
    return;
  }
  if (mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    why_ = std::string("mount tmpfs: ") + std::strerror(errno);
    return;
  }
  mounted_ = true;
}

Tmpfs::~Tmpfs() {
  if (mounted_) umount2(path_.c_str(), MNT_DETACH);
}

bool Tmpfs::SetReadOnly(bool on) {
  return mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT | (on ? MS_RDONLY : 0), "") == 0;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/pelliton-test.XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  // Restore write permission first so that tests may leave read-only
  // directories behind.  A link to a directory elsewhere ("/" among them)
  // is not ours to change.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->symlink_status(ec).type() == std::filesystem::file_type::directory)
      chmod(it->path().c_str(), 0700);
  }
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool FileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

LocalSocket::LocalSocket(bool listening) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      (listening && listen(fd_, 4) != 0) ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error(std::string("cannot set up a socket on 127.0.0.1: ") +
                             std::strerror(errno));
  port_ = ntohs(addr.sin_port);
}

LocalSocket::~LocalSocket() {
  if (fd_ >= 0) close(fd_);
}

bool LocalSocket::HasPendingConnection() const {
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

BlackHole::BlackHole(bool ipv6) {
  sockaddr_storage storage{};
  socklen_t len;
  if (ipv6) {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&storage);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_addr = in6addr_loopback;
    len = sizeof *sin6;
  } else {
    auto* sin = reinterpret_cast<sockaddr_in*>(&storage);
    sin->sin_family = AF_INET;
    sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *sin;
  }
  auto* address = reinterpret_cast<sockaddr*>(&storage);
  listener_ = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0 || bind(listener_, address, len) != 0 || listen(listener_, 0) != 0 ||
      getsockname(listener_, address, &len) != 0)
    return;
  // The one connection that the queue holds fills it.
  filler_ = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (filler_ < 0 || connect(filler_, address, len) != 0) return;
  port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

void BlackHole::Open() {
  if (accepted_ < 0) accepted_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
}

BlackHole::~BlackHole() {
  if (accepted_ >= 0) close(accepted_);
  if (filler_ >= 0) close(filler_);
  if (listener_ >= 0) close(listener_);
}

Child::Child(const std::vector<std::string>& argv,
             const std::map<std::string, std::string>& env) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    std::string key = entry.substr(0, entry.find('='));
    if (key == "NNTPSERVER" || env.count(key)) continue;
    envStrings.push_back(entry);
  }
  for (const auto& [key, value] : env)
    if (!value.empty()) envStrings.push_back(key + "=" + value);
  std::vector<char*> envp, args;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argCopy(argv);
  for (auto& s : argCopy) args.push_back(s.data());
  args.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    // Start with default signal handling whatever the test runner set.
    signal(SIGPIPE, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  outFd_ = out[0];
  errFd_ = err[0];
}

Child::~Child() {
  if (!finished_) {
    Signal(SIGKILL);
    Finish();
  }
}

void Child::Signal(int sig) {
  if (pid_ > 0 && !finished_) kill(pid_, sig);
}

bool Child::WaitForStderr(const std::string& text, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (errSoFar_.find(text) == std::string::npos) {
    if (errFd_ < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{errFd_, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buf[4096];
    const ssize_t n = read(errFd_, buf, sizeof buf);
    if (n > 0) {
      errSoFar_.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      close(errFd_);
      errFd_ = -1;
    }
  }
  return true;
}

RunResult Child::Finish() { return Collect(std::nullopt); }

RunResult Child::Finish(std::chrono::milliseconds limit) {
  return Collect(std::chrono::steady_clock::now() + limit);
}

RunResult Child::Collect(std::optional<std::chrono::steady_clock::time_point> killAt) {
  RunResult result;
  result.err = errSoFar_;
  pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = errFd_ < 0 ? 1 : 2;
  while (open > 0) {
    int waitMs = -1;
    if (killAt) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          *killAt - std::chrono::steady_clock::now());
      waitMs = static_cast<int>(std::max<long long>(left.count(), 0));
    }
    const int ready = poll(fds, 2, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {
      Signal(SIGKILL);
      killAt.reset();
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[65536];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, n);
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  finished_ = true;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.maxRssKb = usage.ru_maxrss;
  return result;
}

std::string PellitonBinary() { return PELLITON_BINARY; }

RunResult RunPelliton(const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env) {
  std::vector<std::string> argv{PellitonBinary()};
  argv.insert(argv.end(), args.begin(), args.end());
  Child child(argv, env);
  return child.Finish();
}

}  // namespace testutil
