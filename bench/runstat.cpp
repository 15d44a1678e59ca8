// pelliton-runstat: runs a command and reports what it cost, for machines
// where GNU time is missing.
//
//   pelliton-runstat OUTFILE COMMAND [ARG]...
//
// Writes one line "USER SYS MAXRSS_KB" (seconds, seconds, kilobytes) to
// OUTFILE and exits with the command's status (128 + N after signal N).
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pelliton {
namespace {

double seconds(const timeval& tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

}  // namespace
}  // namespace pelliton

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: pelliton-runstat OUTFILE COMMAND [ARG]...\n", stderr);
    return 2;
  }
  pid_t pid = fork();
  if (pid < 0) {
    std::perror("pelliton-runstat: fork");
    return 2;
  }
  if (pid == 0) {
    execvp(argv[2], argv + 2);
    std::fprintf(stderr, "pelliton-runstat: %s: %s\n", argv[2], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  // wait4 gives the usage of this one child alone, not of every child
  // reaped so far.
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::perror("pelliton-runstat: wait4");
      return 2;
    }
  }
  FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    std::fprintf(stderr, "pelliton-runstat: %s: %s\n", argv[1], std::strerror(errno));
    return 2;
  }
  std::fprintf(out, "%.6f %.6f %ld\n", pelliton::seconds(usage.ru_utime),
               pelliton::seconds(usage.ru_stime),
               usage.ru_maxrss);
  std::fclose(out);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}
