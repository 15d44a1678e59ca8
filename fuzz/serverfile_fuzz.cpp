// The server file reader on arbitrary file contents.
#include <cstddef>
#include <cstdint>

#include "config.h"
#include "fuzz_support.h"
#include "pelliton.h"

using namespace pelliton;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = fuzz::ScratchFile("servers");
  fuzz::WriteInput(path, data, size);
  int fdBefore = fuzz::LowestFreeDescriptor();

  ReleaseConfigModel();
  defaultPort = 119;
  int result = ReadServerConfig(path.c_str());
  FUZZ_CHECK(result == 0 || result == 1);
  // Every record must be whole and findable under its own name.
  for (ServerInfo* servInfo : Nodes<ServerInfo>(serverList)) {
    FUZZ_CHECK(servInfo->name.size() <= kMaxNameLength);
    FUZZ_CHECK(servInfo->port >= 1 && servInfo->port <= 65535);
    FUZZ_CHECK(FindServer(servInfo->name.c_str()) != nullptr);
  }
  ReleaseConfigModel();

  fuzz::CheckNoDescriptorLeak(fdBefore, "ReadServerConfig");
  return 0;
}
