#include "config.h"

namespace pelliton {

ListHeader serverList;
ListHeader newsgroupList;
ListHeader wildNewsgroupList;

}  // namespace pelliton
