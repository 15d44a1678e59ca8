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
  return child_.Finish(gate_, [this] { return Deadline(); });
}

const std::optional<Command::Clock::time_point>& Command::Deadline() {
  if (!keepRunning && !deadline_) deadline_ = Clock::now() + kCommandGrace;
  return deadline_;
}

bool Command::GracePassed() { return Deadline() && Clock::now() >= *deadline_; }

}  // namespace pelliton
