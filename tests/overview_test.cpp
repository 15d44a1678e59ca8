// Deciding from the overview: which header a condition looks at, what a
// format carries, how an overview line becomes a header, and which
// newsgroups the overview can decide.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capabilities.h"
#include "config.h"
#include "config_release.h"
#include "filterfile.h"
#include "headerfilter.h"
#include "overview.h"
#include "text_stream.h"
#include "util.h"

namespace pelliton {
namespace {

TEST(ConditionHeaderName, OnlyExpressionsThatStayOnOneNamedLine) {
  const struct {
    const char* pattern;
    const char* name;
  } cases[] = {
      {"^Subject:.*malloc", "Subject"},
      {"^subject: x", "subject"},
      {"^X-Bench: match", "X-Bench"},
      {"^Message-ID:.*@example", "Message-ID"},
      {"^Subject:(linux|bsd)", "Subject"},   // the alternatives follow the name
      {"^Subject:[^a]x", "Subject"},         // a non-matching list stays on its line
      {"^Subject:[]|]", "Subject"},          // a "]" first, and "|" inside a list
      {"^Subject:[[:alpha:]]+$", "Subject"},
      {"^Subject:\\.x\\(", "Subject"},
      {"Subject:", ""},                      // not anchored
      {"^Subject", ""},                      // no colon
      {"^Subject:*", ""},                    // the colon may be left out
      {"^Subject:?x", ""},
      {"^Sub.ject:", ""},                    // a pattern, not a name
      {"^(Subject):", ""},
      {"^:x", ""},
      {"^Subject: a|^Keywords: b", ""},      // reaches other lines
      {"^Subject: a|b", ""},
      {"^Subject:[[:space:]]+X", ""},        // a class that takes a line feed
      {"^Subject:[[:cntrl:]]", ""},
      {"^Subject:[\t-\r]", ""},              // a range across the line feed
      {"^Subject:\\sx", ""},
      {"^Subject:\\Wx", ""},
      {"^Subject: x\\'", ""},                // the end of the whole text
      {"^Subject:[abc", ""},                 // an unclosed list
      {"^Subject: x\\", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.name, ConditionHeaderName(c.pattern)) << c.pattern;
}

TEST(OverviewFormat, HeadersAreTheFieldsThatEndInAColonOrFull) {
  const OverviewFormat inn = OverviewFormat::FromLines(
      {"Subject:", "From:", "Date:", "Message-ID:", "References:", "Bytes:", "Lines:",
       "Xref:full", " Newsgroups:FULL ", ":bytes", "X-Odd"});
  for (const char* name : {"Subject", "from", "MESSAGE-ID", "References", "Xref", "Newsgroups"})
    EXPECT_TRUE(inn.Carries(name)) << name;
  for (const char* name : {"Bytes", "Lines", "bytes", "X-Odd", "Path", ""})
    EXPECT_FALSE(inn.Carries(name)) << name;
  const OverviewFormat rfc = OverviewFormat::Default();
  EXPECT_EQ("Subject: From: Date: Message-ID: References: :bytes :lines", rfc.Describe());
  EXPECT_FALSE(rfc.Carries("Xref"));
}

TEST(OverviewFormat, LinesBecomeHeadersInTheFormatsOrder) {
  const OverviewFormat format = OverviewFormat::FromLines(
      {"Subject:", "From:", "Date:", "Message-ID:", "References:", ":bytes", ":lines",
       "Xref:full"});
  const struct {
    const char* name;
    std::string line;
    bool numbered;
    ArticleNumber article;
    std::string header;
    bool usable;
  } cases[] = {
      {"every field", "3000\tHello\ta@b\tMon\t<m@x>\t<r@x>\t1234\t17\tXref: h g:3000", true, 3000,
       "Subject: Hello\nFrom: a@b\nDate: Mon\nMessage-ID: <m@x>\nReferences: <r@x>\n"
       "Xref: h g:3000",
       true},
      {"empty fields give no line", "7\tHi\t\t\t<m@x>\t\t10\t2\t", true, 7,
       "Subject: Hi\nMessage-ID: <m@x>", true},
      {"a full field that lost its name", "8\tS\tF\tD\t<m>\t\t1\t1\th g:8", true, 8,
       "Subject: S\nFrom: F\nDate: D\nMessage-ID: <m>\nXref: h g:8", true},
      {"a full field in other letters", "9\tS\tF\tD\t<m>\t\t1\t1\tXREF: h g:9", true, 9,
       "Subject: S\nFrom: F\nDate: D\nMessage-ID: <m>\nXREF: h g:9", true},
      // Xref is the last header field: a line that stops before it is
      // not known to have none.
      {"trailing tabs left out", "10\tS\tF\tD\t<m>\t\t1\t1", true, 10,
       "Subject: S\nFrom: F\nDate: D\nMessage-ID: <m>", false},
      {"too few fields", "11\tS\tF", true, 11, "Subject: S\nFrom: F", false},
      {"fields beyond the format", "12\tS\tF\tD\t<m>\t\t1\t1\t\textra", true, 12,
       "Subject: S\nFrom: F\nDate: D\nMessage-ID: <m>", true},
      {"no number", "x12\tS", false, 0, "", false},
      {"a sign", "-12\tS", false, 0, "", false},
      {"number run on", "12x\tS", false, 0, "", false},
      {"past 2^63", "9223372036854775808\tS", false, 0, "", false},
      {"empty line", "", false, 0, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ArticleNumber article = 0;
    std::string header = "stale";
    bool usable = true;
    const bool numbered = format.ParseLine(c.line, &article, &header, &usable);
    ASSERT_EQ(c.numbered, numbered);
    if (!numbered) continue;
    EXPECT_EQ(c.article, article);
    EXPECT_EQ(c.header, header);
    EXPECT_EQ(c.usable, usable);
  }
}

// Only the fields that conditions name, and a line needs only those.
TEST(OverviewFormat, LinesKeepTheFieldsAsked) {
  const OverviewFormat format = OverviewFormat::FromLines(
      {"Subject:", "From:", "Date:", "Message-ID:", "References:", ":bytes", ":lines",
       "Xref:full"});
  const std::vector<bool> wanted = format.FieldsNamed({"subject", "XREF", "Lines", ""});
  EXPECT_EQ((std::vector<bool>{true, false, false, false, false, false, false, true}), wanted);
  ArticleNumber article = 0;
  std::string header;
  bool usable = false;
  ASSERT_TRUE(format.ParseLine("5\tS\tF\tD\t<m>\t\t1\t1\tXref: h g:5", &article, &header,
                               &usable, &wanted));
  EXPECT_EQ("Subject: S\nXref: h g:5", header);
  EXPECT_TRUE(usable);
  ASSERT_TRUE(format.ParseLine("6\tS\tF", &article, &header, &usable, &wanted));
  EXPECT_EQ("Subject: S", header);
  EXPECT_FALSE(usable);
  const std::vector<bool> subject = format.FieldsNamed({"Subject"});
  ASSERT_TRUE(format.ParseLine("7\tS", &article, &header, &usable, &subject));
  EXPECT_TRUE(usable);
}

class DecidableTest : public ::testing::Test {
 protected:
  void SetUp() override { ReleaseConfigModel(); }
  void TearDown() override { ReleaseConfigModel(); }
  bool Decidable(const std::string& filters, const OverviewFormat& format) {
    ReleaseConfigModel();
    EXPECT_EQ(1, ReadConfig(testutil::TextStream(filters).get(), "filters"));
    const NewsgroupInfo* ngInfo = FindNewsgroup("comp.test");
    EXPECT_NE(nullptr, ngInfo);
    return DecidableFromOverview(HeaderFilter(*ngInfo), format);
  }
};

TEST_F(DecidableTest, EveryConditionThatAppliesMustNameACarriedHeader) {
  const OverviewFormat rfc = OverviewFormat::Default();
  const struct {
    const char* name;
    const char* filters;
    bool decidable;
  } cases[] = {
      {"subject and a negated from", "comp.test:\n* ^Subject:.*x\n* !^From:.*spam\n/m\n", true},
      {"no condition at all", "comp.test:\n/m\n", true},
      {"a header the overview lacks", "comp.test:\n* ^Subject: x\n* ^X-Bench: m\n/m\n", false},
      {"not anchored", "comp.test:\n* Subject: x\n/m\n", false},
      {"Lines is metadata", "comp.test:\n* ^Lines: 3\n/m\n", false},
      {"a second action", "comp.test:\n* ^Subject: x\n/m\ncomp.test:\n* ^Path: y\n/n\n", false},
      {"a wildcard entry that applies", "comp.*:\n* !^Path:.*spam\ncomp.test:\n* ^Subject: x\n/m\n",
       false},
      {"a wildcard entry that does not", "misc.*:\n* !^Path:.*spam\ncomp.test:\n* ^Subject: x\n/m\n",
       true},
      {"a carried general condition", "*:\n* !^From:.*spam\ncomp.test:\n/m\n", true},
  };
  for (const auto& c : cases) EXPECT_EQ(c.decidable, Decidable(c.filters, rfc)) << c.name;
  EXPECT_TRUE(Decidable("comp.test:\n* ^xref:.*comp\\.test\n/m\n",
                        OverviewFormat::FromLines({"Subject:", "Xref:full"})));
}

TEST(Capabilities, ListedWordsAreFoundWhateverTheirCase) {
  Capabilities capabilities;
  EXPECT_FALSE(capabilities.Listed());
  capabilities.MarkListed();
  for (const char* line : {"VERSION 2", "reader", "OVER MSGID", "COMPRESS DEFLATE SHRINK", "  "})
    capabilities.AddLine(line);
  EXPECT_TRUE(capabilities.Listed());
  EXPECT_TRUE(capabilities.Has("READER"));
  EXPECT_TRUE(capabilities.Has("over"));
  EXPECT_FALSE(capabilities.Has("MODE-READER"));
  EXPECT_FALSE(capabilities.Has("DEFLATE"));
  ASSERT_NE(nullptr, capabilities.Arguments("Compress"));
  EXPECT_EQ((std::vector<std::string>{"DEFLATE", "SHRINK"}), *capabilities.Arguments("Compress"));
  capabilities.Clear();
  EXPECT_FALSE(capabilities.Listed());
  EXPECT_FALSE(capabilities.Has("READER"));
}

}  // namespace
}  // namespace pelliton
