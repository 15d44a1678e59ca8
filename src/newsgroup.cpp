#include "connection.h"

namespace pelliton {

// Placeholder until the request engine is built.
int processNewsgroup(NewsgroupInfo*, int) { return -1; }

}  // namespace pelliton
