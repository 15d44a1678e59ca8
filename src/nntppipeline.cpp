#include "nntppipeline.h"

namespace pelliton {

// Placeholders until the request engine is built.
void PipelineInit(int, int, int) {}
void PipelineEngine(NewsgroupInfo*, int) {}
void PipelineCleanup() {}
void sendLine(const char*) {}

}  // namespace pelliton
