#include "overview.h"

#include <climits>
#include <cstring>

#include "util.h"

namespace pelliton {
namespace {

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

OverviewFormat::Field fieldOf(std::string_view entry) {
  using Kind = OverviewFormat::Field::Kind;
  while (!entry.empty() && isBlank(static_cast<unsigned char>(entry.back()))) entry.remove_suffix(1);
  while (!entry.empty() && isBlank(static_cast<unsigned char>(entry.front()))) entry.remove_prefix(1);
  const std::size_t colon = entry.find(':');
  // ":bytes", ":lines", and anything that is no header name at all.
  if (colon == 0 || colon == std::string_view::npos) return {std::string(entry), Kind::kMetadata};
  const std::string_view name = entry.substr(0, colon);
  const std::string_view rest = entry.substr(colon + 1);
  // The old spellings of the metadata look like headers but are counts
  // the server made.
  if (EqualsIgnoringCase(name, "Bytes") || EqualsIgnoringCase(name, "Lines"))
    return {std::string(name), Kind::kMetadata};
  if (rest.empty()) return {std::string(name), Kind::kHeader};
  if (EqualsIgnoringCase(rest, "full")) return {std::string(name), Kind::kFull};
  return {std::string(entry), Kind::kMetadata};
}

}  // namespace

OverviewFormat OverviewFormat::Default() {
  static const std::vector<std::string> rfc = {"Subject:",    "From:",  "Date:", "Message-ID:",
                                               "References:", ":bytes", ":lines"};
  return FromLines(rfc);
}

OverviewFormat OverviewFormat::FromLines(const std::vector<std::string>& lines) {
  OverviewFormat format;
  for (const std::string& line : lines) {
    format.fields_.push_back(fieldOf(line));
    if (format.fields_.back().kind != Field::Kind::kMetadata)
      format.neededFields_ = format.fields_.size();
  }
  return format;
}

bool OverviewFormat::Carries(std::string_view header) const {
  for (const Field& field : fields_)
    if (field.kind != Field::Kind::kMetadata && EqualsIgnoringCase(field.name, header)) return true;
  return false;
}

std::string OverviewFormat::Describe() const {
  std::string text;
  for (const Field& field : fields_) {
    if (!text.empty()) text += ' ';
    text += field.name;
    if (field.kind == Field::Kind::kHeader) text += ':';
    if (field.kind == Field::Kind::kFull) text += ":full";
  }
  return text;
}

std::vector<bool> OverviewFormat::FieldsNamed(const std::vector<std::string>& names) const {
  std::vector<bool> wanted(fields_.size(), false);
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    if (fields_[i].kind == Field::Kind::kMetadata) continue;
    for (const std::string& name : names)
      if (EqualsIgnoringCase(fields_[i].name, name)) wanted[i] = true;
  }
  return wanted;
}

bool OverviewFormat::ParseLine(std::string_view line, ArticleNumber* article, std::string* header,
                               bool* usable, const std::vector<bool>* wanted) const {
  std::size_t pos = 0;
  ArticleNumber number = 0;
  while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') {
    const int digit = line[pos] - '0';
    if (number > (LLONG_MAX - digit) / 10) return false;
    number = number * 10 + digit;
    ++pos;
  }
  if (pos == 0 || (pos < line.size() && line[pos] != '\t')) return false;
  *article = number;
  header->clear();
  std::size_t index = 0;
  while (pos < line.size() && index < fields_.size()) {
    const std::size_t start = pos + 1;
    std::size_t end = line.find('\t', start);
    if (end == std::string_view::npos) end = line.size();
    const std::string_view value = line.substr(start, end - start);
    const Field& field = fields_[index];
    const bool taken = wanted == nullptr ? field.kind != Field::Kind::kMetadata : (*wanted)[index];
    if (!value.empty() && taken) {
      if (!header->empty()) *header += '\n';
      // A full field carries its own name; one that lost it gets it back.
      const bool named = field.kind == Field::Kind::kFull &&
                         startsWithIgnoringCase(value, field.name) &&
                         value.size() > field.name.size() && value[field.name.size()] == ':';
      if (!named) {
        *header += field.name;
        *header += ": ";
      }
      header->append(value);
    }
    ++index;
    pos = end;
  }
  std::size_t needed = neededFields_;
  if (wanted != nullptr) {
    needed = 0;
    for (std::size_t i = 0; i < wanted->size(); ++i)
      if ((*wanted)[i]) needed = i + 1;
  }
  *usable = index >= needed;
  return true;
}

bool DecidableFromOverview(const HeaderFilter& filter, const OverviewFormat& format) {
  for (const ConditionInfo* cond : filter.Conditions()) {
    const std::string name = ConditionHeaderName(cond->pattern);
    if (name.empty() || !format.Carries(name)) return false;
  }
  return true;
}

int nntpOverviewSupport(NntpConnection& connection, Capabilities& capabilities,
                        OverviewSupport* support) {
  *support = OverviewSupport{};
  // A list asked for right after connecting (for COMPRESS) still holds.
  if (!capabilities.Asked() && !nntpCapabilities(connection, capabilities)) return 0;
  // A server with a list says whether it has OVER; one without may still
  // know XOVER, which it shows by knowing LIST OVERVIEW.FMT.
  if (capabilities.Listed() && !capabilities.Has("OVER")) return 1;
  if (!connection.SendLine("LIST OVERVIEW.FMT\r\n")) return 0;
  char status[kResponseLineSize];
  if (!connection.ReadStatusLine(status, sizeof status)) return 0;
  if (std::strncmp(status, "215", 3) == 0) {
    std::vector<std::string> lines;
    if (!ReadTextLines(connection, lines)) return 0;
    support->format = OverviewFormat::FromLines(lines);
  } else if (!capabilities.Listed()) {
    return 1;
  }
  support->command =
      capabilities.Listed() ? OverviewSupport::Command::kOver : OverviewSupport::Command::kXover;
  return 1;
}

}  // namespace pelliton
