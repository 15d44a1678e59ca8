// Helpers shared by the tests: temporary directories, whole files, and
// running the real pelliton binary.
#ifndef PELLITON_TEST_UTIL_H
#define PELLITON_TEST_UTIL_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace testutil {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& content);
// The whole file, or "" when it cannot be read.
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// The messages of a mailbox, each without its "From " separator line.
std::vector<std::string> Messages(const std::string& path);
// What a delivered message holds after its separator line.
std::string Delivered(const std::string& header, const std::string& body);

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// A program started with its standard output and error captured.  The
// environment is the test's own without NNTPSERVER, with `env` added (an
// empty value removes the variable).
class Child {
 public:
  Child(const std::vector<std::string>& argv,
        const std::map<std::string, std::string>& env = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  void Signal(int sig);
  // Collects the output until the program ends and returns everything.
  RunResult Finish();

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  bool finished_ = false;
};

// Runs the built pelliton with the arguments and waits for it.
RunResult RunPelliton(const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env = {});

// Path of the built pelliton binary.
std::string PellitonBinary();

}  // namespace testutil

#endif  // PELLITON_TEST_UTIL_H
