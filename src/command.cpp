#include "command.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace pelliton {
namespace {

void setFlag(int fd, int flag) {
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | flag);
}

}  // namespace

Command::Command() = default;

Command::~Command() = default;

bool Command::Start(const char* command) {
  int fds[2];
  // Both ends close on exec: the command gets the read end as its
  // standard input and nothing else of ours.
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  UniqueFd readEnd(fds[0]);
  pipe_.reset(fds[1]);
  setFlag(pipe_.get(), O_NONBLOCK);
  ChildProcess::Plumbing plumbing;
  plumbing.standardInput = readEnd.get();
  if (!child_.Start(command, plumbing, gate_.original())) {
    pipe_.reset();
    return false;
  }
  return true;
}

bool Command::Write(MboxMessage& message) {
  while (!message.Done()) {
    ssize_t written = message.WriteOnce(pipe_.get());
    if (written > 0 || (written < 0 && errno == EINTR)) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (GracePassed()) return false;
      gate_.Wait(pipe_.get(), POLLOUT, Deadline());
      continue;
    }
    return false;
  }
  return true;
}

int Command::Finish() {
  pipe_.reset();
  std::optional<Clock::time_point> killAt;
  bool killed = false;
  for (;;) {
    // What is left of a command that was given up (a child that ignores
    // SIGTERM) ends with it: it would otherwise deliver what the run will
    // fetch again.
    if (child_.HasEnded()) return child_.Reap(killAt.has_value());
    if (!killAt && GracePassed()) {
      child_.Signal(SIGTERM);
      killAt = Clock::now() + kCommandGrace;
    } else if (killAt && !killed && Clock::now() >= *killAt) {
      child_.Signal(SIGKILL);
      killed = true;
    }
    std::optional<Clock::time_point> until = killAt ? killAt : Deadline();
    if (killed) until.reset();
    gate_.Wait(-1, 0, until);
  }
}

const std::optional<Command::Clock::time_point>& Command::Deadline() {
  if (!keepRunning && !deadline_) deadline_ = Clock::now() + kCommandGrace;
  return deadline_;
}

bool Command::GracePassed() { return Deadline() && Clock::now() >= *deadline_; }

}  // namespace pelliton
