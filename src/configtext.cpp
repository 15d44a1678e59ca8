#include "configtext.h"

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util.h"

namespace pelliton {

const char* basename(const char* name) {
  assert(name != NULL);
  const char* slash = std::strrchr(name, '/');
  return slash != nullptr ? slash + 1 : name;
}

char* cleanLine(char* line) {
  assert(line != NULL);
  while (isBlank(static_cast<unsigned char>(*line))) ++line;
  if (*line == '#' || *line == '\0') return nullptr;
  char* end = line + std::strlen(line);
  while (end > line && isBlank(static_cast<unsigned char>(end[-1]))) --end;
  *end = '\0';
  return line;
}

bool ParseSize(const char* text, unsigned long& size, bool* exact) {
  assert(text != NULL);
  errno = 0;
  char* end = nullptr;
  size = std::strtoul(text, &end, 0);
  if (end == text) return false;
  const bool signedOrTooBig = *skipBlanks(text) == '-' || *skipBlanks(text) == '+' ||
                              errno == ERANGE;
  int shift = 0;
  switch (*end) {
    case 'm': shift = 20; break;
    case 'k': shift = 10; break;
    case 'b': shift = 9; break;
    default: break;
  }
  bool shiftedOut = false;
  if (shift != 0) {
    shiftedOut = size > (ULONG_MAX >> shift);
    size <<= shift;
    ++end;
  }
  if (exact != nullptr) *exact = !signedOrTooBig && !shiftedOut;
  return *end == '\0';
}

bool onlyBlanks(const char* p) { return *skipBlanks(p) == '\0'; }

bool LineReader::next() {
  if (std::fgets(buffer_, sizeof buffer_, stream_) == nullptr) return false;
  ++lineNumber_;
  return true;
}

void ReportLineFault(const char* path, int lineNumber, const char* format, ...) {
  char fault[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(fault, sizeof fault, format, args);
  va_end(args);
  Diag("%s:%d: %s\n", basename(path), lineNumber, fault);
}

}  // namespace pelliton
