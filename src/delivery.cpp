#include "delivery.h"

namespace pelliton {}  // namespace pelliton
