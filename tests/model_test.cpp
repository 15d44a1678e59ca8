#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "config.h"
#include "config_fixture.h"
#include "configtext.h"
#include "util.h"
#include "test_util.h"

namespace pelliton {
namespace {

using ModelTest = ConfigTest;

std::vector<std::string> NewsgroupNames(const ListHeader& list) {
  std::vector<std::string> names;
  for (NewsgroupInfo* ngInfo : Nodes<NewsgroupInfo>(list)) names.push_back(ngInfo->name);
  return names;
}

TEST_F(ModelTest, ListsKeepAppendOrderAndEmptyCleanly) {
  ListHeader list;
  ListNode a, b, c;
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(nullptr, RemHead(list));
  AddTail(list, &a);
  AddTail(list, &b);
  AddTail(list, &c);
  EXPECT_EQ(&list.start, a.pred);
  EXPECT_EQ(&list.end, c.succ);
  Remove(&b);
  EXPECT_EQ(&a, RemHead(list));
  EXPECT_EQ(&c, RemHead(list));
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(nullptr, RemHead(list));
}

TEST_F(ModelTest, NewServerTakesDefaultsAndServersAreFoundIgnoringCase) {
  defaultPort = 1119;
  ServerInfo* work = AddServer("Work");
  ServerInfo* home = AddServer("home");
  EXPECT_EQ("Work", work->name);
  EXPECT_EQ(1119, work->port);
  EXPECT_EQ(kDefaultTimeout, work->timeout);
  EXPECT_FALSE(work->host || work->config || work->newsrc || work->password || work->user ||
               work->preconnect || work->postconnect);
  EXPECT_EQ(work, FindServer("work"));
  EXPECT_EQ(work, FindServer("WORK"));
  EXPECT_EQ(home, FindServer("Home"));
  EXPECT_EQ(nullptr, FindServer("wor"));
  EXPECT_EQ(nullptr, FindServer(" work"));
  ASSERT_EQ(serverList.head(), work);
  EXPECT_EQ(work->succ, home);
}

TEST_F(ModelTest, NewsgroupsAreFoundByExactNameOnly) {
  NewsgroupInfo* lower = AddNewsgroup("comp.lang.c");
  NewsgroupInfo* upper = AddNewsgroup("Comp.Lang.C");
  EXPECT_EQ(0, lower->nextArticle);
  EXPECT_EQ(WILD_TYPE_NONE, lower->wildType);
  EXPECT_TRUE(lower->actions.IsEmpty());
  EXPECT_EQ(lower, FindNewsgroup("comp.lang.c"));
  EXPECT_EQ(upper, FindNewsgroup("Comp.Lang.C"));
  EXPECT_EQ(nullptr, FindNewsgroup("comp.lang"));
  EXPECT_EQ(nullptr, FindNewsgroup("comp.lang.c.x"));
  ASSERT_NE(nullptr, AddWildNewsgroup("comp.*"));
  EXPECT_EQ(nullptr, FindNewsgroup("comp."));
  // AddNewsgroup does not look up; a second record of a name stays behind
  // the first, which is the one found.
  NewsgroupInfo* again = AddNewsgroup("comp.lang.c");
  EXPECT_NE(lower, again);
  EXPECT_EQ(lower, FindNewsgroup("comp.lang.c"));
}

TEST_F(ModelTest, OverlongNamesAreCutAndNeverFoundAgain) {
  const std::string longName(300, 'n');
  ServerInfo* servInfo = AddServer(longName.c_str());
  EXPECT_EQ(std::string(255, 'n'), servInfo->name);
  EXPECT_EQ(nullptr, FindServer(longName.c_str()));
  EXPECT_EQ(servInfo, FindServer(std::string(255, 'N').c_str()));

  NewsgroupInfo* ngInfo = AddNewsgroup(longName.c_str());
  EXPECT_EQ(std::string(255, 'n'), ngInfo->name);
  EXPECT_EQ(nullptr, FindNewsgroup(longName.c_str()));

  // The stars do not count towards the kept length.
  NewsgroupInfo* wild = AddWildNewsgroup(("*" + longName + "*").c_str());
  ASSERT_NE(nullptr, wild);
  EXPECT_EQ(std::string(255, 'n'), wild->name);
}

TEST_F(ModelTest, WildcardPatternsAreClassifiedOrRefused) {
  static const struct {
    const char* pattern;
    int wildType;  // -1: refused
    const char* stored;
  } cases[] = {
      {"*", WILD_TYPE_ALL, ""},
      {"comp.*", WILD_TYPE_PREFIX, "comp."},
      {"*.answers", WILD_TYPE_SUFFIX, ".answers"},
      {"*linux*", WILD_TYPE_SUBSTRING, "linux"},
      {"*.*", WILD_TYPE_SUBSTRING, "."},
      {"*a*", WILD_TYPE_SUBSTRING, "a"},
      {"comp.*.misc", -1, nullptr},
      {"**", -1, nullptr},
      {"*a*b", -1, nullptr},
      {"a*b*", -1, nullptr},
      {"*a*b*", -1, nullptr},
      {"***", -1, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(c.wildType, getWildNewsgroupType(c.pattern));
    NewsgroupInfo* ngInfo = AddWildNewsgroup(c.pattern);
    if (c.wildType < 0) {
      EXPECT_EQ(nullptr, ngInfo);
      continue;
    }
    ASSERT_NE(nullptr, ngInfo);
    EXPECT_EQ(c.wildType, ngInfo->wildType);
    EXPECT_EQ(c.stored, ngInfo->name);
    EXPECT_EQ(0, ngInfo->nextArticle);
    EXPECT_TRUE(ngInfo->actions.IsEmpty());
    EXPECT_EQ(wildNewsgroupList.tailPred(), ngInfo);
  }
  EXPECT_EQ((std::vector<std::string>{"", "comp.", ".answers", "linux", ".", "a"}),
            NewsgroupNames(wildNewsgroupList));
  EXPECT_TRUE(newsgroupList.IsEmpty());
}

TEST_F(ModelTest, SamePatternTwiceMakesTwoEntries) {
  NewsgroupInfo* first = AddWildNewsgroup("comp.*");
  NewsgroupInfo* second = AddWildNewsgroup("comp.*");
  ASSERT_NE(nullptr, first);
  ASSERT_NE(nullptr, second);
  EXPECT_NE(first, second);
  EXPECT_EQ((std::vector<std::string>{"comp.", "comp."}), NewsgroupNames(wildNewsgroupList));
}

TEST_F(ModelTest, ActionsAreAppendedWithTheSizeLimitOfTheirTime) {
  NewsgroupInfo* ngInfo = AddNewsgroup("a");
  fileSizeLimit = 5000;
  ActionInfo* first = AddAction(ngInfo);
  fileSizeLimit = 0;
  ActionInfo* second = AddAction(ngInfo);
  EXPECT_EQ(5000u, first->sizeLimit);
  EXPECT_EQ(0u, second->sizeLimit);
  EXPECT_EQ(ACTION_TYPE_UNSET, first->type);
  EXPECT_TRUE(first->target.empty());
  EXPECT_TRUE(first->conditions.IsEmpty());
  EXPECT_EQ(ngInfo->actions.head(), first);
  EXPECT_EQ(first->succ, second);
}

TEST_F(ModelTest, InitConfigListsEmptiesAllThreeLists) {
  AddServer("s");
  AddNewsgroup("g");
  AddWildNewsgroup("*");
  // Records of the run are never released; these are dropped on purpose.
  ListNode* kept[] = {serverList.head(), newsgroupList.head(), wildNewsgroupList.head()};
  InitConfigLists();
  EXPECT_TRUE(serverList.IsEmpty());
  EXPECT_TRUE(newsgroupList.IsEmpty());
  EXPECT_TRUE(wildNewsgroupList.IsEmpty());
  EXPECT_EQ(nullptr, FindNewsgroup("g"));
  delete static_cast<ServerInfo*>(kept[0]);
  delete static_cast<NewsgroupInfo*>(kept[1]);
  delete static_cast<NewsgroupInfo*>(kept[2]);
}

TEST(TextConventions, BasenameIsTheTextBehindTheLastSlash) {
  static const struct {
    const char* name;
    const char* base;
  } cases[] = {
      {"a/b/c", "c"}, {"c", "c"}, {"/x", "x"}, {"dir/", ""}, {"", ""}, {"conf/servers", "servers"},
  };
  for (const auto& c : cases) {
    const char* base = basename(c.name);
    EXPECT_STREQ(c.base, base) << c.name;
    EXPECT_GE(base, c.name);  // a pointer into the argument
  }
}

TEST(TextConventions, CleanLineStripsBlanksAndSkipsCommentsAndEmptyLines) {
  static const struct {
    const char* line;
    const char* clean;  // null: skipped
  } cases[] = {
      {"host news\n", "host news"},
      {"  \thost news \t\r\n", "host news"},
      {"host news\r\n", "host news"},
      {"\n", nullptr},
      {" \t \r\n", nullptr},
      {"", nullptr},
      {"# note\n", nullptr},
      {"   # note\n", nullptr},
      {"echo a#b\n", "echo a#b"},
      {"x\v\f\n", "x"},
      {"\xa0x\xa0\n", "\xa0x\xa0"},
      {"\xc3\xa9\n", "\xc3\xa9"},
  };
  for (const auto& c : cases) {
    std::string buffer(c.line);
    const char* clean = cleanLine(buffer.data());
    if (c.clean == nullptr)
      EXPECT_EQ(nullptr, clean) << "'" << c.line << "'";
    else
      EXPECT_STREQ(c.clean, clean) << "'" << c.line << "'";
  }
}

TEST(TextConventions, OnlyAsciiWhiteSpaceIsBlank) {
  for (int c = -128; c < 256; ++c) {
    const bool expected = c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    EXPECT_EQ(expected, isBlank(c)) << c;
  }
}

std::string fixedHome;
std::string FixedHome() { return fixedHome; }

TEST(HomeRelativeFiles, RelativeNamesAreJoinedToTheHomeDirectory) {
  static const struct {
    const char* home;
    const char* path;
    const char* resolved;
  } cases[] = {
      {"/home/user", ".pelliton-servers", "/home/user/.pelliton-servers"},
      {"/home/user", "conf/servers", "/home/user/conf/servers"},
      {"/home/user", "./servers", "./servers"},
      {"/home/user", "../servers", "../servers"},
      {"/home/user", "/etc/servers", "/etc/servers"},
      {"/home/user/", ".pellitonrc", "/home/user/.pellitonrc"},
      {"/", ".pellitonrc", "/.pellitonrc"},
      {"/home/user", ".", "/home/user/."},
      {"/home/user", "..", "/home/user/.."},
      {"/home/user", "..x", "/home/user/..x"},
      {"/home/user", "~/x", "/home/user/~/x"},
      {"/home/user", "", "/home/user/"},
  };
  for (const auto& c : cases) {
    fixedHome = c.home;
    SetHomeLookup(FixedHome);
    std::optional<std::string> resolved = ResolvePath(c.path);
    ASSERT_TRUE(resolved) << c.path;
    EXPECT_EQ(c.resolved, *resolved) << c.home << " + '" << c.path << "'";
  }
  SetHomeLookup(nullptr);
}

TEST(HomeRelativeFiles, JoinedNameOf1023CharactersOpensAndOf1024IsRefused) {
  testutil::TempDir dir;
  fixedHome = dir.path();
  SetHomeLookup(FixedHome);
  // Directories of 200 characters carry the name towards the limit.
  std::string relative;
  const std::string segment(200, 'd');
  while (fixedHome.size() + 1 + relative.size() + segment.size() + 1 + 20 < 1023) {
    relative += segment;
    mkdir((fixedHome + "/" + relative).c_str(), 0700);
    relative += '/';
  }
  const std::size_t rest = 1023 - fixedHome.size() - 1 - relative.size();
  const std::string fits = relative + std::string(rest, 'f');
  const std::string tooLong = fits + "g";
  testutil::WriteFile(fixedHome + "/" + fits, "x");
  testutil::WriteFile(fixedHome + "/" + tooLong, "x");
  ASSERT_EQ(1023u, fixedHome.size() + 1 + fits.size());

  FILE* f = myfopen(fits.c_str(), "r");
  EXPECT_NE(nullptr, f);
  if (f != nullptr) std::fclose(f);
  EXPECT_EQ(nullptr, myfopen(tooLong.c_str(), "r"));
  EXPECT_FALSE(ResolvePath(tooLong.c_str()));

  // The absolute route knows no such limit.
  f = myfopen((fixedHome + "/" + tooLong).c_str(), "r");
  EXPECT_NE(nullptr, f);
  if (f != nullptr) std::fclose(f);
  SetHomeLookup(nullptr);
}

}  // namespace
}  // namespace pelliton
