// The newsrc reader on arbitrary file contents, and the writer on what it
// read: whatever the old file held, the new one is well-formed and reads
// back as the progress that was written.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <string_view>

#include "config.h"
#include "configtext.h"
#include "fuzz_support.h"
#include "newsrc.h"
#include "text_stream.h"
#include "util.h"

using namespace pelliton;

namespace {

struct GroupProgress {
  std::string name;
  ArticleNumber nextArticle;
};

std::vector<GroupProgress> Snapshot() {
  std::vector<GroupProgress> groups;
  for (const NewsgroupInfo* ngInfo : Nodes<NewsgroupInfo>(newsgroupList))
    groups.push_back({ngInfo->name, ngInfo->nextArticle});
  return groups;
}

// "name: 1-N", N a decimal number without sign or leading zero that fits
// 63 bits.
bool WellFormed(const std::string& line) {
  std::size_t colon = line.find(':');
  if (colon == 0 || colon == std::string::npos) return false;
  for (std::size_t i = 0; i < colon; ++i)
    if (isBlank(static_cast<unsigned char>(line[i])) || line[i] == '\0') return false;
  if (line.compare(colon, 4, ": 1-") != 0) return false;
  std::string number = line.substr(colon + 4);
  if (number.empty() || number.size() > 19) return false;
  if (number.size() > 1 && number[0] == '0') return false;
  for (char c : number)
    if (c < '0' || c > '9') return false;
  return number.size() < 19 || number <= "9223372036854775807";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string newPath = fuzz::ScratchFile("newsrc.new");
  int fdBefore = fuzz::LowestFreeDescriptor();

  ReleaseConfigModel();
  {
    testutil::TextStream text(std::string_view(reinterpret_cast<const char*>(data), size));
    FUZZ_CHECK(ReadNewsrc(text.get()) == 1);
  }
  std::vector<GroupProgress> read = Snapshot();
  FUZZ_CHECK(WriteNewsrc(newPath.c_str()) == 1);

  std::string written = fuzz::ReadWholeFile(newPath);
  FUZZ_CHECK(written.empty() || written.back() == '\n');
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < written.size();) {
    std::size_t end = written.find('\n', start);
    lines.push_back(written.substr(start, end - start));
    start = end + 1;
  }
  FUZZ_CHECK(lines.size() == read.size());
  for (const std::string& line : lines) FUZZ_CHECK(WellFormed(line));

  // Read back, every newsgroup stands where it stood; one that had dealt
  // with no article yet still has dealt with none.  A name that appears
  // twice (two names cut to the same first 255 characters) takes its last
  // number, as the reader takes a name's last line.
  std::map<std::string, ArticleNumber> expected;
  for (const GroupProgress& group : read)
    expected[group.name] = group.nextArticle > 1 ? group.nextArticle : 1;
  ReleaseConfigModel();
  FUZZ_CHECK(ReadNewsrc(newPath.c_str()) == 1);
  std::vector<GroupProgress> reread = Snapshot();
  FUZZ_CHECK(reread.size() == expected.size());
  for (const GroupProgress& group : reread) {
    auto it = expected.find(group.name);
    FUZZ_CHECK(it != expected.end());
    FUZZ_CHECK(group.nextArticle == it->second);
  }
  ReleaseConfigModel();

  fuzz::CheckNoDescriptorLeak(fdBefore, "ReadNewsrc/WriteNewsrc");
  return 0;
}
