// The run frame: the command line, the order of a run's stages, the
// signals, and the exit status.
#ifndef PELLITON_PELLITON_H
#define PELLITON_PELLITON_H

#include "util.h"

namespace pelliton {

// Runs pelliton with the given command line and returns the exit status.
// Paths that the program must end at once (out of memory) still call exit.
int RunPelliton(int argc, char** argv);

}  // namespace pelliton

#endif  // PELLITON_PELLITON_H
