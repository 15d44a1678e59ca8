// A stream that reads a text held in memory, for the readers' stream entry
// points: tests and fuzz targets need no files.  fmemopen hands the text
// out through fgets exactly as a file with the same bytes would.
#ifndef PELLITON_TESTS_TEXT_STREAM_H
#define PELLITON_TESTS_TEXT_STREAM_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "util.h"

namespace testutil {

class TextStream {
 public:
  explicit TextStream(std::string_view text) : text_(text) {
    // fmemopen refuses an empty buffer on some C libraries; an empty text
    // reads like an empty file.
    stream_.reset(text_.empty() ? std::fopen("/dev/null", "r")
                                : fmemopen(text_.data(), text_.size(), "r"));
    if (!stream_) std::abort();
  }
  TextStream(const TextStream&) = delete;
  TextStream& operator=(const TextStream&) = delete;

  FILE* get() const { return stream_.get(); }

 private:
  std::string text_;  // fmemopen reads it in place
  pelliton::UniqueFile stream_;
};

}  // namespace testutil

#endif  // PELLITON_TESTS_TEXT_STREAM_H
