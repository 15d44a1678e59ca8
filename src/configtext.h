// The text conventions that the readers of the server file, the filter file
// and the newsrc share: reading in fgets-sized pieces with a line count,
// cleaning a line, the base name used in messages, and the one printer of
// faults found in a file's text.
#ifndef PELLITON_CONFIGTEXT_H
#define PELLITON_CONFIGTEXT_H

#include <cstdio>

namespace pelliton {

// Size of the buffer that every line of the three files is read into: one
// read yields at most 1023 characters, and the rest of a longer line comes
// with the following reads, each a line of its own.
constexpr int kLineBufferSize = 1024;

// The part of name behind its last '/'; name itself when it holds none.
// Unlike POSIX basename it never changes its argument.
const char* basename(const char* name);

// Strips a configuration line in place.  Returns the text to parse, which
// begins and ends with a non-blank, or null when the line is blank or a
// comment (its first non-blank character is '#').
char* cleanLine(char* line);

// A size as -m writes it: a number as strtoul reads it in base 0 (decimal,
// octal after a leading 0, hexadecimal after 0x), then at most one of the
// suffixes m, k and b (2^20, 2^10 and 512 bytes), and nothing else.  False
// when the text is not of that form.  The suffix shifts the number without
// a test for overflow, as -m always has; `exact`, when given, tells
// whether the value is the one written: no sign, and nothing lost to
// overflow.
bool ParseSize(const char* text, unsigned long& size, bool* exact = nullptr);

bool onlyBlanks(const char* p);

// Reads a stream one fgets piece at a time and counts every piece read,
// comments, empty lines and the pieces of an over-long line included.
// The stream stays the caller's.
class LineReader {
 public:
  explicit LineReader(FILE* stream) : stream_(stream) {}
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // False at the end of the stream or on a read error.
  bool next();
  char* line() { return buffer_; }
  int lineNumber() const { return lineNumber_; }

 private:
  FILE* stream_;
  char buffer_[kLineBufferSize];
  int lineNumber_ = 0;
};

// "pelliton: <base name of path>:<line>: " and the formatted fault, with
// a line feed.  path is the name as the reader received it.
void ReportLineFault(const char* path, int lineNumber, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace pelliton

#endif  // PELLITON_CONFIGTEXT_H
