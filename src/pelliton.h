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
#include "util.h"

namespace pelliton {

extern unsigned long fileSizeLimit;       // -m, bytes; 0 is no limit
extern int defaultPort;                   // port of the "nntp" service, or 119

// 1 when the newsgroup name matches the wildcard entry, else 0.
int MatchWildNewsgroup(const char* newsgroup, const NewsgroupInfo* ngInfo);

// Runs pelliton with the given command line and returns the exit status.
// Paths that the program must end at once (out of memory) still call exit.
int RunPelliton(int argc, char** argv);

}  // namespace pelliton

#endif  // PELLITON_PELLITON_H
