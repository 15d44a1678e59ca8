#include "serverfile.h"

#include <strings.h>
#include <sys/stat.h>

#include <cassert>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "config.h"
#include "configtext.h"
#include "util.h"

namespace pelliton {
namespace {

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

// The value of "tls": no, yes (TLS from the first byte) or starttls, in
// any letter case.
bool parseTlsMode(const char* value, int& mode) {
  static const struct {
    const char* word;
    int mode;
  } modes[] = {
      {"no", TLS_MODE_NONE}, {"yes", TLS_MODE_IMPLICIT}, {"starttls", TLS_MODE_STARTTLS}};
  for (const auto& m : modes) {
    if (strcasecmp(value, m.word) != 0) continue;
    mode = m.mode;
    return true;
  }
  return false;
}

// The value of "overview" or "compress": yes or no, in any letter case.
bool parseYesNo(const char* value, bool& on) {
  if (strcasecmp(value, "yes") == 0 || strcasecmp(value, "no") == 0) {
    on = strcasecmp(value, "yes") == 0;
    return true;
  }
  return false;
}

// The value of "articlelimit": the size syntax of -m, and a value that
// stands as written (no sign, no overflow).  0, which once meant no limit,
// and anything above what one buffer can hold are the most there can be.
bool parseArticleLimit(const char* value, unsigned long& limit) {
  unsigned long size = 0;
  bool exact = false;
  if (!ParseSize(value, size, &exact) || !exact) return false;
  limit = size == 0 || size > kMaxArticleLimit ? kMaxArticleLimit : size;
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

// A key of the table and its value; false when the key is none of them or
// the value does not fit it.
bool applyValueAttribute(ServerInfo* servInfo, const char* key, const char* value,
                         ServerFileState& state) {
  if (strcasecmp(key, "port") == 0) {
    if (!parsePort(value, servInfo->port)) return false;
    servInfo->portGiven = true;
    return true;
  }
  if (strcasecmp(key, "tls") == 0) return parseTlsMode(value, servInfo->tlsMode);
  if (strcasecmp(key, "overview") == 0) return parseYesNo(value, servInfo->overview);
  if (strcasecmp(key, "compress") == 0) return parseYesNo(value, servInfo->compress);
  struct StringKey {
    const char* key;
    std::optional<std::string> ServerInfo::*field;
  };
  static const StringKey stringKeys[] = {
      {"host", &ServerInfo::host},         {"config", &ServerInfo::config},
      {"newsrc", &ServerInfo::newsrc},     {"user", &ServerInfo::user},
      {"username", &ServerInfo::user},     {"pass", &ServerInfo::password},
      {"password", &ServerInfo::password}, {"preconnect", &ServerInfo::preconnect},
      {"postconnect", &ServerInfo::postconnect}, {"cafile", &ServerInfo::caFile},
      {"passcmd", &ServerInfo::passwordCommand},
  };
  for (const StringKey& k : stringKeys) {
    if (strcasecmp(key, k.key) != 0) continue;
    servInfo->*k.field = std::string(value);
    if (k.field == &ServerInfo::password) state.sawPassword = true;
    return true;
  }
  if (strcasecmp(key, "timeout") == 0) return parseTimeout(value, servInfo->timeout);
  if (strcasecmp(key, "articlelimit") == 0) return parseArticleLimit(value, servInfo->articleLimit);
  return false;
}

constexpr const char* kInvalidAttribute = "invalid server attribute";

// The fault of an attribute line, or null when it took effect.
const char* applyServerAttribute(ServerInfo* servInfo, const char* key, const char* value,
                                 ServerFileState& state) {
  if (value == nullptr) return kInvalidAttribute;
  // One password or one way to get it: which of two should win is no
  // guess to make silently.
  const bool isPassword = strcasecmp(key, "pass") == 0 || strcasecmp(key, "password") == 0;
  const bool isPasswordCommand = strcasecmp(key, "passcmd") == 0;
  if ((isPassword && servInfo->passwordCommand) || (isPasswordCommand && servInfo->password))
    return "pass and passcmd cannot both be given";
  const bool applied = applyValueAttribute(servInfo, key, value, state);
  return applied ? nullptr : kInvalidAttribute;
}

// An attribute line: the key up to the first blank, the value from the next
// non-blank to the end of the line.  The fault, or null.
const char* handleAttributeLine(char* line, ServerFileState& state) {
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

// Returns what ReadServerConfig returns; state tells what was seen.
int readServerText(FILE* stream, const char* name, ServerFileState& state) {
  LineReader reader(stream);
  while (reader.next()) {
    char* line = cleanLine(reader.line());
    if (line == nullptr) continue;
    const char* fault = nullptr;
    if (line[0] == '[') {
      if (!handleSectionLine(line, state)) fault = "bad server declaration";
    } else if (state.current == nullptr) {
      fault = "attribute defined without server declaration";
    } else {
      fault = handleAttributeLine(line, state);
    }
    if (fault != nullptr) {
      ReportLineFault(name, reader.lineNumber(), "%s", fault);
      return 0;
    }
  }
  return 1;
}

}  // namespace

int ReadServerConfig(FILE* stream, const char* name) {
  assert(stream != NULL);
  assert(name != NULL);
  ServerFileState state;
  return readServerText(stream, name, state);
}

int ReadServerConfig(const char* path) {
  assert(path != NULL);
  UniqueFile file(myfopen(path, "r"));
  if (!file) return 1;
  ServerFileState state;
  const int result = readServerText(file.get(), path, state);
  if (state.sawPassword && readableByOthers(file.get()))
    Diag("warning: server file '%s' holds a password and is readable by others\n", path);
  return result;
}

}  // namespace pelliton
