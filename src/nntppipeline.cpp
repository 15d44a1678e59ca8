#include "nntppipeline.h"

namespace pelliton {}  // namespace pelliton
