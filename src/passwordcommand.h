// The password of a server from a command of the user's (the server file's
// "passcmd"): a password manager, a decrypting tool, or a file that a
// service manager hands over, so that the server file itself holds no
// secret.
#ifndef PELLITON_PASSWORDCOMMAND_H
#define PELLITON_PASSWORDCOMMAND_H

#include <cstddef>
#include <string>

namespace pelliton {

// Overwrites a secret, so that it does not linger in memory that goes
// back to the allocator, and empties it.
void WipeSecret(std::string& text);

// A string that holds a secret and is overwritten when it goes.
struct Secret {
  Secret() = default;
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  ~Secret() { WipeSecret(text); }
  std::string text;
};

// Longest password taken from a command; a longer first line is refused
// rather than cut.
constexpr std::size_t kMaxPasswordLength = 1023;

// Runs command through /bin/sh -c and takes the first line of its standard
// output, without its line end (LF or CR LF), as the password.
//
// The command's standard input is /dev/null, its standard error is
// pelliton's, and it runs in a process group of its own, which is ended
// whole when pelliton gives up on it: at the timeout (seconds, 0 for none)
// or when a stop signal clears keepRunning.  It is always waited for.
//
// True with *password set.  False with *reason set to why, a short text
// that never holds anything the command printed: a non-zero exit status, a
// signal, no output, an empty first line, a first line that is too long or
// holds a NUL or a carriage return, no answer within the timeout, a stop
// signal, or a command that could not be started.
bool RunPasswordCommand(const std::string& command, int timeoutSeconds, std::string* password,
                        std::string* reason);

}  // namespace pelliton

#endif  // PELLITON_PASSWORDCOMMAND_H
