#include "config.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "pelliton.h"

namespace pelliton {

ListHeader serverList;
ListHeader newsgroupList;
ListHeader wildNewsgroupList;

void AddTail(ListHeader& list, ListNode* node) {
  ListNode* last = list.tailPred();
  node->succ = last->succ;
  node->pred = last;
  list.end.pred = node;
  last->succ = node;
}

void Remove(ListNode* node) {
  node->pred->succ = node->succ;
  node->succ->pred = node->pred;
}

ListNode* RemHead(ListHeader& list) {
  if (list.IsEmpty()) return nullptr;
  ListNode* node = list.head();
  Remove(node);
  return node;
}

// ---------------------------------------------------------------------------
// The model

namespace {

std::string cutName(const char* name) {
  return std::string(name, strnlen(name, kMaxNameLength));
}

}  // namespace

void InitConfigLists() {
  serverList.NewList();
  newsgroupList.NewList();
  wildNewsgroupList.NewList();
}

ServerInfo* AddServer(const char* name) {
  assert(name != NULL);
  auto* servInfo = new ServerInfo;
  servInfo->name = cutName(name);
  servInfo->port = defaultPort;
  AddTail(serverList, servInfo);
  return servInfo;
}

ServerInfo* FindServer(const char* name) {
  assert(name != NULL);
  for (ServerInfo* servInfo : Nodes<ServerInfo>(serverList))
    if (strcasecmp(servInfo->name.c_str(), name) == 0) return servInfo;
  return nullptr;
}

NewsgroupInfo* AddNewsgroup(const char* name) {
  assert(name != NULL);
  auto* ngInfo = new NewsgroupInfo;
  ngInfo->name = cutName(name);
  AddTail(newsgroupList, ngInfo);
  return ngInfo;
}

NewsgroupInfo* FindNewsgroup(const char* name) {
  assert(name != NULL);
  for (NewsgroupInfo* ngInfo : Nodes<NewsgroupInfo>(newsgroupList))
    if (std::strcmp(ngInfo->name.c_str(), name) == 0) return ngInfo;
  return nullptr;
}

int getWildNewsgroupType(const char* newsgroup) {
  assert(newsgroup[0] != '\0');
  if (std::strcmp(newsgroup, "*") == 0) return WILD_TYPE_ALL;
  const std::size_t length = std::strlen(newsgroup);
  int wildCount = 0;
  for (const char* p = newsgroup; *p != '\0'; ++p)
    if (*p == '*') ++wildCount;
  assert(wildCount > 0);
  const bool starFirst = newsgroup[0] == '*';
  const bool starLast = newsgroup[length - 1] == '*';
  if (wildCount == 1) {
    if (starFirst) return WILD_TYPE_SUFFIX;
    if (starLast) return WILD_TYPE_PREFIX;
    return -1;
  }
  if (wildCount == 2 && starFirst && starLast && length > 2) return WILD_TYPE_SUBSTRING;
  return -1;
}

NewsgroupInfo* AddWildNewsgroup(const char* newsgroup) {
  assert(newsgroup != NULL);
  const int wildType = getWildNewsgroupType(newsgroup);
  if (wildType < 0) return nullptr;
  auto* ngInfo = new NewsgroupInfo;
  for (const char* p = newsgroup; *p != '\0' && ngInfo->name.size() < kMaxNameLength; ++p)
    if (*p != '*') ngInfo->name += *p;
  ngInfo->wildType = wildType;
  AddTail(wildNewsgroupList, ngInfo);
  return ngInfo;
}

ActionInfo* AddAction(NewsgroupInfo* ngInfo) {
  assert(ngInfo != NULL);
  auto* actInfo = new ActionInfo;
  actInfo->sizeLimit = fileSizeLimit;
  AddTail(ngInfo->actions, actInfo);
  return actInfo;
}

// ---------------------------------------------------------------------------
// Text conventions shared by the readers

const char* basename(const char* name) {
  assert(name != NULL);
  const char* slash = std::strrchr(name, '/');
  return slash != nullptr ? slash + 1 : name;
}

bool isBlank(int c) {
  // isspace() of a negative char is undefined, and the bytes of UTF-8
  // names must never be taken for separators.
  return c >= 0 && c < 128 && std::isspace(c) != 0;
}

char* cleanLine(char* line) {
  assert(line != NULL);
  while (isBlank(static_cast<unsigned char>(*line))) ++line;
  if (*line == '#' || *line == '\0') return nullptr;
  char* end = line + std::strlen(line);
  while (end > line && isBlank(static_cast<unsigned char>(end[-1]))) --end;
  *end = '\0';
  return line;
}

namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// One read of a configuration file: at most 1023 characters, so a longer
// line arrives in pieces, and every piece counts as a line of its own.
class LineReader {
 public:
  explicit LineReader(FILE* stream) : stream_(stream) {}
  bool next() {
    if (std::fgets(buffer_, sizeof buffer_, stream_) == nullptr) return false;
    ++lineNumber_;
    return true;
  }
  char* line() { return buffer_; }
  int lineNumber() const { return lineNumber_; }

 private:
  FILE* stream_;
  char buffer_[1024];
  int lineNumber_ = 0;
};

const char* skipBlanks(const char* p) {
  while (isBlank(static_cast<unsigned char>(*p))) ++p;
  return p;
}

char* skipBlanks(char* p) {
  while (isBlank(static_cast<unsigned char>(*p))) ++p;
  return p;
}

bool onlyBlanks(const char* p) { return *skipBlanks(p) == '\0'; }

void reportLineFault(const char* path, int lineNumber, const char* fault) {
  std::fprintf(stderr, "%s: %s:%d: %s\n", programName, basename(path), lineNumber, fault);
}

// ---------------------------------------------------------------------------
// Server configuration file

constexpr long kMaxTimeout = 86400;

// The value of "port": atoi-style, so text behind the digits is ignored;
// 0 (no digits at all) and anything outside the range of ports is refused.
bool parsePort(const char* value, int& port) {
  const long number = std::strtol(value, nullptr, 10);
  if (number < 1 || number > 65535) return false;
  port = static_cast<int>(number);
  return true;
}

// The value of "timeout": seconds, digits first (no sign), text behind the
// digits ignored like that of "port".
bool parseTimeout(const char* value, int& timeout) {
  if (!std::isdigit(static_cast<unsigned char>(value[0]))) return false;
  long number = 0;
  for (const char* p = value; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    number = number * 10 + (*p - '0');
    if (number > kMaxTimeout) return false;
  }
  timeout = static_cast<int>(number);
  return true;
}

struct ServerFileState {
  ServerInfo* current = nullptr;
  bool sawPassword = false;
};

// A section line: '[', the name up to the first ']', and nothing behind.
bool handleSectionLine(char* line, ServerFileState& state) {
  char* close = std::strchr(line + 1, ']');
  if (close == nullptr || !onlyBlanks(close + 1)) return false;
  *close = '\0';
  const char* name = line + 1;
  ServerInfo* servInfo = FindServer(name);
  if (servInfo == nullptr) servInfo = AddServer(name);
  state.current = servInfo;
  return true;
}

bool applyServerAttribute(ServerInfo* servInfo, const char* key, const char* value,
                          ServerFileState& state) {
  if (value == nullptr) return false;
  if (strcasecmp(key, "port") == 0) return parsePort(value, servInfo->port);
  struct StringKey {
    const char* key;
    std::optional<std::string> ServerInfo::*field;
  };
  static const StringKey stringKeys[] = {
      {"host", &ServerInfo::host},         {"config", &ServerInfo::config},
      {"newsrc", &ServerInfo::newsrc},     {"user", &ServerInfo::user},
      {"username", &ServerInfo::user},     {"pass", &ServerInfo::password},
      {"password", &ServerInfo::password}, {"preconnect", &ServerInfo::preconnect},
      {"postconnect", &ServerInfo::postconnect},
  };
  for (const StringKey& k : stringKeys) {
    if (strcasecmp(key, k.key) != 0) continue;
    servInfo->*k.field = std::string(value);
    if (k.field == &ServerInfo::password) state.sawPassword = true;
    return true;
  }
  if (strcasecmp(key, "timeout") == 0) return parseTimeout(value, servInfo->timeout);
  return false;
}

// An attribute line: the key up to the first blank, the value from the next
// non-blank to the end of the line.
bool handleAttributeLine(char* line, ServerFileState& state) {
  char* p = line;
  while (*p != '\0' && !isBlank(static_cast<unsigned char>(*p))) ++p;
  const char* value = nullptr;
  if (*p != '\0') {
    *p = '\0';
    value = skipBlanks(p + 1);
    if (*value == '\0') value = nullptr;
  }
  return applyServerAttribute(state.current, line, value, state);
}

bool readableByOthers(FILE* stream) {
  struct stat st;
  if (fstat(fileno(stream), &st) != 0) return false;
  return (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

}  // namespace

int ReadServerConfig(const char* path) {
  assert(path != NULL);
  FilePtr file(myfopen(path, "r"));
  if (!file) return 1;
  LineReader reader(file.get());
  ServerFileState state;
  int result = 1;
  while (result == 1 && reader.next()) {
    char* line = cleanLine(reader.line());
    if (line == nullptr) continue;
    if (line[0] == '[') {
      if (!handleSectionLine(line, state)) {
        reportLineFault(path, reader.lineNumber(), "bad server declaration");
        result = 0;
      }
    } else if (state.current == nullptr) {
      reportLineFault(path, reader.lineNumber(),
                      "attribute defined without server declaration");
      result = 0;
    } else if (!handleAttributeLine(line, state)) {
      reportLineFault(path, reader.lineNumber(), "invalid server attribute");
      result = 0;
    }
  }
  if (state.sawPassword && readableByOthers(file.get()))
    std::fprintf(stderr,
                 "%s: warning: server file '%s' holds a password and is readable by others\n",
                 programName, path);
  return result;
}

// ---------------------------------------------------------------------------
// Filter configuration file

namespace {

enum class BlockState { kExpectNewsgroup, kInsideExact, kInsideWild };

class FilterReader {
 public:
  explicit FilterReader(const char* path) : path_(path) {}

  int read(FILE* stream) {
    LineReader reader(stream);
    while (reader.next()) {
      lineNumber_ = reader.lineNumber();
      char* line = cleanLine(reader.line());
      if (line != nullptr) handleLine(line);
    }
    if (state_ == BlockState::kInsideExact) {
      std::fprintf(stderr, "%s: %s: unexpected EOF reached\n", programName, basename(path_));
      return 0;
    }
    return 1;
  }

 private:
  void handleLine(char* line) {
    if (state_ == BlockState::kExpectNewsgroup) {
      handleNewsgroupLine(line);
      return;
    }
    [[maybe_unused]] const NewsgroupInfo* ngInfo = ngInfo_;
    ActionInfo* actInfo = actInfo_;
    assert(ngInfo != NULL);
    assert(actInfo != NULL);
    if (line[0] == '*' && line[1] == ' ') {
      handleConditionLine(line + 2, actInfo);
      return;
    }
    const BlockState ended = state_;
    state_ = BlockState::kExpectNewsgroup;
    ngInfo_ = nullptr;
    actInfo_ = nullptr;
    // A wildcard entry has no action line: the line that ended its block
    // begins the next one.
    if (ended == BlockState::kInsideWild)
      handleNewsgroupLine(line);
    else
      handleActionLine(line, actInfo);
  }

  void handleNewsgroupLine(char* line) {
    char* colon = line;
    while (*colon != '\0' && *colon != ':' && !isBlank(static_cast<unsigned char>(*colon)))
      ++colon;
    if (*colon != ':' || colon == line || !onlyBlanks(colon + 1)) {
      reportLineFault(path_, lineNumber_, "bad newsgroup line");
      return;
    }
    *colon = '\0';
    NewsgroupInfo* ngInfo;
    if (std::strchr(line, '*') != nullptr) {
      ngInfo = AddWildNewsgroup(line);
      if (ngInfo == nullptr) {
        reportLineFault(path_, lineNumber_, "bad wildcard newsgroup");
        return;
      }
      state_ = BlockState::kInsideWild;
    } else {
      ngInfo = FindNewsgroup(line);
      if (ngInfo == nullptr) ngInfo = AddNewsgroup(line);
      state_ = BlockState::kInsideExact;
    }
    ngInfo_ = ngInfo;
    actInfo_ = AddAction(ngInfo);
  }

  void handleConditionLine(char* text, ActionInfo* actInfo) {
    text = skipBlanks(text);
    int negate = 0;
    if (*text == '!') {
      negate = 1;
      text = skipBlanks(text + 1);
    }
    if (*text == '\0') {
      reportLineFault(path_, lineNumber_, "bad condition line");
      return;
    }
    auto condition = std::make_unique<ConditionInfo>();
    const int rc =
        regcomp(&condition->regex, text, REG_EXTENDED | REG_ICASE | REG_NOSUB | REG_NEWLINE);
    if (rc != 0) {
      char message[1024];
      regerror(rc, &condition->regex, message, sizeof message);
      std::fprintf(stderr, "%s: %s:%d: bad regexp -- %s\n", programName, basename(path_),
                   lineNumber_, message);
      return;
    }
    condition->negate = negate;
    AddTail(actInfo->conditions, condition.release());
  }

  void handleActionLine(const char* line, ActionInfo* actInfo) {
    if (line[0] == '|') {
      const char* command = skipBlanks(line + 1);
      if (*command == '\0') {
        reportLineFault(path_, lineNumber_, "bad pipe action");
        return;
      }
      actInfo->type = ACTION_TYPE_PIPE;
      actInfo->target.assign(command, strnlen(command, kMaxTargetLength));
      return;
    }
    actInfo->type = ACTION_TYPE_FILE;
    actInfo->target.assign(line, strnlen(line, kMaxTargetLength));
  }

  const char* path_;
  int lineNumber_ = 0;
  BlockState state_ = BlockState::kExpectNewsgroup;
  NewsgroupInfo* ngInfo_ = nullptr;
  ActionInfo* actInfo_ = nullptr;
};

}  // namespace

int ReadConfig(const char* path) {
  assert(path != NULL);
  FilePtr file(myfopen(path, "r"));
  if (!file) {
    std::fprintf(stderr, "%s: unable to open file '%s'\n", programName, path);
    return 0;
  }
  FilterReader reader(path);
  return reader.read(file.get());
}

// ---------------------------------------------------------------------------
// Newsrc file

namespace {

// A number as scanf's "%d" takes it: blanks, an optional sign, at least one
// digit.  Values beyond the range of int are held at its ends rather than
// wrapped.
bool scanNumber(const char*& p, long long& number) {
  const char* q = skipBlanks(p);
  bool negative = false;
  if (*q == '+' || *q == '-') {
    negative = *q == '-';
    ++q;
  }
  if (!std::isdigit(static_cast<unsigned char>(*q))) return false;
  long long value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*q)); ++q)
    if (value <= INT_MAX) value = value * 10 + (*q - '0');
  value = negative ? -value : value;
  if (value > INT_MAX) value = INT_MAX;
  if (value < INT_MIN) value = INT_MIN;
  number = value;
  p = q;
  return true;
}

// "%[^:]:%d -%d": the name up to the first ':', the first number (ignored),
// optional blanks, '-', the last number; anything behind it is ignored.
bool parseNewsrcLine(const char* text, std::string& name, long long& last) {
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr || colon == text) return false;
  const char* p = colon + 1;
  long long first;
  if (!scanNumber(p, first)) return false;
  p = skipBlanks(p);
  if (*p != '-') return false;
  ++p;
  if (!scanNumber(p, last)) return false;
  const char* nameEnd = text;
  while (nameEnd < colon && !isBlank(static_cast<unsigned char>(*nameEnd))) ++nameEnd;
  name.assign(text, nameEnd);
  return true;
}

}  // namespace

int ReadNewsrc(const char* path) {
  assert(path != NULL);
  FilePtr file(myfopen(path, "r"));
  if (!file) return 0;
  char buffer[1024];
  std::string name;
  while (std::fgets(buffer, sizeof buffer, file.get()) != nullptr) {
    char* text = skipBlanks(buffer);
    if (*text == '\0' || *text == '#') continue;
    const std::size_t length = std::strlen(text);
    if (text[length - 1] == '\n') text[length - 1] = '\0';
    long long last;
    if (!parseNewsrcLine(text, name, last)) continue;
    NewsgroupInfo* ngInfo = FindNewsgroup(name.c_str());
    if (ngInfo == nullptr) ngInfo = AddNewsgroup(name.c_str());
    // The last article INT_MAX has no successor that an int can hold.
    ngInfo->nextArticle = static_cast<int>(last < INT_MAX ? last + 1 : INT_MAX);
  }
  return 1;
}

namespace {

// Links are followed so that a newsrc kept elsewhere through a symbolic
// link is replaced where it lives, not turned into a plain file.  A link
// to a file that does not exist yet leads to where the file will be made.
bool followLinks(std::string& path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISLNK(st.st_mode)) return true;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1,
                       '\0');
    const ssize_t n = readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return false;
    if (static_cast<std::size_t>(n) >= target.size()) {
      errno = ENAMETOOLONG;
      return false;
    }
    target.resize(static_cast<std::size_t>(n));
    if (target.empty() || target[0] != '/') {
      const std::size_t slash = path.rfind('/');
      target = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + target;
    }
    path = target;
  }
  errno = ELOOP;
  return false;
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The replacement takes over the old file's owner and permission bits; a
// new file gets the mode that a plain create would give.
bool takeOverAttributes(int fd, const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    // Only a privileged run can give the file away, and only then does the
    // owner differ; a failure leaves the replacement as the runner's own.
    if ((st.st_uid != geteuid() || st.st_gid != getegid()) &&
        fchown(fd, st.st_uid, st.st_gid) != 0) {
    }
    return fchmod(fd, st.st_mode & 07777) == 0;
  }
  const mode_t mask = umask(0);
  umask(mask);
  return fchmod(fd, 0666 & ~mask) == 0;
}

// The new contents, written beside the file they will replace.  Unless it
// is committed, the temporary file is removed when this goes.
class ReplacementFile {
 public:
  explicit ReplacementFile(const std::string& target) : target_(target) {}
  ~ReplacementFile() {
    if (stream_ != nullptr) std::fclose(stream_);
    else if (fd_ >= 0) close(fd_);
    if (!tempPath_.empty()) unlink(tempPath_.c_str());
  }
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  bool create() {
    std::string templ = directoryOf(target_);
    if (templ.back() != '/') templ += '/';
    templ += ".pelliton-newsrc.XXXXXX";
    fd_ = mkstemp(templ.data());
    if (fd_ < 0) return false;
    tempPath_ = templ;
    if (!takeOverAttributes(fd_, target_)) return false;
    stream_ = fdopen(fd_, "w");
    return stream_ != nullptr;
  }
  FILE* stream() { return stream_; }

  bool commit() {
    if (std::fflush(stream_) != 0 || std::ferror(stream_) != 0) return false;
    if (fsync(fd_) != 0) return false;
    FILE* stream = stream_;
    stream_ = nullptr;
    fd_ = -1;
    if (std::fclose(stream) != 0) return false;
    if (rename(tempPath_.c_str(), target_.c_str()) != 0) return false;
    tempPath_.clear();
    syncDirectory();
    return true;
  }

 private:
  // Makes the rename itself durable; the data is already safe, so a
  // failure here is not worth failing the run for.
  void syncDirectory() {
    const int dirFd = open(directoryOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return;
    fsync(dirFd);
    close(dirFd);
  }

  std::string target_;
  std::string tempPath_;
  int fd_ = -1;
  FILE* stream_ = nullptr;
};

bool writeNewsrcLines(FILE* stream) {
  for (const NewsgroupInfo* ngInfo : Nodes<NewsgroupInfo>(newsgroupList)) {
    // Never claim an article that was not dealt with: a newsgroup that
    // starts at article 1 has dealt with none.
    const int last = ngInfo->nextArticle > 1 ? ngInfo->nextArticle - 1 : 0;
    if (std::fprintf(stream, "%s: 1-%d\n", ngInfo->name.c_str(), last) < 0) return false;
  }
  return true;
}

int reportNewsrcFailure(const char* path, const char* reason) {
  std::fprintf(stderr, "%s: unable to write newsrc file '%s' -- %s\n", programName, path,
               reason);
  return 0;
}

}  // namespace

int WriteNewsrc(const char* path) {
  assert(path != NULL);
  std::optional<std::string> resolved = ResolvePath(path);
  if (!resolved) return reportNewsrcFailure(path, "file name too long");
  std::string target = *resolved;
  if (!followLinks(target)) return reportNewsrcFailure(path, std::strerror(errno));
  ReplacementFile replacement(target);
  if (!replacement.create() || !writeNewsrcLines(replacement.stream()) ||
      !replacement.commit()) {
    const int error = errno;
    return reportNewsrcFailure(path, std::strerror(error));
  }
  return 1;
}

}  // namespace pelliton
