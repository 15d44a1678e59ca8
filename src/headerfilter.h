// Header matching: the conditions that apply to one newsgroup, tested
// against one header text.  Every way of reading a newsgroup (HEAD, the
// overview, ARTICLE) decides through the same HeaderFilter.
#ifndef PELLITON_HEADERFILTER_H
#define PELLITON_HEADERFILTER_H

#include <string>
#include <string_view>
#include <vector>

#include "config.h"

namespace pelliton {

class HeaderFilter {
 public:
  // The general conditions of every wildcard entry that matches the
  // newsgroup's name, in list order, then the conditions of each of its
  // actions.  The newsgroup and the model must outlive the filter.
  explicit HeaderFilter(const NewsgroupInfo& ngInfo);

  enum class Verdict {
    kMatch,          // at least one action matched
    kNoMatch,        // the general conditions held, no action matched
    kGeneralFailed,  // a general condition did not hold
  };
  // Tests a header text: its lines joined by LF, NUL bytes allowed, and
  // followed in memory by a NUL.  On a match `matched` holds the actions
  // that matched, in list order; otherwise it is empty.
  Verdict Test(std::string_view header, std::vector<const ActionInfo*>& matched) const;

  // Every condition that applies, general ones first.
  std::vector<const ConditionInfo*> Conditions() const;

 private:
  const NewsgroupInfo& ngInfo_;
  // The first action of each wildcard entry that applies: it holds the
  // entry's condition lines.
  std::vector<const ActionInfo*> general_;
};

// The name of the one header line that a condition's expression looks
// at: the expression begins with "^", the name and ":", and nothing in it
// can reach another line (an alternative at its top level, a character
// class that takes a line feed, an anchor at the ends of the whole text).
// Empty when the expression is not of that kind.
std::string ConditionHeaderName(std::string_view pattern);

}  // namespace pelliton

#endif  // PELLITON_HEADERFILTER_H
