#include "capabilities.h"

#include <cstring>

#include "util.h"

namespace pelliton {
namespace {

// No list a server has reason to send comes near this; a server that
// sends more is not one to talk to.
constexpr std::size_t kTextAnswerLimit = 1 << 20;

std::vector<std::string> words(std::string_view line) {
  std::vector<std::string> result;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && isBlank(static_cast<unsigned char>(line[i]))) ++i;
    const std::size_t start = i;
    while (i < line.size() && !isBlank(static_cast<unsigned char>(line[i]))) ++i;
    if (i > start) result.emplace_back(line.substr(start, i - start));
  }
  return result;
}

// 1 and the list, 0 after a message; a server without the command leaves
// the list unlisted.
int askCapabilities(NntpConnection& connection, Capabilities& capabilities) {
  capabilities.Clear();
  if (!connection.SendLine("CAPABILITIES\r\n")) return 0;
  char status[kResponseLineSize];
  if (!connection.ReadStatusLine(status, sizeof status)) return 0;
  capabilities.MarkAsked();
  if (std::strncmp(status, "101", 3) != 0) return 1;
  std::vector<std::string> lines;
  if (!ReadTextLines(connection, lines)) return 0;
  capabilities.MarkListed();
  for (const std::string& line : lines) capabilities.AddLine(line);
  return 1;
}

}  // namespace

const std::vector<std::string>* Capabilities::Arguments(std::string_view capability) const {
  for (const Entry& entry : entries_)
    if (EqualsIgnoringCase(entry.name, capability)) return &entry.arguments;
  return nullptr;
}

void Capabilities::AddLine(std::string_view line) {
  std::vector<std::string> w = words(line);
  if (w.empty()) return;
  Entry entry;
  for (char c : w[0]) entry.name += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  entry.arguments.assign(w.begin() + 1, w.end());
  entries_.push_back(std::move(entry));
}

void Capabilities::Clear() {
  asked_ = false;
  listed_ = false;
  entries_.clear();
}

int ReadTextLines(NntpConnection& connection, std::vector<std::string>& lines) {
  lines.clear();
  std::size_t total = 0;
  std::string line;
  char piece[kResponseLineSize];
  for (;;) {
    if (!connection.ReadLine(piece, sizeof piece)) return 0;
    const std::size_t len = std::strlen(piece);
    total += len;
    if (total > kTextAnswerLimit) {
      Diag("answer from NNTP server too long\n");
      return 0;
    }
    line.append(piece, len);
    if (len == 0 || piece[len - 1] != '\n') continue;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line == ".") return 1;
    if (!line.empty() && line[0] == '.') line.erase(0, 1);
    lines.push_back(std::move(line));
    line.clear();
  }
}

int nntpCapabilities(NntpConnection& connection, Capabilities& capabilities) {
  if (!askCapabilities(connection, capabilities)) return 0;
  if (!capabilities.Has("MODE-READER") || capabilities.Has("READER")) return 1;
  Progress("Switching the server to reader mode...\n");
  if (!connection.SendLine("MODE READER\r\n")) return 0;
  char status[kResponseLineSize];
  if (!connection.ReadStatusLine(status, sizeof status)) return 0;
  // The list changes with the mode; whatever MODE READER answered, the
  // new list tells what the server now offers.
  return askCapabilities(connection, capabilities);
}

}  // namespace pelliton
