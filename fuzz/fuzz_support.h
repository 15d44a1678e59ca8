// Shared by the libFuzzer targets: a scratch directory, property checks,
// and the check that no input leaves a descriptor open.  The readers take
// their input from memory (text_stream.h); only the newsrc writer and the
// mailboxes of the engine target need files.  Each target also releases its configuration model after
// every input, so that the leak checker sees only real leaks and no input
// sees what an earlier one left behind.
#ifndef PELLITON_FUZZ_SUPPORT_H
#define PELLITON_FUZZ_SUPPORT_H

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "config.h"
#include "config_release.h"

// A property of the code under test; a violation is a finding.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace pelliton::fuzz {

// A directory for the files of one fuzzing process, removed at exit.  It
// lies in memory when the machine offers that: the newsrc writer syncs
// every file it replaces, which on a disk would dominate each input.
inline const std::string& ScratchDir() {
  // Never destroyed: the exit handler that removes the directory runs after
  // the destructors of statics made later than it was registered.
  static const std::string* const dir = [] {
    std::string base = "/tmp";
    if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0')
      base = tmp;
    else if (access("/dev/shm", W_OK | X_OK) == 0)
      base = "/dev/shm";
    std::string templ = base + "/pelliton-fuzz.XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
      std::perror("pelliton-fuzz: mkdtemp");
      std::abort();
    }
    return new std::string(templ);
  }();
  static const bool removeAtExit = std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(*dir, ec);
  }) == 0;
  static_cast<void>(removeAtExit);
  return *dir;
}

inline std::string ScratchFile(const char* name) { return ScratchDir() + "/" + name; }

inline std::string ReadWholeFile(const std::string& path) {
  std::string content;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return content;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) content.append(buf, static_cast<std::size_t>(n));
  close(fd);
  return content;
}

// The lowest free descriptor: equal before and after an input unless the
// code under test leaked one.
inline int LowestFreeDescriptor() {
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0) std::abort();
  close(fd);
  return fd;
}

inline void CheckNoDescriptorLeak(int before, const char* where) {
  int after = LowestFreeDescriptor();
  if (after != before) {
    std::fprintf(stderr, "pelliton-fuzz: %s leaked a descriptor (%d open, was free)\n", where,
                 before);
    std::abort();
  }
}

}  // namespace pelliton::fuzz

#endif  // PELLITON_FUZZ_SUPPORT_H
