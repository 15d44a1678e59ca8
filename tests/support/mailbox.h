// Reading mailboxes back in tests: the separator line that opens every
// delivered message, and the split of a mailbox (or of what a delivery
// command wrote) into its messages.  A malformed separator or text before
// the first one fails the test that reads the mailbox.
#ifndef PELLITON_TESTS_MAILBOX_H
#define PELLITON_TESTS_MAILBOX_H

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "test_util.h"

namespace testutil {

// "From pelliton " and a date as ctime writes it, without its line feed:
// "From pelliton Thu Feb  5 09:03:07 2026".
inline bool IsSeparatorLine(std::string_view line) {
  constexpr std::string_view kPrefix = "From pelliton ";
  constexpr std::string_view kDays = "Sun Mon Tue Wed Thu Fri Sat";
  constexpr std::string_view kMonths = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec";
  if (line.size() != kPrefix.size() + 24 || line.substr(0, kPrefix.size()) != kPrefix)
    return false;
  const std::string_view date = line.substr(kPrefix.size());
  auto isNameAt = [&](std::string_view names, std::size_t pos) {
    std::size_t found = names.find(date.substr(pos, 3));
    return found != std::string_view::npos && found % 4 == 0;
  };
  auto digitsAt = [&](std::size_t pos, std::size_t count) {
    for (std::size_t i = pos; i < pos + count; ++i)
      if (date[i] < '0' || date[i] > '9') return false;
    return true;
  };
  const int day = (date[8] == ' ' ? 0 : date[8] - '0') * 10 + (date[9] - '0');
  return isNameAt(kDays, 0) && date[3] == ' ' && isNameAt(kMonths, 4) && date[7] == ' ' &&
         (date[8] == ' ' || digitsAt(8, 1)) && digitsAt(9, 1) && day >= 1 && day <= 31 &&
         date[10] == ' ' && digitsAt(11, 2) && date[13] == ':' && digitsAt(14, 2) &&
         date[16] == ':' && digitsAt(17, 2) && date[19] == ' ' && digitsAt(20, 4);
}

// Cuts a mailbox at every line that begins with "From " and returns the
// text behind each separator line.  Delivered bodies have such lines
// quoted, so every one of them is a separator.
inline std::vector<std::string> ParseMailbox(const std::string& content) {
  std::vector<std::string> messages;
  std::size_t start = 0;
  if (!content.empty() && content.compare(0, 5, "From ") != 0) {
    ADD_FAILURE() << "text before the first separator line:\n" << content.substr(0, 400);
    start = content.find("\nFrom ");
    start = start == std::string::npos ? content.size() : start + 1;
  }
  while (start < content.size()) {
    const std::size_t next = content.find("\nFrom ", start);
    const std::size_t end = next == std::string::npos ? content.size() : next + 1;
    const std::size_t lineEnd = std::min(content.find('\n', start), end);
    const std::string separator = content.substr(start, lineEnd - start);
    EXPECT_TRUE(IsSeparatorLine(separator) && lineEnd < end)
        << "bad separator line: " << separator;
    const std::size_t textStart = lineEnd < end ? lineEnd + 1 : end;
    messages.push_back(content.substr(textStart, end - textStart));
    start = end;
  }
  return messages;
}

// The messages of a mailbox file; none when it is missing.
inline std::vector<std::string> Messages(const std::string& path) {
  return ParseMailbox(ReadFile(path));
}

// What a delivered message holds after its separator line.
inline std::string Delivered(const std::string& header, const std::string& body) {
  return header + "\n\n" + body + "\n\n";
}

}  // namespace testutil

#endif  // PELLITON_TESTS_MAILBOX_H
