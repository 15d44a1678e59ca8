#include "newsrc.h"

#include <sys/stat.h>

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

int reportNewsrcReadFailure(const char* path, const char* reason) {
  Diag("unable to read newsrc file '%s' -- %s\n", path, reason);
  return -1;
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
  const std::optional<std::string> resolved = ResolvePath(path);
  if (!resolved) return 0;
  UniqueFile file(std::fopen(resolved->c_str(), "r"));
  // Only a file that is not there is the state before the first run.  One
  // that is there but cannot be read would have the run fetch and deliver
  // again everything it records, and then fail to replace it.
  if (!file) return errno == ENOENT ? 0 : reportNewsrcReadFailure(path, std::strerror(errno));
  struct stat st;
  if (fstat(fileno(file.get()), &st) == 0 && S_ISDIR(st.st_mode))
    return reportNewsrcReadFailure(path, std::strerror(EISDIR));
  ReadNewsrc(file.get());
  if (std::ferror(file.get())) return reportNewsrcReadFailure(path, std::strerror(errno));
  return 1;
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
