#include "command.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace pelliton {
namespace {

void setFlag(int fd, int flag) {
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | flag);
}

void setDisposition(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
}

// Between fork and exec only async-signal-safe calls.
[[noreturn]] void runChild(const char* command, int readEnd, const sigset_t& mask) {
  setpgid(0, 0);
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGXFSZ, SIGCHLD})
    setDisposition(sig, SIG_DFL);
  // In a group of its own the command is in the background of the terminal
  // that an interactive run shares with it.  Stopped for touching it (a
  // write under "stty tostop", a read of /dev/tty) it would never end and
  // the run would wait for ever: a write goes ahead instead, a read fails.
  setDisposition(SIGTTOU, SIG_IGN);
  setDisposition(SIGTTIN, SIG_IGN);
  // dup2 leaves the copy open across exec; a read end that already is
  // descriptor 0 must be told so itself.
  if (readEnd == STDIN_FILENO) {
    if (fcntl(readEnd, F_SETFD, 0) != 0) _exit(127);
  } else if (dup2(readEnd, STDIN_FILENO) < 0) {
    _exit(127);
  }
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
  _exit(127);
}

void ignoreSignal(int) {}

}  // namespace

Command::ChildSignal::ChildSignal() {
  struct sigaction action {};
  action.sa_handler = ignoreSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_NOCLDSTOP;
  sigaction(SIGCHLD, &action, &old_);
}

Command::ChildSignal::~ChildSignal() { sigaction(SIGCHLD, &old_, nullptr); }

Command::Command() = default;

Command::~Command() {
  pipe_.reset();
  if (pid_ > 0) {
    Signal(SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

bool Command::Start(const char* command) {
  // The command shares our output streams; what we printed must come first.
  std::fflush(stdout);
  std::fflush(stderr);
  int fds[2];
  // Both ends close on exec: the command gets the read end as its
  // standard input and nothing else of ours.
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  UniqueFd readEnd(fds[0]);
  pipe_.reset(fds[1]);
  setFlag(pipe_.get(), O_NONBLOCK);
  pid_t pid = fork();
  if (pid < 0) {
    pipe_.reset();
    return false;
  }
  if (pid == 0) runChild(command, readEnd.get(), gate_.original());
  // Made here as well as in the child, so that the group exists whichever
  // of the two runs first.
  setpgid(pid, pid);
  pid_ = pid;
  return true;
}

bool Command::Write(MboxMessage& message) {
  while (!message.Done()) {
    ssize_t written = message.WriteOnce(pipe_.get());
    if (written > 0 || (written < 0 && errno == EINTR)) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (GracePassed()) return false;
      gate_.Wait(pipe_.get(), Deadline());
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
    siginfo_t info{};
    if (waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
      if (errno == EINTR) continue;
      pid_ = -1;
      return -1;
    }
    if (info.si_pid == pid_) {
      // Until the shell is reaped its pid, which names the group, cannot
      // be taken by another process.  What is left of a command that was
      // given up (a child that ignores SIGTERM) ends now: it would
      // otherwise deliver what the run will fetch again.
      if (killAt) Signal(SIGKILL);
      int status = 0;
      pid_t done;
      do {
        done = waitpid(pid_, &status, 0);
      } while (done < 0 && errno == EINTR);
      pid_ = -1;
      return done < 0 ? -1 : status;
    }
    if (!killAt && GracePassed()) {
      Signal(SIGTERM);
      killAt = Clock::now() + kCommandGrace;
    } else if (killAt && !killed && Clock::now() >= *killAt) {
      Signal(SIGKILL);
      killed = true;
    }
    std::optional<Clock::time_point> until = killAt ? killAt : Deadline();
    if (killed) until.reset();
    gate_.Wait(-1, until);
  }
}

const std::optional<Command::Clock::time_point>& Command::Deadline() {
  if (!keepRunning && !deadline_) deadline_ = Clock::now() + kCommandGrace;
  return deadline_;
}

bool Command::GracePassed() { return Deadline() && Clock::now() >= *deadline_; }

void Command::Signal(int sig) const {
  // A shell that could not make its group (it is one already) is at least
  // reached itself.
  if (kill(-pid_, sig) != 0 && errno == ESRCH) kill(pid_, sig);
}

}  // namespace pelliton
