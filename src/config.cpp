#include "config.h"

#include <strings.h>

#include <cassert>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

namespace pelliton {

unsigned long fileSizeLimit = 0;
int defaultPort = 119;

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

// Every newsrc line and every newsgroup line of the filter file looks its
// name up, and a newsrc carried over from a newsreader has hundreds of
// thousands of lines: a walk of the list would make reading it quadratic.
// The list keeps the order; this finds by name.  The keys view the records'
// own names, which never change and live until the program exits.  Only
// the first record of a name is indexed, as a walk from the head would
// find it first.
std::unordered_map<std::string_view, NewsgroupInfo*> newsgroupIndex;

}  // namespace

void InitConfigLists() {
  serverList.NewList();
  newsgroupList.NewList();
  wildNewsgroupList.NewList();
  newsgroupIndex.clear();
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
  newsgroupIndex.emplace(ngInfo->name, ngInfo);
  return ngInfo;
}

NewsgroupInfo* FindNewsgroup(const char* name) {
  assert(name != NULL);
  // A stored name is at most kMaxNameLength long, so a longer argument
  // never equals one: such a name is never found again.
  const std::size_t length = strnlen(name, kMaxNameLength + 1);
  if (length > kMaxNameLength) return nullptr;
  const auto it = newsgroupIndex.find(std::string_view(name, length));
  return it == newsgroupIndex.end() ? nullptr : it->second;
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
