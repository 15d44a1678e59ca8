#include "passwordcommand.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "childprocess.h"
#include "util.h"

namespace pelliton {
namespace {

using Clock = std::chrono::steady_clock;

// The longest wait between two looks at keepRunning and at the command: a
// stop signal, or the command's SIGCHLD, may be taken by another thread of
// a host process (a test) and then wakes no wait of this one.
constexpr auto kLookInterval = std::chrono::milliseconds(100);

// What the command wrote: its first line, as far as it is wanted, and
// whether anything came at all.  The rest is read and dropped, so that a
// command that writes more never blocks on a full pipe.
class Output {
 public:
  ~Output() { WipeSecret(line_); }

  // Reads what the pipe holds now, a bounded amount so that a command that
  // writes for ever cannot keep the caller from its deadline; closes the
  // pipe at its end.
  void Drain(UniqueFd& pipe) {
    char buf[4096];
    for (int reads = 0; reads < 64 && pipe; ++reads) {
      const ssize_t n = read(pipe.get(), buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n <= 0) {
        pipe.reset();
        break;
      }
      Take(buf, static_cast<std::size_t>(n));
    }
    explicit_bzero(buf, sizeof buf);
  }

  // Why the output is no password; "" when it is one, which then goes to
  // *password.
  std::string Judge(std::string* password) {
    if (!any_) return "no output";
    // A CR LF line end is a line end too.
    if (ended_ && !line_.empty() && line_.back() == '\r') line_.pop_back();
    if (line_.size() > kMaxPasswordLength)
      return "its first line is longer than " + std::to_string(kMaxPasswordLength) +
             " characters";
    if (line_.empty()) return "empty first line";
    // Either would end the AUTHINFO line early, and hand the server a
    // command instead of a password.
    if (line_.find_first_of(std::string_view("\0\r", 2)) != std::string::npos)
      return "its first line holds a NUL or a carriage return";
    password->assign(line_);
    return std::string();
  }

 private:
  void Take(const char* data, std::size_t n) {
    any_ = true;
    if (ended_) return;
    const char* newline = static_cast<const char*>(std::memchr(data, '\n', n));
    const std::size_t take = newline != nullptr ? static_cast<std::size_t>(newline - data) : n;
    // Room for the password, a carriage return, and one more character to
    // tell that the line is too long.
    const std::size_t room = kMaxPasswordLength + 2 - std::min(line_.size(), kMaxPasswordLength + 2);
    line_.append(data, std::min(take, room));
    if (newline != nullptr) ended_ = true;
  }

  std::string line_;
  bool any_ = false;
  bool ended_ = false;
};

std::string describeStatus(int status) {
  if (status == -1) return std::string("cannot wait for it -- ") + std::strerror(errno);
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
    return "exit status " + std::to_string(WEXITSTATUS(status));
  return std::string();
}

}  // namespace

void WipeSecret(std::string& text) {
  explicit_bzero(text.data(), text.size());
  text.clear();
}

bool RunPasswordCommand(const std::string& command, int timeoutSeconds, std::string* password,
                        std::string* reason) {
  const SignalGate gate;
  // A run that is stopping already starts nothing.
  if (!keepRunning) {
    *reason = "stopped by a signal";
    return false;
  }
  int fds[2];
  // Both ends close on exec: the command gets the write end as its
  // standard output and nothing else of ours.
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    *reason = std::string("cannot run it -- ") + std::strerror(errno);
    return false;
  }
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  // Only the read end waits; the command's end blocks as a pipe should.
  fcntl(writeEnd.get(), F_SETFL, fcntl(writeEnd.get(), F_GETFL) & ~O_NONBLOCK);
  ChildProcess child;
  ChildProcess::Plumbing plumbing;
  plumbing.standardOutput = writeEnd.get();
  plumbing.inputFromDevNull = true;
  if (!child.Start(command.c_str(), plumbing, gate.original())) {
    *reason = std::string("cannot run it -- ") + std::strerror(errno);
    return false;
  }
  writeEnd.reset();

  std::optional<Clock::time_point> deadline;
  if (timeoutSeconds > 0) deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  Output output;
  int status = 0;
  for (;;) {
    // Looked at before the pipe is read: what the command wrote before it
    // ended is in the pipe by then.  Whatever it left running may keep the
    // pipe open; that is not waited for.
    const bool ended = child.HasEnded();
    output.Drain(readEnd);
    if (ended) {
      status = child.Reap(false);
      break;
    }
    if (!keepRunning) {
      *reason = "stopped by a signal";
      return false;
    }
    const Clock::time_point now = Clock::now();
    if (deadline && now >= *deadline) {
      *reason = "no answer within " + std::to_string(timeoutSeconds) +
                (timeoutSeconds == 1 ? " second" : " seconds");
      return false;
    }
    Clock::time_point until = now + kLookInterval;
    if (deadline) until = std::min(until, *deadline);
    gate.Wait(readEnd ? readEnd.get() : -1, POLLIN, until);
  }
  *reason = describeStatus(status);
  if (reason->empty()) *reason = output.Judge(password);
  return reason->empty();
}

}  // namespace pelliton
