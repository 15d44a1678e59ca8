#include "headerfilter.h"

#include <regex.h>

#include <cassert>
#include <cstring>

namespace pelliton {
namespace {

// The whole text, NUL bytes and all: REG_STARTEND gives regexec the text's
// length instead of letting it stop at the first NUL.
bool occursIn(const regex_t& regex, std::string_view text) {
#ifdef REG_STARTEND
  regmatch_t range[1];
  range[0].rm_so = 0;
  range[0].rm_eo = static_cast<regoff_t>(text.size());
  return regexec(&regex, text.data(), 1, range, REG_STARTEND) == 0;
#else
  // Without REG_STARTEND a NUL ends the text for matching; the text is
  // followed by one in memory.
  return regexec(&regex, text.data(), 0, nullptr, 0) == 0;
#endif
}

bool conditionsHold(const ActionInfo* actInfo, std::string_view text) {
  for (const ConditionInfo* cond : Nodes<ConditionInfo>(actInfo->conditions)) {
    if (occursIn(cond->regex, text) == (cond->negate != 0)) return false;
  }
  return true;
}

// Characters of a header name that an expression writes as themselves.
// Any other character (a dot among them) makes the name a pattern.
bool isNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '_';
}

// A bracket expression from its "[" at `pos`: false when it can take a
// line feed; `pos` ends on its "]".  Under REG_NEWLINE a non-matching
// list never takes one; a matching list does through a class of blanks
// or controls, or through a range that spans it.
bool bracketStaysOnLine(std::string_view p, std::size_t& pos) {
  std::size_t i = pos + 1;
  const bool negated = i < p.size() && p[i] == '^';
  if (negated) ++i;
  // A "]" first in the list stands for itself.
  if (i < p.size() && p[i] == ']') ++i;
  bool onLine = true;
  for (; i < p.size() && p[i] != ']'; ++i) {
    if (p[i] == '[' && i + 1 < p.size() && (p[i + 1] == ':' || p[i + 1] == '=' || p[i + 1] == '.')) {
      const char kind = p[i + 1];
      const std::size_t close = p.find(std::string{kind, ']'}, i + 2);
      if (close == std::string_view::npos) return false;
      const std::string_view name = p.substr(i + 2, close - i - 2);
      if (kind != ':' || name == "space" || name == "cntrl") onLine = false;
      i = close + 1;
      continue;
    }
    if (i + 2 < p.size() && p[i + 1] == '-' && p[i + 2] != ']') {
      const auto low = static_cast<unsigned char>(p[i]);
      const auto high = static_cast<unsigned char>(p[i + 2]);
      if (low <= '\n' && high >= '\n') onLine = false;
      i += 2;
    }
  }
  if (i >= p.size()) return false;
  pos = i;
  return negated || onLine;
}

}  // namespace

HeaderFilter::HeaderFilter(const NewsgroupInfo& ngInfo) : ngInfo_(ngInfo) {
  for (const NewsgroupInfo* wild : Nodes<NewsgroupInfo>(wildNewsgroupList)) {
    if (MatchWildNewsgroup(ngInfo.name.c_str(), wild) == 0) continue;
    const ActionInfo* actInfo =
        wild->actions.IsEmpty() ? nullptr : static_cast<const ActionInfo*>(wild->actions.head());
    assert(actInfo != NULL);
    general_.push_back(actInfo);
  }
}

HeaderFilter::Verdict HeaderFilter::Test(std::string_view header,
                                         std::vector<const ActionInfo*>& matched) const {
  matched.clear();
  for (const ActionInfo* actInfo : general_) {
    if (!conditionsHold(actInfo, header)) return Verdict::kGeneralFailed;
  }
  for (const ActionInfo* actInfo : Nodes<ActionInfo>(ngInfo_.actions)) {
    if (conditionsHold(actInfo, header)) matched.push_back(actInfo);
  }
  return matched.empty() ? Verdict::kNoMatch : Verdict::kMatch;
}

std::vector<const ConditionInfo*> HeaderFilter::Conditions() const {
  std::vector<const ConditionInfo*> conditions;
  auto add = [&](const ActionInfo* actInfo) {
    for (const ConditionInfo* cond : Nodes<ConditionInfo>(actInfo->conditions))
      conditions.push_back(cond);
  };
  for (const ActionInfo* actInfo : general_) add(actInfo);
  for (const ActionInfo* actInfo : Nodes<ActionInfo>(ngInfo_.actions)) add(actInfo);
  return conditions;
}

std::string ConditionHeaderName(std::string_view p) {
  if (p.empty() || p[0] != '^') return "";
  std::size_t colon = 1;
  while (colon < p.size() && isNameChar(p[colon])) ++colon;
  if (colon == 1 || colon >= p.size() || p[colon] != ':') return "";
  // A colon that may be left out ("^Subject:*") leaves a mere prefix.
  if (colon + 1 < p.size() && std::strchr("*?{", p[colon + 1]) != nullptr) return "";
  int depth = 0;
  for (std::size_t i = colon + 1; i < p.size(); ++i) {
    switch (p[i]) {
      case '\\':
        if (i + 1 >= p.size()) return "";
        // GNU's \s and \W take a line feed; \` and \' anchor at the ends of
        // the whole text, which differ between a header and an overview.
        if (std::strchr("sW`'", p[i + 1]) != nullptr) return "";
        ++i;
        break;
      case '(':
        ++depth;
        break;
      case ')':
        --depth;
        break;
      case '|':
        if (depth <= 0) return "";
        break;
      case '[':
        if (!bracketStaysOnLine(p, i)) return "";
        break;
      default:
        break;
    }
  }
  return std::string(p.substr(1, colon - 1));
}

}  // namespace pelliton
