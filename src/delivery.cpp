#include "delivery.h"

namespace pelliton {

// Placeholder until delivery is built: nothing is ever reported delivered.
int ProcessAction(const ActionInfo*, const char*, int, const char*, int) { return 0; }

}  // namespace pelliton
