// The filter file reader on arbitrary file contents, and the wildcard
// matching of the entries it makes.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>

#include <string_view>

#include "config.h"
#include "filterfile.h"
#include "fuzz_support.h"
#include "text_stream.h"
#include "util.h"

using namespace pelliton;

namespace {

bool IsRepetition(std::uint8_t c) { return c == '*' || c == '+' || c == '?' || c == '{'; }

// A rough bound of the work regcomp does for one expression: every "+" and
// every interval copies its operand, and stacked operators ("a***",
// "((a*)*)*") make its closure computation explode.
std::uint64_t ExpressionCost(const std::uint8_t* text, std::size_t size) {
  std::uint64_t cost = 1;
  for (std::size_t i = 0; i < size && cost <= 1u << 20; ++i) {
    bool stacked = i > 0 && IsRepetition(text[i]) &&
                   (IsRepetition(text[i - 1]) || text[i - 1] == '}' || text[i - 1] == ')');
    if (stacked || text[i] == '+') cost *= 2;
    if (text[i] == '{') {
      std::uint64_t largest = 0;
      std::uint64_t value = 0;
      for (std::size_t j = i + 1; j < size && j < i + 16 && text[j] != '}'; ++j) {
        if (text[j] >= '0' && text[j] <= '9')
          value = std::min<std::uint64_t>(value * 10 + (text[j] - '0'), 1u << 20);
        else
          value = 0;
        largest = std::max(largest, value);
      }
      cost *= largest + 1;
    }
  }
  return cost;
}

// The largest cost of any condition line of the file.
std::uint64_t RepetitionCost(const std::uint8_t* data, std::size_t size) {
  std::uint64_t worst = 1;
  std::size_t pos = 0;
  while (pos < size) {
    const void* lf = std::memchr(data + pos, '\n', size - pos);
    std::size_t end = lf == nullptr ? size : static_cast<const std::uint8_t*>(lf) - data;
    std::size_t start = pos;
    while (start < end && isBlank(data[start])) ++start;
    if (end - start >= 2 && data[start] == '*' && data[start + 1] == ' ')
      worst = std::max(worst, ExpressionCost(data + start + 2, end - start - 2));
    pos = end + 1;
  }
  return worst;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The C library's regcomp copies the operand of every interval and of
  // every "+", so nested ones cost exponential time and memory: "a{1000}{1000}"
  // or a run of pluses.  That is the user's own expression and the
  // library's price, not a fault of the reader, so such inputs are passed
  // over.
  if (RepetitionCost(data, size) > 256) return 0;

  int fdBefore = fuzz::LowestFreeDescriptor();

  ReleaseConfigModel();
  fileSizeLimit = 4096;
  int result;
  {
    testutil::TextStream text(std::string_view(reinterpret_cast<const char*>(data), size));
    result = ReadConfig(text.get(), "filters");
  }
  FUZZ_CHECK(result == 0 || result == 1);

  for (const NewsgroupInfo* wild : Nodes<NewsgroupInfo>(wildNewsgroupList)) {
    // Every wildcard entry holds the one action that carries its general
    // conditions; the header matcher relies on it.
    FUZZ_CHECK(!wild->actions.IsEmpty());
    FUZZ_CHECK(wild->wildType != WILD_TYPE_NONE);
    for (const NewsgroupInfo* ngInfo : Nodes<NewsgroupInfo>(newsgroupList)) {
      int match = MatchWildNewsgroup(ngInfo->name.c_str(), wild);
      FUZZ_CHECK(match == 0 || match == 1);
    }
  }
  for (const NewsgroupInfo* ngInfo : Nodes<NewsgroupInfo>(newsgroupList)) {
    FUZZ_CHECK(!ngInfo->name.empty() && ngInfo->name.size() <= kMaxNameLength);
    FUZZ_CHECK(ngInfo->wildType == WILD_TYPE_NONE);
    for (const ActionInfo* actInfo : Nodes<ActionInfo>(ngInfo->actions)) {
      FUZZ_CHECK(actInfo->target.size() <= kMaxTargetLength);
      FUZZ_CHECK(actInfo->sizeLimit == fileSizeLimit);
    }
  }
  ReleaseConfigModel();

  fuzz::CheckNoDescriptorLeak(fdBefore, "ReadConfig");
  return 0;
}
