#include "pelliton.h"

#include <pwd.h>
#include <unistd.h>

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <new>

namespace pelliton {

int verbose = 0;
volatile sig_atomic_t keepRunning = 0;
unsigned long fileSizeLimit = 0;
int defaultPort = 119;

void* mymalloc(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) {
    std::fprintf(stderr, "%s: malloc() failed\n", programName);
    std::exit(1);
  }
  return p;
}

char* mystrdup(const char* str) {
  assert(str != NULL);
  char* copy = strdup(str);
  if (copy == nullptr) {
    std::fprintf(stderr, "%s: strdup() failed\n", programName);
    std::exit(1);
  }
  return copy;
}

namespace {

void outOfMemory() {
  std::fprintf(stderr, "%s: malloc() failed\n", programName);
  std::exit(1);
}

std::string passwordDatabaseHome() {
  const passwd* pw = getpwuid(getuid());
  if (pw == nullptr || pw->pw_dir == nullptr || pw->pw_dir[0] == '\0') return "/";
  return pw->pw_dir;
}

HomeLookup homeLookup = passwordDatabaseHome;

bool startsWith(const char* s, const char* prefix) {
  return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

void InstallOutOfMemoryHandler() { std::set_new_handler(outOfMemory); }

void SetHomeLookup(HomeLookup lookup) {
  homeLookup = lookup != nullptr ? lookup : passwordDatabaseHome;
}

std::string HomeDirectory() { return homeLookup(); }

std::optional<std::string> ResolvePath(const char* path) {
  assert(path != NULL);
  if (startsWith(path, "/") || startsWith(path, "./") || startsWith(path, "../"))
    return std::string(path);
  std::string joined = HomeDirectory();
  if (joined.empty() || joined.back() != '/') joined += '/';
  joined += path;
  // The joined name was always built in a 1024-byte buffer; a name that
  // does not fit is refused rather than opened shortened.
  if (joined.size() > 1023) return std::nullopt;
  return joined;
}

FILE* myfopen(const char* path, const char* mode) {
  assert(path != NULL);
  assert(mode != NULL);
  std::optional<std::string> name = ResolvePath(path);
  if (!name) return nullptr;
  return std::fopen(name->c_str(), mode);
}

int MatchWildNewsgroup(const char* newsgroup, const NewsgroupInfo* ngInfo) {
  assert(newsgroup != NULL);
  assert(ngInfo != NULL);
  assert(ngInfo->wildType != WILD_TYPE_NONE);
  if (ngInfo->wildType == WILD_TYPE_ALL) return 1;
  const std::string_view name(newsgroup);
  const std::string_view text(ngInfo->name);
  if (name.size() < text.size()) return 0;
  switch (ngInfo->wildType) {
    case WILD_TYPE_SUBSTRING:
      return name.find(text) != std::string_view::npos ? 1 : 0;
    case WILD_TYPE_SUFFIX:
      return name.substr(name.size() - text.size()) == text ? 1 : 0;
    case WILD_TYPE_PREFIX:
      return name.substr(0, text.size()) == text ? 1 : 0;
    default:
      assert(0);
      return 0;
  }
}

}  // namespace pelliton

namespace pelliton {

int RunPelliton(int argc, char** argv) {
  (void)argc;
  (void)argv;
  std::fprintf(stderr, "%s: not built yet\n", programName);
  return 1;
}

}  // namespace pelliton
