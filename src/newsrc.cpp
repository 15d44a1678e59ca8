#include "newsrc.h"

#include <cassert>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <string>

#include "atomicfile.h"
#include "config.h"
#include "configtext.h"
#include "util.h"

namespace pelliton {
namespace {

constexpr ArticleNumber kHighest = LLONG_MAX;

// "%[^:]:%d -%d": the name up to the first ':', the first number (ignored),
// optional blanks, '-', the last number; anything behind it is ignored.
bool parseNewsrcLine(const char* text, std::string& name, ArticleNumber& last) {
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr || colon == text) return false;
  const char* p = colon + 1;
  ArticleNumber first;
  if (!ScanNumber(p, first)) return false;
  p = skipBlanks(p);
  if (*p != '-') return false;
  ++p;
  if (!ScanNumber(p, last)) return false;
  const char* nameEnd = text;
  while (nameEnd < colon && !isBlank(static_cast<unsigned char>(*nameEnd))) ++nameEnd;
  name.assign(text, nameEnd);
  return true;
}

bool writeNewsrcLines(FILE* stream, const Checkpoint* checkpoint) {
  for (const NewsgroupInfo* ngInfo : Nodes<NewsgroupInfo>(newsgroupList)) {
    const ArticleNumber next = checkpoint != nullptr && checkpoint->ngInfo == ngInfo
                                   ? checkpoint->nextArticle
                                   : ngInfo->nextArticle;
    // Never claim an article that was not dealt with: a newsgroup that
    // starts at article 1 has dealt with none.
    const ArticleNumber last = next > 1 ? next - 1 : 0;
    if (std::fprintf(stream, "%s: 1-%lld\n", ngInfo->name.c_str(), last) < 0) return false;
  }
  return true;
}

int reportNewsrcFailure(const char* path, const char* reason) {
  Diag("unable to write newsrc file '%s' -- %s\n", path, reason);
  return 0;
}

}  // namespace

int ReadNewsrc(FILE* stream) {
  assert(stream != NULL);
  char buffer[kLineBufferSize];
  std::string name;
  while (std::fgets(buffer, sizeof buffer, stream) != nullptr) {
    char* text = skipBlanks(buffer);
    if (*text == '\0' || *text == '#') continue;
    const std::size_t length = std::strlen(text);
    if (text[length - 1] == '\n') text[length - 1] = '\0';
    ArticleNumber last;
    if (!parseNewsrcLine(text, name, last)) continue;
    NewsgroupInfo* ngInfo = FindNewsgroup(name.c_str());
    if (ngInfo == nullptr) ngInfo = AddNewsgroup(name.c_str());
    // The highest article number has no successor; it is held there.
    ngInfo->nextArticle = last < kHighest ? last + 1 : kHighest;
  }
  return 1;
}

int ReadNewsrc(const char* path) {
  assert(path != NULL);
  UniqueFile file(myfopen(path, "r"));
  if (!file) return 0;
  return ReadNewsrc(file.get());
}

int WriteNewsrc(const char* path, const Checkpoint* checkpoint) {
  assert(path != NULL);
  std::optional<std::string> resolved = ResolvePath(path);
  if (!resolved) return reportNewsrcFailure(path, "file name too long");
  ReplacementFile replacement(*resolved, ".pelliton-newsrc");
  if (!replacement.Create() || !writeNewsrcLines(replacement.stream(), checkpoint) ||
      !replacement.Commit()) {
    const int error = errno;
    return reportNewsrcFailure(path, std::strerror(error));
  }
  return 1;
}

}  // namespace pelliton
