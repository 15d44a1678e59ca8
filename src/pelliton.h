// The run frame: the command line, the order of a run's stages, the
// process-wide flags, and the small helpers that every module uses.
#ifndef PELLITON_PELLITON_H
#define PELLITON_PELLITON_H

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

#include "config.h"

namespace pelliton {

// Every diagnostic begins with this name, whatever the program was started as.
inline constexpr const char* programName = "pelliton";

extern int verbose;                       // -v: progress lines on stderr
extern volatile sig_atomic_t keepRunning;  // cleared by a signal, a failed
                                           // delivery or a lost connection
extern unsigned long fileSizeLimit;       // -m, bytes; 0 is no limit
extern int defaultPort;                   // port of the "nntp" service, or 119

// Allocation that never returns null: on failure it prints
// "pelliton: malloc() failed" (or strdup()) and exits with status 1.
void* mymalloc(std::size_t size);
char* mystrdup(const char* str);
// Makes operator new fail the same way as mymalloc.
void InstallOutOfMemoryHandler();

// The home directory for relative file names: the password database's
// entry for the real user id, or "/" without one.  Tests replace the
// look-up so that they never touch the real home directory.
using HomeLookup = std::string (*)();
void SetHomeLookup(HomeLookup lookup);  // null restores the default
std::string HomeDirectory();

// The name that myfopen opens for path: unchanged when it begins with "/",
// "./" or "../", else joined to the home directory.  Empty when the joined
// name would exceed 1023 characters.
std::optional<std::string> ResolvePath(const char* path);
// fopen of ResolvePath(path); null when that fails or the name is too long.
// Prints nothing.
FILE* myfopen(const char* path, const char* mode);

// 1 when the newsgroup name matches the wildcard entry, else 0.
int MatchWildNewsgroup(const char* newsgroup, const NewsgroupInfo* ngInfo);

// Runs pelliton with the given command line and returns the exit status.
// Paths that the program must end at once (out of memory) still call exit.
int RunPelliton(int argc, char** argv);

}  // namespace pelliton

#endif  // PELLITON_PELLITON_H
