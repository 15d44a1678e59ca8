#include "filterfile.h"

#include <regex.h>
#include <sys/stat.h>

#include <cassert>
#include <cstring>
#include <memory>

#include "config.h"
#include "configtext.h"
#include "util.h"

namespace pelliton {
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
      Diag("%s: unexpected EOF reached\n", basename(path_));
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
      ReportLineFault(path_, lineNumber_, "bad newsgroup line");
      return;
    }
    *colon = '\0';
    NewsgroupInfo* ngInfo;
    if (std::strchr(line, '*') != nullptr) {
      ngInfo = AddWildNewsgroup(line);
      if (ngInfo == nullptr) {
        ReportLineFault(path_, lineNumber_, "bad wildcard newsgroup");
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
      ReportLineFault(path_, lineNumber_, "bad condition line");
      return;
    }
    auto condition = std::make_unique<ConditionInfo>();
    const int rc =
        regcomp(&condition->regex, text, REG_EXTENDED | REG_ICASE | REG_NOSUB | REG_NEWLINE);
    if (rc != 0) {
      char message[1024];
      regerror(rc, &condition->regex, message, sizeof message);
      ReportLineFault(path_, lineNumber_, "bad regexp -- %s", message);
      return;
    }
    condition->negate = negate;
    condition->pattern = text;
    AddTail(actInfo->conditions, condition.release());
  }

  void handleActionLine(const char* line, ActionInfo* actInfo) {
    if (line[0] == '|') {
      const char* command = skipBlanks(line + 1);
      if (*command == '\0') {
        ReportLineFault(path_, lineNumber_, "bad pipe action");
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

int ReadConfig(FILE* stream, const char* name) {
  assert(stream != NULL);
  assert(name != NULL);
  FilterReader reader(name);
  return reader.read(stream);
}

int ReadConfig(const char* path) {
  assert(path != NULL);
  UniqueFile file(myfopen(path, "r"));
  // A directory opens for reading but yields no line; taken as an empty
  // filter file, it would have every run fetch nothing and report success.
  struct stat st;
  if (file && fstat(fileno(file.get()), &st) == 0 && S_ISDIR(st.st_mode)) file.reset();
  if (!file) {
    Diag("unable to open file '%s'\n", path);
    return 0;
  }
  return ReadConfig(file.get(), path);
}

}  // namespace pelliton
