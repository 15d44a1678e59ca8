#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "config.h"
#include "config_fixture.h"
#include "serverfile.h"
#include "test_util.h"

namespace pelliton {
namespace {

class ServerFileTest : public ConfigTest {
 protected:
  // Reads `content` as the server file 'servers' and returns what was
  // printed.
  std::string Read(const std::string& content, int* result) {
    testutil::TextStream text(content);
    return StderrOf([&] { *result = ReadServerConfig(text.get(), "servers"); });
  }

  std::vector<std::string> ServerNames() {
    std::vector<std::string> names;
    for (ServerInfo* servInfo : Nodes<ServerInfo>(serverList)) names.push_back(servInfo->name);
    return names;
  }
};

TEST_F(ServerFileTest, FaultsAreReportedWithTheirLineAndStopTheReading) {
  static const struct {
    const char* content;
    const char* message;
  } cases[] = {
      {"[work] x\n", "pelliton: servers:1: bad server declaration\n"},
      {"[work]]\n", "pelliton: servers:1: bad server declaration\n"},
      {"[work\n", "pelliton: servers:1: bad server declaration\n"},
      {"[\n", "pelliton: servers:1: bad server declaration\n"},
      {"host news\n", "pelliton: servers:1: attribute defined without server declaration\n"},
      {"bogus\n", "pelliton: servers:1: attribute defined without server declaration\n"},
      {"# c\n\n   # note\nport 0\n",
       "pelliton: servers:4: attribute defined without server declaration\n"},
      {"[a]\nhost\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\nport\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\nport 0\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\nport 65536\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\nport -1\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\nport abc\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\nport 99999999999999999999\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\nhostname x\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\nhost=x\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\ntimeout\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\ntimeout -1\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\ntimeout +5\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\ntimeout 86401\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\ntimeout 99999999999999999999\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\ntimeout soon\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\narticlelimit\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\narticlelimit k\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\narticlelimit 10K\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\narticlelimit 10kb\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\narticlelimit 10 k\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\narticlelimit -1\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\narticlelimit +1\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\narticlelimit 99999999999999999999\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\narticlelimit 0x10000000000000m\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\r\n\r\nuser\r\n", "pelliton: servers:3: invalid server attribute\n"},
      {"[a]\ntls\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\ntls maybe\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\ntls true\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\ntls yes please\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\ntls starttls\ntls off\n", "pelliton: servers:3: invalid server attribute\n"},
      {"[a]\noverview\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\noverview maybe\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\noverview yes please\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\ncompress\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\ncompress deflate\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\ncompress on\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\ncafile\n", "pelliton: servers:2: invalid server attribute\n"},
      {"[a]\nhost h\n[b] [c]\nhost never\n[d\n", "pelliton: servers:3: bad server declaration\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    ReleaseConfigModel();
    int result = -1;
    EXPECT_EQ(c.message, Read(c.content, &result));
    EXPECT_EQ(0, result);
  }
}

TEST_F(ServerFileTest, LinesBeforeAFaultTakeEffectAndLaterOnesAreNeverRead) {
  int result = -1;
  EXPECT_EQ("pelliton: servers:3: invalid server attribute\n",
            Read("[a]\nhost h1\nport 0\nhost h2\n[b]\n", &result));
  EXPECT_EQ(0, result);
  ASSERT_EQ((std::vector<std::string>{"a"}), ServerNames());
  EXPECT_EQ("h1", FindServer("a")->host.value_or(""));
  EXPECT_EQ(119, FindServer("a")->port);
}

TEST_F(ServerFileTest, MessagesNameTheFileAsGivenNotAsResolved) {
  mkdir(home.file("conf").c_str(), 0700);
  HomeFile("conf/servers", "oops\n");
  int result = -1;
  EXPECT_EQ("pelliton: servers:1: attribute defined without server declaration\n",
            StderrOf([&] { result = ReadServerConfig("conf/servers"); }));
  EXPECT_EQ(0, result);
}

TEST_F(ServerFileTest, AbsentEmptyOrCommentOnlyFilesDeclareNothing) {
  for (const char* content : {"", "# only\n\n   # comments\n", "\r\n"}) {
    int result = -1;
    EXPECT_EQ("", Read(content, &result));
    EXPECT_EQ(1, result);
    EXPECT_TRUE(serverList.IsEmpty());
  }
  EXPECT_EQ("", StderrOf([] { EXPECT_EQ(1, ReadServerConfig("no-such-file")); }));
  EXPECT_EQ("", StderrOf([] { EXPECT_EQ(1, ReadServerConfig(std::string(1100, 'x').c_str())); }));
  EXPECT_TRUE(serverList.IsEmpty());
}

TEST_F(ServerFileTest, AttributeValuesAreStoredAsWritten) {
  int result = -1;
  EXPECT_EQ("", Read("[news]\n"
                     "host news # main server\n"
                     "port 119 # default\n"
                     "config\tconf/rc\n"
                     "newsrc   my newsrc\n"
                     "user a\n"
                     "username b\n"
                     "password p1\n"
                     "PASS p2\n"
                     "preconnect ssh -N -f \"tunnel\" 'x'\n"
                     "PostConnect echo a#b\n",
                     &result));
  EXPECT_EQ(1, result);
  ServerInfo* servInfo = FindServer("news");
  ASSERT_NE(nullptr, servInfo);
  EXPECT_EQ("news # main server", servInfo->host.value_or(""));
  EXPECT_EQ(119, servInfo->port);
  EXPECT_EQ("conf/rc", servInfo->config.value_or(""));
  EXPECT_EQ("my newsrc", servInfo->newsrc.value_or(""));
  EXPECT_EQ("b", servInfo->user.value_or(""));
  EXPECT_EQ("p2", servInfo->password.value_or(""));
  EXPECT_EQ("ssh -N -f \"tunnel\" 'x'", servInfo->preconnect.value_or(""));
  EXPECT_EQ("echo a#b", servInfo->postconnect.value_or(""));
  EXPECT_EQ(kDefaultTimeout, servInfo->timeout);
}

TEST_F(ServerFileTest, PortAndTimeoutReadDigitsAndIgnoreWhatFollows) {
  static const struct {
    const char* line;
    int port;
    int timeout;
  } cases[] = {
      {"port 563x", 563, kDefaultTimeout},   {"PORT 119", 119, kDefaultTimeout},
      {"Port +119", 119, kDefaultTimeout},   {"port 65535", 65535, kDefaultTimeout},
      {"port 1", 1, kDefaultTimeout},        {"timeout 0", 7, 0},
      {"timeout 86400", 7, 86400},           {"TIMEOUT 30s", 7, 30},
      {"timeout 007", 7, 7},
  };
  defaultPort = 7;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    ReleaseConfigModel();
    int result = -1;
    EXPECT_EQ("", Read(std::string("[s]\n") + c.line + "\n", &result));
    EXPECT_EQ(1, result);
    ASSERT_NE(nullptr, FindServer("s"));
    EXPECT_EQ(c.port, FindServer("s")->port);
    EXPECT_EQ(c.timeout, FindServer("s")->timeout);
  }
}

TEST_F(ServerFileTest, TlsKeysAndWhetherThePortWasGiven) {
  static const struct {
    const char* lines;
    int tlsMode;
    const char* caFile;  // "" for none
    bool portGiven;
  } cases[] = {
      {"host h\n", TLS_MODE_NONE, "", false},
      {"tls no\n", TLS_MODE_NONE, "", false},
      {"tls yes\n", TLS_MODE_IMPLICIT, "", false},
      {"TLS YES\nport 563\n", TLS_MODE_IMPLICIT, "", true},
      {"tls StartTLS\n", TLS_MODE_STARTTLS, "", false},
      {"tls yes\ntls no\n", TLS_MODE_NONE, "", false},
      {"tls starttls\ncafile certs/my ca.pem\nport 119\n", TLS_MODE_STARTTLS, "certs/my ca.pem",
       true},
      {"CAfile /a.pem\ncafile /b.pem\n", TLS_MODE_NONE, "/b.pem", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines);
    ReleaseConfigModel();
    int result = -1;
    EXPECT_EQ("", Read(std::string("[s]\n") + c.lines, &result));
    EXPECT_EQ(1, result);
    ServerInfo* servInfo = FindServer("s");
    ASSERT_NE(nullptr, servInfo);
    EXPECT_EQ(c.tlsMode, servInfo->tlsMode);
    EXPECT_EQ(c.caFile, servInfo->caFile.value_or(""));
    EXPECT_EQ(c.portGiven, servInfo->portGiven);
  }
}

TEST_F(ServerFileTest, OverviewAndCompressAreYesOrNoInAnyCase) {
  static const struct {
    const char* lines;
    bool overview;
    bool compress;
  } cases[] = {
      {"host h\n", false, false},
      {"overview yes\n", true, false},
      {"Overview NO\n", false, false},
      {"OVERVIEW Yes\n", true, false},
      {"overview yes\noverview no\n", false, false},
      {"compress yes\n", false, true},
      {"Compress NO\n", false, false},
      {"COMPRESS Yes\noverview yes\n", true, true},
      {"compress yes\ncompress no\n", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines);
    ReleaseConfigModel();
    int result = -1;
    EXPECT_EQ("", Read(std::string("[s]\n") + c.lines, &result));
    EXPECT_EQ(1, result);
    ASSERT_NE(nullptr, FindServer("s"));
    EXPECT_EQ(c.overview, FindServer("s")->overview);
    EXPECT_EQ(c.compress, FindServer("s")->compress);
  }
}

// The size syntax of -m.
TEST_F(ServerFileTest, ArticleLimitTakesASizeWithAnOptionalSuffix) {
  static const struct {
    const char* value;
    unsigned long bytes;
  } cases[] = {
      {"10k", 10240},  {"1m", 1048576},         {"2b", 1024},  {"0x10", 16},
      {"0x1b", 27},    {"010", 8},              {"1024m", 1UL << 30},
      // 0 and anything larger stand for what one buffer can hold.
      {"0", 1UL << 30}, {"0k", 1UL << 30}, {"1025m", 1UL << 30}, {"4096m", 1UL << 30},
      {"1073741825", 1UL << 30},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    ReleaseConfigModel();
    int result = -1;
    EXPECT_EQ("", Read(std::string("[s]\nArticleLimit ") + c.value + "\n", &result));
    EXPECT_EQ(1, result);
    ASSERT_NE(nullptr, FindServer("s"));
    EXPECT_EQ(c.bytes, FindServer("s")->articleLimit);
  }
  ReleaseConfigModel();
  int result = -1;
  EXPECT_EQ("", Read("[s]\nhost h\n", &result));
  EXPECT_EQ(64UL << 20, FindServer("s")->articleLimit);
}

TEST_F(ServerFileTest, SectionNamesAreTakenExactlyAndMergedIgnoringCase) {
  int result = -1;
  EXPECT_EQ("", Read("[Work]\n"
                     "host h1\n"
                     "user u\n"
                     "[]\n"
                     "[ work ]\n"
                     "   [[work]   \n"
                     "[work]\n"
                     "host h2\n"
                     "port 8119\n",
                     &result));
  EXPECT_EQ(1, result);
  EXPECT_EQ((std::vector<std::string>{"Work", "", " work ", "[work"}), ServerNames());
  ServerInfo* work = FindServer("WORK");
  EXPECT_EQ("h2", work->host.value_or(""));
  EXPECT_EQ("u", work->user.value_or(""));
  EXPECT_EQ(8119, work->port);
  EXPECT_FALSE(FindServer(" work ")->host);
}

TEST_F(ServerFileTest, OverlongLinesArriveInPiecesWithTheirOwnNumbers) {
  // 1023 characters before the newline: the newline is read as line 2.
  const std::string exact = "host " + std::string(1018, 'h');
  int result = -1;
  EXPECT_EQ("pelliton: servers:4: invalid server attribute\n",
            Read("[s]\n" + exact + "\nbad\n", &result));
  EXPECT_EQ(std::string(1018, 'h'), FindServer("s")->host.value_or(""));

  // A longer value is cut, and its continuation is judged by its first word.
  ReleaseConfigModel();
  const std::string value = std::string(1100, 'c');
  EXPECT_EQ("pelliton: servers:3: invalid server attribute\n",
            Read("[s]\npreconnect " + value + "\n", &result));
  EXPECT_EQ(0, result);
  EXPECT_EQ(std::string(1023 - 11, 'c'), FindServer("s")->preconnect.value_or(""));
}

TEST_F(ServerFileTest, PasswordInAFileOthersCanReadDrawsAWarning) {
  const std::string warning =
      "pelliton: warning: server file 'servers' holds a password and is readable by others\n";
  static const struct {
    mode_t mode;
    const char* content;
    bool warns;
  } cases[] = {
      {0600, "[s]\npass secret\n", false},  {0644, "[s]\npass secret\n", true},
      {0640, "[s]\npassword secret\n", true}, {0604, "[s]\npass secret\n", true},
      {0644, "[s]\nuser someone\n", false}, {0644, "[s]\npass secret\n[t]\npass secret2\n", true},
      // A command that gets the password is no secret.
      {0644, "[s]\npasscmd pass show news\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    ReleaseConfigModel();
    HomeFile("servers", c.content);
    chmod(home.file("servers").c_str(), c.mode);
    int result = -1;
    const std::string err = StderrOf([&] { result = ReadServerConfig("servers"); });
    EXPECT_EQ(1, result);
    EXPECT_EQ(c.warns ? warning : "", err);
  }
}

TEST_F(ServerFileTest, PasswordsNeverAppearInMessages) {
  HomeFile("servers", "[s]\npass hunter2\nport hunter2\n");
  chmod(home.file("servers").c_str(), 0644);
  int result = -1;
  const std::string err = StderrOf([&] { result = ReadServerConfig("servers"); });
  EXPECT_EQ(0, result);
  EXPECT_EQ(std::string::npos, err.find("hunter2"));
  EXPECT_NE(std::string::npos, err.find("servers:3: invalid server attribute"));
  EXPECT_NE(std::string::npos, err.find("holds a password"));
}

TEST_F(ServerFileTest, PassAndPasscmdForOneServerAreAFault) {
  static const struct {
    const char* content;
    const char* fault;  // null: read without a fault
  } cases[] = {
      {"[s]\npass secret\npasscmd echo secret\n", "servers:3: pass and passcmd cannot both be given"},
      {"[s]\nPassCmd echo secret\npassword secret\n",
       "servers:3: pass and passcmd cannot both be given"},
      // One server over two sections is still one server.
      {"[s]\npasscmd echo secret\n[t]\n[S]\npass secret\n",
       "servers:5: pass and passcmd cannot both be given"},
      {"[s]\npasscmd echo secret\n[t]\npass secret\n", nullptr},
      {"[s]\npasscmd\n", "servers:2: invalid server attribute"},
      {"[s]\npasscmd echo one\npasscmd cat \"$CREDENTIALS_DIRECTORY/news\"\n", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    ReleaseConfigModel();
    int result = -1;
    const std::string err = Read(c.content, &result);
    EXPECT_EQ(c.fault ? 0 : 1, result);
    EXPECT_EQ(c.fault ? std::string("pelliton: ") + c.fault + "\n" : "", err);
  }
  // The later line replaces the earlier, as for every key.
  ASSERT_NE(nullptr, FindServer("s"));
  EXPECT_EQ("cat \"$CREDENTIALS_DIRECTORY/news\"", FindServer("s")->passwordCommand.value_or(""));
}

}  // namespace
}  // namespace pelliton
