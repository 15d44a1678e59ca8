#include <gtest/gtest.h>

#include "config.h"

namespace pelliton {
namespace {

TEST(MatchWildNewsgroup, ComparesPlainTextByClass) {
  static const struct {
    int wildType;
    const char* text;
    const char* newsgroup;
    int expected;
  } cases[] = {
      {WILD_TYPE_ALL, "", "", 1},
      {WILD_TYPE_ALL, "", "comp.lang.c", 1},
      {WILD_TYPE_PREFIX, "comp.", "comp.", 1},
      {WILD_TYPE_PREFIX, "comp.", "comp.lang.c", 1},
      {WILD_TYPE_PREFIX, "comp.", "comp", 0},
      {WILD_TYPE_PREFIX, "comp", "compsci.misc", 1},
      {WILD_TYPE_PREFIX, "comp.", "Comp.lang", 0},
      {WILD_TYPE_SUFFIX, ".answers", "news.answers", 1},
      {WILD_TYPE_SUFFIX, ".answers", "news.answers.d", 0},
      {WILD_TYPE_SUFFIX, ".answers", ".answers", 1},
      {WILD_TYPE_SUBSTRING, "linux", "comp.os.linux.misc", 1},
      {WILD_TYPE_SUBSTRING, "linux", "comp.os.lin", 0},
      {WILD_TYPE_SUBSTRING, ".", "a.b", 1},
      {WILD_TYPE_SUBSTRING, ".", "ab", 0},
  };
  for (const auto& c : cases) {
    NewsgroupInfo ngInfo;
    ngInfo.wildType = c.wildType;
    ngInfo.name = c.text;
    EXPECT_EQ(c.expected, MatchWildNewsgroup(c.newsgroup, &ngInfo))
        << "class " << c.wildType << " '" << c.text << "' against '" << c.newsgroup << "'";
  }
}

}  // namespace
}  // namespace pelliton
