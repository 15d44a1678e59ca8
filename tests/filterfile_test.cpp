#include <gtest/gtest.h>
#include <regex.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "config.h"
#include "config_fixture.h"
#include "filterfile.h"
#include "test_util.h"

namespace pelliton {
namespace {

class FilterFileTest : public ConfigTest {
 protected:
  // Reads `content` as the filter file 'rc' and returns what was printed.
  std::string Read(const std::string& content, int* result) {
    testutil::TextStream text(content);
    return StderrOf([&] { *result = ReadConfig(text.get(), "rc"); });
  }

  static std::vector<ActionInfo*> Actions(const NewsgroupInfo* ngInfo) {
    std::vector<ActionInfo*> actions;
    for (ActionInfo* actInfo : Nodes<ActionInfo>(ngInfo->actions)) actions.push_back(actInfo);
    return actions;
  }

  static std::vector<ConditionInfo*> Conditions(const ActionInfo* actInfo) {
    std::vector<ConditionInfo*> conditions;
    for (ConditionInfo* c : Nodes<ConditionInfo>(actInfo->conditions)) conditions.push_back(c);
    return conditions;
  }

  static bool Matches(ConditionInfo* condition, const char* header) {
    return regexec(&condition->regex, header, 0, nullptr, 0) == 0;
  }
};

std::string RegerrorText(const char* expression) {
  regex_t regex;
  const int rc = regcomp(&regex, expression, REG_EXTENDED | REG_ICASE | REG_NOSUB | REG_NEWLINE);
  char text[1024] = "";
  regerror(rc, &regex, text, sizeof text);
  return text;
}

TEST_F(FilterFileTest, WorkedExampleMakesTwoActionsAndAWildcardEntry) {
  int result = -1;
  EXPECT_EQ("", Read("comp.lang.c:\n"
                     "* ^Subject:.*malloc\n"
                     "* !^From:.*spammer\n"
                     "Mail/clang\n"
                     "comp.*:\n"
                     "* !^Newsgroups:.*,\n"
                     "comp.lang.c:\n"
                     "| cat >> /tmp/clang.txt\n",
                     &result));
  EXPECT_EQ(1, result);

  NewsgroupInfo* clang = FindNewsgroup("comp.lang.c");
  ASSERT_NE(nullptr, clang);
  EXPECT_EQ(clang, newsgroupList.head());
  EXPECT_EQ(clang, newsgroupList.tailPred());
  std::vector<ActionInfo*> actions = Actions(clang);
  ASSERT_EQ(2u, actions.size());
  EXPECT_EQ(ACTION_TYPE_FILE, actions[0]->type);
  EXPECT_EQ("Mail/clang", actions[0]->target);
  std::vector<ConditionInfo*> conditions = Conditions(actions[0]);
  ASSERT_EQ(2u, conditions.size());
  EXPECT_EQ(0, conditions[0]->negate);
  EXPECT_EQ(1, conditions[1]->negate);
  EXPECT_EQ(ACTION_TYPE_PIPE, actions[1]->type);
  EXPECT_EQ("cat >> /tmp/clang.txt", actions[1]->target);
  EXPECT_TRUE(actions[1]->conditions.IsEmpty());

  ASSERT_FALSE(wildNewsgroupList.IsEmpty());
  auto* wild = static_cast<NewsgroupInfo*>(wildNewsgroupList.head());
  EXPECT_EQ(wild, wildNewsgroupList.tailPred());
  EXPECT_EQ(WILD_TYPE_PREFIX, wild->wildType);
  EXPECT_EQ("comp.", wild->name);
  std::vector<ActionInfo*> general = Actions(wild);
  ASSERT_EQ(1u, general.size());
  EXPECT_EQ(ACTION_TYPE_UNSET, general[0]->type);
  ASSERT_EQ(1u, Conditions(general[0]).size());
  EXPECT_EQ(1, Conditions(general[0])[0]->negate);
}

TEST_F(FilterFileTest, ConditionsIgnoreCaseAndAnchorAtEveryHeaderLine) {
  int result = -1;
  EXPECT_EQ("", Read("g:\n* ^subject:.*MALLOC$\n* a.b\nbox\n", &result));
  std::vector<ConditionInfo*> conditions = Conditions(Actions(FindNewsgroup("g"))[0]);
  ASSERT_EQ(2u, conditions.size());
  EXPECT_TRUE(Matches(conditions[0], "From: x\nSubject: about Malloc\nLines: 3"));
  EXPECT_FALSE(Matches(conditions[0], "From: x Subject: malloc"));
  EXPECT_FALSE(Matches(conditions[0], "Subject: malloc trouble"));
  EXPECT_TRUE(Matches(conditions[1], "axb"));
  EXPECT_FALSE(Matches(conditions[1], "a\nb"));
}

TEST_F(FilterFileTest, LineFaultsAreReportedAndReadingGoesOn) {
  static const struct {
    const char* content;
    const char* messages;
    int result;
  } cases[] = {
      {"comp.lang.c :\n", "pelliton: rc:1: bad newsgroup line\n", 1},
      {"comp.lang.c: x\n", "pelliton: rc:1: bad newsgroup line\n", 1},
      {":\n", "pelliton: rc:1: bad newsgroup line\n", 1},
      {"comp.lang.c\n", "pelliton: rc:1: bad newsgroup line\n", 1},
      {"* ^Subject: x\nMail/box\n",
       "pelliton: rc:1: bad newsgroup line\npelliton: rc:2: bad newsgroup line\n", 1},
      {"comp.*.misc:\n* ^Subject: x\nMail/box\n",
       "pelliton: rc:1: bad wildcard newsgroup\npelliton: rc:2: bad newsgroup line\n"
       "pelliton: rc:3: bad newsgroup line\n",
       1},
      {"**:\n", "pelliton: rc:1: bad wildcard newsgroup\n", 1},
      {"g:\n* !\nbox\n", "pelliton: rc:2: bad condition line\n", 1},
      {"g:\n* !   \nbox\n", "pelliton: rc:2: bad condition line\n", 1},
      {"g:\n|\n", "pelliton: rc:2: bad pipe action\n", 1},
      {"g:\n|    \t\n", "pelliton: rc:2: bad pipe action\n", 1},
      {"*:\nMail/box\n", "pelliton: rc:2: bad newsgroup line\n", 1},
      {"*:\n*\tx\n", "pelliton: rc:2: bad newsgroup line\n", 1},
      {"# one\n\n  # three\ng:\n\n# six\n|\n", "pelliton: rc:7: bad pipe action\n", 1},
      {"g:\r\n\r\n|\r\n", "pelliton: rc:3: bad pipe action\n", 1},
      {"a:\nbox\ng:\n* x\n", "pelliton: rc: unexpected EOF reached\n", 0},
      {"g:\n", "pelliton: rc: unexpected EOF reached\n", 0},
      {"g:\n* !\n", "pelliton: rc:2: bad condition line\npelliton: rc: unexpected EOF reached\n", 0},
      {"*.answers:\n* x\n", "", 1},
      {"", "", 1},
      {"# nothing\n\n", "", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    ReleaseConfigModel();
    int result = -1;
    EXPECT_EQ(c.messages, Read(c.content, &result));
    EXPECT_EQ(c.result, result);
  }
}

TEST_F(FilterFileTest, RefusedExpressionIsDroppedWithTheLibrarysText) {
  int result = -1;
  EXPECT_EQ("pelliton: rc:3: bad regexp -- " + RegerrorText("(unclosed") + "\n",
            Read("g:\n* first\n* (unclosed\n* !third\nbox\n", &result));
  EXPECT_EQ(1, result);
  std::vector<ActionInfo*> actions = Actions(FindNewsgroup("g"));
  ASSERT_EQ(1u, actions.size());
  EXPECT_EQ("box", actions[0]->target);
  std::vector<ConditionInfo*> conditions = Conditions(actions[0]);
  ASSERT_EQ(2u, conditions.size());
  EXPECT_TRUE(Matches(conditions[0], "First"));
  EXPECT_TRUE(Matches(conditions[1], "third"));
  EXPECT_EQ(1, conditions[1]->negate);
}

TEST_F(FilterFileTest, ActionLinesTakeTheirTargetAsWritten) {
  static const struct {
    const char* actionLine;
    int type;
    const char* target;
  } cases[] = {
      {"|cmd", ACTION_TYPE_PIPE, "cmd"},
      {"|   cmd -x 'y'", ACTION_TYPE_PIPE, "cmd -x 'y'"},
      {"   Mail/box  ", ACTION_TYPE_FILE, "Mail/box"},
      {"*", ACTION_TYPE_FILE, "*"},
      {"*\tx", ACTION_TYPE_FILE, "*\tx"},
      {"other.group:", ACTION_TYPE_FILE, "other.group:"},
      {"Mail/a b#c", ACTION_TYPE_FILE, "Mail/a b#c"},
  };
  fileSizeLimit = 4096;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.actionLine);
    ReleaseConfigModel();
    int result = -1;
    EXPECT_EQ("", Read(std::string("  g:\n") + c.actionLine + "\n", &result));
    EXPECT_EQ(1, result);
    ASSERT_NE(nullptr, FindNewsgroup("g"));
    std::vector<ActionInfo*> actions = Actions(FindNewsgroup("g"));
    ASSERT_EQ(1u, actions.size());
    EXPECT_EQ(c.type, actions[0]->type);
    EXPECT_EQ(c.target, actions[0]->target);
    EXPECT_EQ(4096u, actions[0]->sizeLimit);
    // The action line ends the block, so no other newsgroup appears.
    EXPECT_EQ(newsgroupList.head(), newsgroupList.tailPred());
  }
}

TEST_F(FilterFileTest, NegationAndBlanksAfterTheStar) {
  int result = -1;
  EXPECT_EQ("", Read("g:\n* !x\n* ! x\n*    y\n  * !  z\nbox\n", &result));
  std::vector<ConditionInfo*> conditions = Conditions(Actions(FindNewsgroup("g"))[0]);
  ASSERT_EQ(4u, conditions.size());
  const int negate[] = {1, 1, 0, 1};
  const char* matching[] = {"x", "x", "y", "z"};
  for (std::size_t i = 0; i < conditions.size(); ++i) {
    EXPECT_EQ(negate[i], conditions[i]->negate) << i;
    EXPECT_TRUE(Matches(conditions[i], matching[i])) << i;
    EXPECT_FALSE(Matches(conditions[i], "!")) << i;
  }
}

TEST_F(FilterFileTest, WildcardBlockEndsAtTheNextNewsgroupLineWithItsOwnNumber) {
  int result = -1;
  EXPECT_EQ("pelliton: rc:5: bad newsgroup line\n",
            Read("*:\n* a\n*.answers:\n* b\nMail/box\ng:\nbox\n", &result));
  EXPECT_EQ(1, result);
  std::vector<NewsgroupInfo*> wild;
  for (NewsgroupInfo* ngInfo : Nodes<NewsgroupInfo>(wildNewsgroupList)) wild.push_back(ngInfo);
  ASSERT_EQ(2u, wild.size());
  EXPECT_EQ(WILD_TYPE_ALL, wild[0]->wildType);
  EXPECT_EQ(WILD_TYPE_SUFFIX, wild[1]->wildType);
  EXPECT_EQ(1u, Conditions(Actions(wild[0])[0]).size());
  EXPECT_EQ(1u, Conditions(Actions(wild[1])[0]).size());
  ASSERT_NE(nullptr, FindNewsgroup("g"));
  EXPECT_EQ("box", Actions(FindNewsgroup("g"))[0]->target);
}

TEST_F(FilterFileTest, RepeatedNamesShareOneNewsgroupAndPatternsDoNot) {
  int result = -1;
  EXPECT_EQ("", Read("b:\none\na:\ntwo\nb:\nthree\ncomp.*:\ncomp.*:\nb:\n|four\n", &result));
  EXPECT_EQ(1, result);
  std::vector<std::string> names;
  for (NewsgroupInfo* ngInfo : Nodes<NewsgroupInfo>(newsgroupList)) names.push_back(ngInfo->name);
  EXPECT_EQ((std::vector<std::string>{"b", "a"}), names);
  std::vector<ActionInfo*> actions = Actions(FindNewsgroup("b"));
  ASSERT_EQ(3u, actions.size());
  EXPECT_EQ("one", actions[0]->target);
  EXPECT_EQ("three", actions[1]->target);
  EXPECT_EQ("four", actions[2]->target);
  int wildEntries = 0;
  for (NewsgroupInfo* ngInfo : Nodes<NewsgroupInfo>(wildNewsgroupList)) {
    ++wildEntries;
    EXPECT_EQ(1u, Actions(ngInfo).size());
  }
  EXPECT_EQ(2, wildEntries);
}

TEST_F(FilterFileTest, BadBlocksLeaveNoEntryAndBadPipeLeavesAnUnsetAction) {
  int result = -1;
  EXPECT_EQ("pelliton: rc:1: bad wildcard newsgroup\npelliton: rc:3: bad pipe action\n",
            Read("a*b:\ng:\n|\n", &result));
  EXPECT_TRUE(wildNewsgroupList.IsEmpty());
  std::vector<ActionInfo*> actions = Actions(FindNewsgroup("g"));
  ASSERT_EQ(1u, actions.size());
  EXPECT_EQ(ACTION_TYPE_UNSET, actions[0]->type);
  EXPECT_TRUE(actions[0]->target.empty());
}

TEST_F(FilterFileTest, OverlongLinesAreReadIn1023CharacterPieces) {
  const std::string path(1500, 'p');
  int result = -1;
  EXPECT_EQ("pelliton: rc:3: bad newsgroup line\n", Read("g:\n" + path + "\n", &result));
  EXPECT_EQ(1, result);
  std::vector<ActionInfo*> actions = Actions(FindNewsgroup("g"));
  ASSERT_EQ(1u, actions.size());
  EXPECT_EQ(std::string(1023, 'p'), actions[0]->target);

  // A line of exactly 1023 characters leaves its newline as an empty line.
  ReleaseConfigModel();
  EXPECT_EQ("pelliton: rc:4: bad newsgroup line\n",
            Read("g:\n" + std::string(1023, 'q') + "\nbad\n", &result));
  EXPECT_EQ(std::string(1023, 'q'), Actions(FindNewsgroup("g"))[0]->target);
}

TEST_F(FilterFileTest, UnopenableFileFailsNamingThePathAsGiven) {
  int result = -1;
  EXPECT_EQ("pelliton: unable to open file 'conf/missing'\n",
            StderrOf([&] { result = ReadConfig("conf/missing"); }));
  EXPECT_EQ(0, result);
  const std::string tooLong(1100, 'r');
  EXPECT_EQ("pelliton: unable to open file '" + tooLong + "'\n",
            StderrOf([&] { result = ReadConfig(tooLong.c_str()); }));
  EXPECT_EQ(0, result);
  // A directory opens, but is no filter file that could be empty.
  mkdir(home.file("conf").c_str(), 0700);
  EXPECT_EQ("pelliton: unable to open file 'conf'\n", StderrOf([&] { result = ReadConfig("conf"); }));
  EXPECT_EQ(0, result);
}

TEST_F(FilterFileTest, MessagesUseTheBaseNameOfTheGivenPath) {
  mkdir(home.file("conf").c_str(), 0700);
  HomeFile("conf/filters", "bad\ng:\n");
  int result = -1;
  EXPECT_EQ("pelliton: filters:1: bad newsgroup line\npelliton: filters: unexpected EOF reached\n",
            StderrOf([&] { result = ReadConfig("conf/filters"); }));
  EXPECT_EQ(0, result);
}

}  // namespace
}  // namespace pelliton
