// A delivery command: a shell command line run through /bin/sh that takes
// one message on its standard input through a pipe.  It runs in a process
// group of its own, so that when the run gives up on it, the command and
// everything it started end together, and none of them can finish a
// delivery that the run already counts as failed.
#ifndef PELLITON_COMMAND_H
#define PELLITON_COMMAND_H

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <optional>

#include "childprocess.h"
#include "mbox.h"
#include "util.h"

namespace pelliton {

// Once the run is stopping (a signal, a failed delivery, a lost
// connection) a command gets kCommandGrace to take the rest of its message
// and end; then its pipe is closed and its process group is sent SIGTERM,
// and SIGKILL as long again later.

class Command {
 public:
  Command();
  // A command that was started and not finished is killed, with its whole
  // process group, and waited for: no zombie and no writer stays behind.
  ~Command();
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  // Starts the command.  False when no pipe or no process could be made.
  bool Start(const char* command);
  // Writes the message while the command takes it; once the run is
  // stopping, only until the grace runs out.  False when not all of it
  // went in.
  bool Write(MboxMessage& message);
  // Closes the pipe and waits for the command: pclose's result, the wait
  // status, or -1 when the wait failed.
  int Finish();
  // Whether the run, stopping, gave up on the command: its grace ran out.
  bool CutOff() { return GracePassed(); }

 private:
  using Clock = std::chrono::steady_clock;

  // The moment by which the delivery must be over once the run is
  // stopping; none while the run goes on.
  const std::optional<Clock::time_point>& Deadline();
  bool GracePassed();

  SignalGate gate_;
  std::optional<Clock::time_point> deadline_;
  UniqueFd pipe_;
  // Goes before the gate, which holds SIGCHLD back until the child is
  // reaped.
  ChildProcess child_;
};

}  // namespace pelliton

#endif  // PELLITON_COMMAND_H
