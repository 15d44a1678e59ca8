#include "connection.h"

namespace pelliton {

FILE* nntpInFile = nullptr;
FILE* nntpOutFile = nullptr;
int nntpTimeout = kDefaultTimeout;

}  // namespace pelliton
