// A shell command line run as a child process: /bin/sh -c, in a process
// group of its own, with one end of a pipe as its standard input or
// output.  The group is what is ended when pelliton gives up on the
// command, so that nothing the command started lives on to finish work
// that the run already counts as undone.
#ifndef PELLITON_CHILDPROCESS_H
#define PELLITON_CHILDPROCESS_H

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>

#include "util.h"

namespace pelliton {

// A command that pelliton gives up on gets SIGTERM, and SIGKILL this long
// later when it has not ended by then.
inline constexpr auto kCommandGrace = std::chrono::seconds(5);

class ChildProcess {
 public:
  // Lets SIGCHLD wake a wait while the child runs: its default is to be
  // ignored, which ends no wait, and pelliton may have been started with
  // it ignored, which would leave nothing to wait for.
  ChildProcess();
  // A child that was started and not reaped is killed with its whole
  // group and waited for: no zombie and no writer stays behind.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Which of the child's standard descriptors come from us.  A descriptor
  // of -1 leaves that one as pelliton's own; standard error always is.
  struct Plumbing {
    int standardInput = -1;
    int standardOutput = -1;
    bool inputFromDevNull = false;  // instead of standardInput
    // Off: the child stays in pelliton's own process group, where the
    // terminal's signals reach both alike and an interactive command keeps
    // the terminal; only the shell itself is then signalled.
    bool ownGroup = true;
  };
  // Starts "/bin/sh -c command" with the signal mask `mask` and the stop
  // signals, SIGPIPE, SIGXFSZ and SIGCHLD at their defaults.  In a group
  // of its own SIGTTIN and SIGTTOU are ignored: the child is then in the
  // background of the terminal an interactive run shares with it, and
  // stopped for touching it, it would never end.  False when no process
  // could be made.
  bool Start(const char* command, const Plumbing& plumbing, const sigset_t& mask);

  bool Running() const { return pid_ > 0; }
  // Whether the shell has ended, without reaping it: until it is reaped
  // its pid, which names the group, cannot be taken by another process.
  bool HasEnded() const;
  // Reaps the shell; with killGroup, whatever of its group is left is
  // killed first.  The wait status, or -1 when the wait failed.
  int Reap(bool killGroup);
  // Sends sig to the child's process group, or to the shell alone when it
  // shares ours.
  void Signal(int sig) const;
  // Kills the group and reaps the shell.
  void Kill();
  // Waits in gate for the shell to end, and reaps it.  From the time that
  // giveUpAt gives (asked again at every wake-up; none while the child may
  // run on) the child is sent SIGTERM, and SIGKILL kCommandGrace later;
  // what is left of a child given up is killed with it.  The wait status,
  // or -1 when the wait failed.
  int Finish(const SignalGate& gate,
             const std::function<std::optional<SignalGate::Clock::time_point>()>& giveUpAt);

 private:
  struct sigaction oldChildAction_ {};
  pid_t pid_ = -1;
  bool ownGroup_ = true;
};

}  // namespace pelliton

#endif  // PELLITON_CHILDPROCESS_H
