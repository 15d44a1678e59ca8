// The configuration model: servers, newsgroups, actions and conditions, the
// lists that hold them, and the two run-wide values that flow into new
// records.  The readers of the three files that fill it are serverfile,
// filterfile and newsrc.
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
// Bytes that the header or the body of one article may take, unless the
// server file sets another value.
constexpr unsigned long kDefaultArticleLimit = 64UL << 20;
// The most the article limit can be: a text is collected in one buffer
// and handed to delivery with an int length.  A limit of 0, or one above
// this, stands for it.
constexpr unsigned long kMaxArticleLimit = 1UL << 30;

// Article numbers: big providers' newsgroups are far past 2^31, and NNTP
// allows numbers up to 2^63 - 1.
using ArticleNumber = long long;
static_assert(sizeof(ArticleNumber) == 8, "article numbers need 64 bits");

// How the connection to a server is secured (the server file's "tls").
constexpr int TLS_MODE_NONE = 0;      // plain text
constexpr int TLS_MODE_IMPLICIT = 1;  // TLS from the first byte
constexpr int TLS_MODE_STARTTLS = 2;  // STARTTLS after the greeting

struct ServerInfo : ListNode {
  std::string name;  // as written in its first section, at most 255 chars
  int port = 0;
  // Whether the server file set the port: without it, TLS from the first
  // byte goes to the port of "nntps" rather than to `port`.
  bool portGiven = false;
  int tlsMode = TLS_MODE_NONE;
  int timeout = kDefaultTimeout;
  unsigned long articleLimit = kDefaultArticleLimit;
  // Unset means: use the name as host, the default file names, no
  // authentication, no command.
  std::optional<std::string> host;
  std::optional<std::string> config;
  std::optional<std::string> newsrc;
  std::optional<std::string> password;
  // A shell command whose first line of output is the password, run only
  // when the password is needed; never set together with password.
  std::optional<std::string> passwordCommand;
  std::optional<std::string> user;
  std::optional<std::string> preconnect;
  std::optional<std::string> postconnect;
  // PEM file of the certificates trusted for this server; unset means the
  // system's trust store.  Resolved like the other file names.
  std::optional<std::string> caFile;
  // "overview yes": newsgroups whose conditions name only headers that the
  // server's overview carries are filtered from OVER and fetched with
  // ARTICLE.
  bool overview = false;
  // "compress yes": after TLS and AUTHINFO, COMPRESS DEFLATE where the
  // server offers it.
  bool compress = false;
};

struct NewsgroupInfo : ListNode {
  std::string name;  // exact name, or a wildcard pattern without its stars
  ArticleNumber nextArticle = 0;
  ListHeader actions;  // of ActionInfo
  int wildType = WILD_TYPE_NONE;
};

struct ActionInfo : ListNode {
  ListHeader conditions;  // of ConditionInfo
  int type = ACTION_TYPE_UNSET;
  std::string target;  // at most kMaxTargetLength characters
  unsigned long sizeLimit = 0;  // bytes; 0 is no limit
};

struct ConditionInfo : ListNode {
  regex_t regex;
  int negate = 0;
  std::string pattern;  // the expression as written, without its "!"
};

// Inputs of new records, set by the run frame before anything is read.
extern unsigned long fileSizeLimit;  // -m, bytes, copied into each ActionInfo; 0 is no limit
extern int defaultPort;              // port of the "nntp" service, or 119, for each ServerInfo

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
// 1 when the newsgroup name matches the wildcard entry, else 0.  Plain
// byte comparisons that know nothing of the dots of newsgroup names.
int MatchWildNewsgroup(const char* newsgroup, const NewsgroupInfo* ngInfo);

}  // namespace pelliton

#endif  // PELLITON_CONFIG_H
