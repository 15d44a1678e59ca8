#include "childprocess.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>

namespace pelliton {
namespace {

void setDisposition(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
}

// dup2 leaves the copy open across exec; a descriptor that already is the
// one wanted must be told so itself.  Async-signal-safe.
bool moveTo(int fd, int target) {
  if (fd == target) return fcntl(fd, F_SETFD, 0) == 0;
  return dup2(fd, target) >= 0;
}

// Between fork and exec only async-signal-safe calls.
[[noreturn]] void runChild(const char* command, const ChildProcess::Plumbing& plumbing,
                           const sigset_t& mask) {
  if (plumbing.ownGroup) setpgid(0, 0);
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGXFSZ, SIGCHLD})
    setDisposition(sig, SIG_DFL);
  if (plumbing.ownGroup) {
    setDisposition(SIGTTOU, SIG_IGN);
    setDisposition(SIGTTIN, SIG_IGN);
  }
  // Standard output first: a pipe end for it may itself have come out as
  // descriptor 0.
  if (plumbing.standardOutput >= 0 && !moveTo(plumbing.standardOutput, STDOUT_FILENO)) _exit(127);
  if (plumbing.inputFromDevNull) {
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull < 0 || !moveTo(devNull, STDIN_FILENO)) _exit(127);
    if (devNull != STDIN_FILENO) close(devNull);
  } else if (plumbing.standardInput >= 0 && !moveTo(plumbing.standardInput, STDIN_FILENO)) {
    _exit(127);
  }
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
  _exit(127);
}

void ignoreSignal(int) {}

}  // namespace

ChildProcess::ChildProcess() {
  struct sigaction action {};
  action.sa_handler = ignoreSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_NOCLDSTOP;
  sigaction(SIGCHLD, &action, &oldChildAction_);
}

ChildProcess::~ChildProcess() {
  if (Running()) Kill();
  sigaction(SIGCHLD, &oldChildAction_, nullptr);
}

bool ChildProcess::Start(const char* command, const Plumbing& plumbing, const sigset_t& mask) {
  // The child shares our output streams; what we printed must come first.
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) runChild(command, plumbing, mask);
  // Made here as well as in the child, so that the group exists whichever
  // of the two runs first.
  if (plumbing.ownGroup) setpgid(pid, pid);
  pid_ = pid;
  ownGroup_ = plumbing.ownGroup;
  return true;
}

bool ChildProcess::HasEnded() const {
  if (!Running()) return true;
  siginfo_t info{};
  int rc;
  do {
    rc = waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT);
  } while (rc != 0 && errno == EINTR);
  // A shell that cannot be waited for is as good as ended: Reap says so.
  return rc != 0 || info.si_pid == pid_;
}

int ChildProcess::Reap(bool killGroup) {
  if (!Running()) return -1;
  if (killGroup) Signal(SIGKILL);
  int status = 0;
  pid_t done;
  do {
    done = waitpid(pid_, &status, 0);
  } while (done < 0 && errno == EINTR);
  pid_ = -1;
  return done < 0 ? -1 : status;
}

void ChildProcess::Signal(int sig) const {
  if (!Running()) return;
  if (!ownGroup_) {
    kill(pid_, sig);
    return;
  }
  // A shell that could not make its group (it is one already) is at least
  // reached itself.
  if (kill(-pid_, sig) != 0 && errno == ESRCH) kill(pid_, sig);
}

void ChildProcess::Kill() { Reap(true); }

int ChildProcess::Finish(
    const SignalGate& gate,
    const std::function<std::optional<SignalGate::Clock::time_point>()>& giveUpAt) {
  using Clock = SignalGate::Clock;
  std::optional<Clock::time_point> killAt;
  bool killed = false;
  for (;;) {
    // What is left of a child that was given up (one that ignores SIGTERM)
    // ends with it: it would otherwise go on with work that the run
    // already counts as undone.
    if (HasEnded()) return Reap(killAt.has_value());
    const std::optional<Clock::time_point> giveUp = giveUpAt();
    if (!killAt && giveUp && Clock::now() >= *giveUp) {
      Signal(SIGTERM);
      killAt = Clock::now() + kCommandGrace;
    } else if (killAt && !killed && Clock::now() >= *killAt) {
      Signal(SIGKILL);
      killed = true;
    }
    std::optional<Clock::time_point> until = killAt ? killAt : giveUp;
    if (killed) until.reset();
    gate.Wait(-1, 0, until);
  }
}

}  // namespace pelliton
