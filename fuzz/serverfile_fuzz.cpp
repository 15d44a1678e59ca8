// The server file reader on arbitrary file contents.
#include <cstddef>
#include <cstdint>

#include <string_view>

#include "config.h"
#include "fuzz_support.h"
#include "serverfile.h"
#include "text_stream.h"

using namespace pelliton;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int fdBefore = fuzz::LowestFreeDescriptor();

  ReleaseConfigModel();
  defaultPort = 119;
  int result;
  {
    testutil::TextStream text(std::string_view(reinterpret_cast<const char*>(data), size));
    result = ReadServerConfig(text.get(), "servers");
  }
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
