// The configuration model: servers, newsgroups, actions and conditions, and
// the readers and writer of the three files that fill it.
//
// The model is built once at start, only ever appended to, and lives until
// the program exits; nothing of it is released.
#ifndef PELLITON_CONFIG_H
#define PELLITON_CONFIG_H

#include <regex.h>

#include <optional>
#include <string>

namespace pelliton {

// Intrusive doubly linked lists.  Every node begins with its links; the
// header carries a start and an end sentinel, so no real node ever has a
// null link.  Nodes enter only at the tail and lists are walked from the
// head, so a list is read in the order in which its nodes were appended.
struct ListNode {
  ListNode* succ = nullptr;
  ListNode* pred = nullptr;
};

struct ListHeader {
  ListNode start;  // start.succ is the head: the first node, or &end
  ListNode end;    // end.succ is always null; end.pred is the last node

  ListHeader() { NewList(); }
  ListHeader(const ListHeader&) = delete;
  ListHeader& operator=(const ListHeader&) = delete;

  void NewList() {
    start.succ = &end;
    start.pred = nullptr;
    end.succ = nullptr;
    end.pred = &start;
  }
  bool IsEmpty() const { return start.succ->succ == nullptr; }
  ListNode* head() const { return start.succ; }
  ListNode* tailPred() const { return end.pred; }
};

void AddTail(ListHeader& list, ListNode* node);
void Remove(ListNode* node);
// Unlinks and returns the first node, or null when the list is empty.
ListNode* RemHead(ListHeader& list);

// Walks a list whose nodes are all of type T:
//   for (NewsgroupInfo* ngInfo : Nodes<NewsgroupInfo>(newsgroupList)) ...
// The next node is read before the current one is handed out, so the body
// may unlink (but not free) the node it is given.
template <typename T>
class Nodes {
 public:
  explicit Nodes(const ListHeader& list) : list_(list) {}
  class iterator {
   public:
    explicit iterator(ListNode* node) : node_(node) {}
    T* operator*() const { return static_cast<T*>(node_); }
    iterator& operator++() {
      node_ = node_->succ;
      return *this;
    }
    bool operator!=(const iterator& other) const { return node_ != other.node_; }

   private:
    ListNode* node_;
  };
  iterator begin() const { return iterator(list_.head()); }
  iterator end() const { return iterator(const_cast<ListNode*>(&list_.end)); }

 private:
  const ListHeader& list_;
};

// Longest name that a server or newsgroup record keeps; longer names are cut.
constexpr std::size_t kMaxNameLength = 255;
// Longest action target (mailbox path or command line).
constexpr std::size_t kMaxTargetLength = 1023;

constexpr int WILD_TYPE_NONE = 0;
constexpr int WILD_TYPE_ALL = 1;
constexpr int WILD_TYPE_PREFIX = 2;
constexpr int WILD_TYPE_SUFFIX = 3;
constexpr int WILD_TYPE_SUBSTRING = 4;

constexpr int ACTION_TYPE_UNSET = -1;
constexpr int ACTION_TYPE_FILE = 0;
constexpr int ACTION_TYPE_PIPE = 1;

// Seconds of silence from the server that end an exchange, unless the
// server file sets another value; 0 waits for ever.
constexpr int kDefaultTimeout = 300;

struct ServerInfo : ListNode {
  std::string name;  // as written in its first section, at most 255 chars
  int port = 0;
  int timeout = kDefaultTimeout;
  // Unset means: use the name as host, the default file names, no
  // authentication, no command.
  std::optional<std::string> host;
  std::optional<std::string> config;
  std::optional<std::string> newsrc;
  std::optional<std::string> password;
  std::optional<std::string> user;
  std::optional<std::string> preconnect;
  std::optional<std::string> postconnect;
};

struct NewsgroupInfo : ListNode {
  std::string name;  // exact name, or a wildcard pattern without its stars
  int nextArticle = 0;
  ListHeader actions;  // of ActionInfo
  int wildType = WILD_TYPE_NONE;
};

struct ActionInfo : ListNode {
  ListHeader conditions;  // of ConditionInfo
  int type = ACTION_TYPE_UNSET;
  std::string target;  // at most kMaxTargetLength characters
  unsigned long sizeLimit = 0;  // bytes; 0 is no limit
  int matched = 0;              // scratch of the header matcher
};

struct ConditionInfo : ListNode {
  regex_t regex;
  int negate = 0;
};

extern ListHeader serverList;         // of ServerInfo
extern ListHeader newsgroupList;      // of NewsgroupInfo, exact names
extern ListHeader wildNewsgroupList;  // of NewsgroupInfo, wildcard entries

// Empties the three lists (without releasing anything).
void InitConfigLists();

ServerInfo* AddServer(const char* name);
// Letter case is ignored; null when no server has the name.
ServerInfo* FindServer(const char* name);
NewsgroupInfo* AddNewsgroup(const char* name);
// Byte for byte; null when there is none.  Wildcard entries are not searched.
NewsgroupInfo* FindNewsgroup(const char* name);
// The class of a pattern holding at least one '*', or -1 when it is refused.
int getWildNewsgroupType(const char* newsgroup);
// Null when the pattern is refused; otherwise a new entry, never merged.
NewsgroupInfo* AddWildNewsgroup(const char* newsgroup);
// Appends a fresh action to ngInfo, with sizeLimit taken from fileSizeLimit.
ActionInfo* AddAction(NewsgroupInfo* ngInfo);

// The part of name behind its last '/'; name itself when it holds none.
const char* basename(const char* name);
// Strips a configuration line in place.  Returns the text to parse, which
// begins and ends with a non-blank, or null when the line is blank or a
// comment.
char* cleanLine(char* line);
// A blank: an ASCII white-space character.  Bytes from 128 up never are.
bool isBlank(int c);

// The server file is optional: 1 when it was read or cannot be opened, 0
// after reporting the first fault in its text.
int ReadServerConfig(const char* path);
// 1 when read; 0 when it cannot be opened or ends inside a newsgroup block
// that waits for its action, after a message.  Faults in single lines are
// reported and passed over.
int ReadConfig(const char* path);
// 0, silently, when the file cannot be opened; 1 otherwise.
int ReadNewsrc(const char* path);
// Replaces the newsrc file atomically.  Returns 0 after printing why the
// file could not be written; the old file is then left untouched.
int WriteNewsrc(const char* path);

}  // namespace pelliton

#endif  // PELLITON_CONFIG_H
