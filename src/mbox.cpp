#include "mbox.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <map>
#include <utility>

#include "util.h"

namespace pelliton {
namespace {

constexpr std::string_view kBlankLine = "\n\n";
constexpr std::string_view kQuote = ">";
constexpr std::string_view kFromLine = "From ";

std::string separatorLine() {
  time_t now = time(nullptr);
  // ctime's text carries its own line end.
  const char* date = std::ctime(&now);
  return std::string("From ") + kSenderAddress + " " +
         (date != nullptr ? date : "Thu Jan  1 00:00:00 1970\n");
}

// A mailbox file appended to since the last sync.  The descriptor is kept,
// so that the very file written is synced whatever happens to its name; a
// mail reader that replaced the file meanwhile makes it two files to sync.
struct Appended {
  std::string path;  // its real path
  std::string target;
  UniqueFd fd;
  bool created = false;  // its name in the directory is new too
};
std::map<std::pair<dev_t, ino_t>, Appended> appended;
// A mailbox that had to be synced at once failed.
bool syncFailedEarly = false;

// A directory that we may write in but not read cannot be opened to be
// synced at all.  Its new entry is then left to the file system's own
// ordering, as the newsrc's is: refusing every save for it would instead
// deliver the whole run again on every run.
bool syncDirectoryOf(const std::string& path) {
  return SyncDirectory(DirectoryOf(path)) || errno == EACCES;
}

void reportUnsynced(const std::string& target) {
  Diag("unable to sync mailbox '%s' -- %s\n", target.c_str(), std::strerror(errno));
}

// Syncs and lets go of every mailbox kept; false, after a message for each,
// when one of them could not be synced.
bool syncKept() {
  bool synced = true;
  for (const auto& [file, entry] : appended) {
    if (!SyncDescriptor(entry.fd.get()) || (entry.created && !syncDirectoryOf(entry.path))) {
      reportUnsynced(entry.target);
      synced = false;
    }
  }
  appended.clear();
  return synced;
}

// How many mailboxes are kept open for the next sync.  A run that appends
// to more of them between two saves of the newsrc (one mailbox for each of
// many newsgroups) syncs them early instead: kept without bound, their
// descriptors would leave none for the next mailbox, lock or connection.
std::size_t maxKept() {
  rlim_t cap = 256;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    cap = std::min<rlim_t>(cap, limit.rlim_cur / 4);
  return std::max<std::size_t>(1, static_cast<std::size_t>(cap));
}

void remember(const std::string& mailbox, const char* target, int fd, const struct stat& st,
              bool created) {
  auto found = appended.find({st.st_dev, st.st_ino});
  if (found != appended.end()) {
    found->second.created = found->second.created || created;
    return;
  }
  if (appended.size() >= maxKept() && !syncKept()) syncFailedEarly = true;
  UniqueFd copy(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!copy) {
    // With no descriptor to spare, this message is made durable at once.
    if (!SyncDescriptor(fd) || (created && !syncDirectoryOf(mailbox))) {
      reportUnsynced(target);
      syncFailedEarly = true;
    }
    return;
  }
  appended.emplace(std::make_pair(st.st_dev, st.st_ino),
                   Appended{mailbox, target, std::move(copy), created});
}

void reportNotARegularFile(const char* target) {
  Diag("unable to open file '%s' for appending -- not a regular file\n", target);
}

// -1 when the mailbox is over the limit, 0 when it cannot be examined or
// is no regular file, 1 when a message may be appended; *missing when it
// does not exist yet.
int checkMailbox(const std::string& mailbox, const char* target, unsigned long sizeLimit,
                 bool* missing) {
  struct stat st;
  if (stat(mailbox.c_str(), &st) != 0) {
    if (errno == ENOENT) {
      *missing = true;
      return 1;
    }
    Diag("unable to open file '%s'\n", target);
    return 0;
  }
  if (!S_ISREG(st.st_mode)) {
    reportNotARegularFile(target);
    return 0;
  }
  if (sizeLimit != 0 && static_cast<unsigned long>(st.st_size) > sizeLimit) {
    Diag("file size limit reached on '%s'\n", target);
    return -1;
  }
  return 1;
}

// Opened without ever waiting: a FIFO or a device put in the mailbox's
// place after it was examined must not block the run.  Read access, where
// there is any, lets the end of the mailbox be looked at.
UniqueFd openForAppend(const std::string& mailbox) {
  constexpr int kFlags = O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC;
  UniqueFd fd(open(mailbox.c_str(), O_RDWR | kFlags, 0666));
  if (!fd && errno == EACCES) fd.reset(open(mailbox.c_str(), O_WRONLY | kFlags, 0666));
  return fd;
}

// What must come before the separator line so that it starts a message of
// its own: a mailbox whose last message was torn, or that was edited by
// hand, may not end in an empty line.  Nothing when the end cannot be read.
std::string_view leadFor(int fd, off_t size) {
  if (size == 0) return "";
  char tail[2];
  const off_t from = size >= 2 ? size - 2 : 0;
  const ssize_t wanted = static_cast<ssize_t>(size - from);
  if (pread(fd, tail, static_cast<std::size_t>(wanted), from) != wanted) return "";
  if (tail[wanted - 1] != '\n') return "\n\n";
  if (wanted == 1 || tail[0] == '\n') return "";
  return "\n";
}

// Best effort: a mailbox that cannot even be cut back is reported no
// better than by the write failure that led here.
void cutBack(int fd, off_t size) {
  while (ftruncate(fd, size) != 0 && errno == EINTR) {
  }
}

void cutBack(const std::string& path, off_t size) {
  while (truncate(path.c_str(), size) != 0 && errno == EINTR) {
  }
}

}  // namespace

MboxMessage::MboxMessage(std::string_view header, std::string_view body, std::string_view lead)
    : separator_(separatorLine()) {
  Add(lead);
  Add(separator_);
  AddQuoted(header);
  Add(kBlankLine);
  AddQuoted(body);
  Add(kBlankLine);
}

ssize_t MboxMessage::WriteOnce(int fd) {
  int count = static_cast<int>(std::min<std::size_t>(pieces_.size() - first_, IOV_MAX));
  ssize_t written = writev(fd, &pieces_[first_], count);
  if (written > 0) Consume(static_cast<std::size_t>(written));
  return written;
}

bool MboxMessage::WriteAll(int fd) {
  while (!Done()) {
    ssize_t written = WriteOnce(fd);
    if (written < 0 && errno == EINTR) continue;
    // Nothing accepted while bytes remain would only repeat for ever.
    if (written <= 0) return false;
  }
  return true;
}

void MboxMessage::Add(std::string_view text) {
  if (text.empty()) return;
  pieces_.push_back(iovec{const_cast<char*>(text.data()), text.size()});
}

void MboxMessage::AddQuoted(std::string_view text) {
  std::size_t start = 0;
  for (std::size_t pos = text.find(kFromLine); pos != std::string_view::npos;
       pos = text.find(kFromLine, pos + 1)) {
    if (pos != 0 && text[pos - 1] != '\n') continue;
    Add(text.substr(start, pos - start));
    Add(kQuote);
    start = pos;
  }
  Add(text.substr(start));
}

void MboxMessage::Consume(std::size_t written) {
  while (written > 0 && first_ < pieces_.size()) {
    iovec& piece = pieces_[first_];
    std::size_t used = std::min(written, piece.iov_len);
    piece.iov_base = static_cast<char*>(piece.iov_base) + used;
    piece.iov_len -= used;
    written -= used;
    if (piece.iov_len == 0) ++first_;
  }
}

int CheckMailboxType(const std::string& mailbox, const char* target) {
  struct stat st;
  if (stat(mailbox.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return 1;
  reportNotARegularFile(target);
  return 0;
}

// A message that could not be written whole is cut away again, with
// whatever was put before its separator line, so the mailbox stays as it
// was and the article can be delivered again later.
int AppendToMailbox(const std::string& mailbox, const char* target, std::string_view header,
                    std::string_view body, unsigned long sizeLimit) {
  bool missing = false;
  const int checked = checkMailbox(mailbox, target, sizeLimit, &missing);
  if (checked != 1) return checked;
  UniqueFd fd = openForAppend(mailbox);
  if (!fd) {
    Diag("unable to open file '%s' for appending\n", target);
    return 0;
  }
  struct stat st;
  int flags = -1;
  if (fstat(fd.get(), &st) != 0 || (flags = fcntl(fd.get(), F_GETFL)) < 0 ||
      fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    // Without the old size a failed write could not be undone.
    Diag("unable to open file '%s' for appending\n", target);
    return 0;
  }
  if (!S_ISREG(st.st_mode)) {
    reportNotARegularFile(target);
    return 0;
  }
  const off_t oldSize = st.st_size;
  MboxMessage message(header, body, leadFor(fd.get(), oldSize));
  const bool written = message.WriteAll(fd.get());
  if (!written) cutBack(fd.get(), oldSize);
  if (written) remember(mailbox, target, fd.get(), st, missing);
  // Some file systems report a full disk or an exceeded quota only when
  // the file is closed.
  const bool closed = close(fd.release()) == 0;
  // The lock is still held, so the name still stands for our mailbox.
  if (written && !closed) cutBack(mailbox, oldSize);
  if (!written || !closed) {
    Diag("error writing to '%s'\n", target);
    return 0;
  }
  return 1;
}

bool SyncMailboxes() {
  bool synced = !syncFailedEarly;
  syncFailedEarly = false;
  return syncKept() && synced;
}

}  // namespace pelliton
