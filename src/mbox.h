// The mailbox writer: one message in the traditional mailbox form, appended
// to a mailbox file whose lock the caller holds, and made durable before
// the newsrc file claims it.
#ifndef PELLITON_MBOX_H
#define PELLITON_MBOX_H

#include <sys/types.h>
#include <sys/uio.h>

#include <string>
#include <string_view>
#include <vector>

namespace pelliton {

// The word that stands after "From " in the separator line of every
// delivered message.
inline constexpr const char* kSenderAddress = "pelliton";

// One message in mailbox form, as pieces that point into the header and the
// body (which must outlive it): the bytes that make sure the separator line
// starts a message of its own, the separator line, the header, an empty
// line, the body, an empty line.  Lines of header and body that begin with
// "From " get a ">" in front, so that no line of the article can pass for a
// separator.  Made just before writing, since the separator line carries
// the time of delivery.
class MboxMessage {
 public:
  MboxMessage(std::string_view header, std::string_view body, std::string_view lead);
  MboxMessage(const MboxMessage&) = delete;
  MboxMessage& operator=(const MboxMessage&) = delete;

  bool Done() const { return first_ == pieces_.size(); }
  // One writev of what is left: its result, errno as it set it.
  ssize_t WriteOnce(int fd);
  // Every byte into a descriptor whose writes do not wait for a reader,
  // going on after short writes and interrupted calls: a signal does not
  // cut an ordinary append short.  False after the first failed write.
  bool WriteAll(int fd);

 private:
  void Add(std::string_view text);
  void AddQuoted(std::string_view text);
  void Consume(std::size_t written);

  std::string separator_;
  std::vector<iovec> pieces_;
  std::size_t first_ = 0;
};

// 0, after a message, when the mailbox names something that can never be
// one (a directory, a FIFO, a device), so that no lock file is made beside
// it; 1 otherwise, also when it does not exist yet.
int CheckMailboxType(const std::string& mailbox, const char* target);

// Appends the message to the mailbox under the lock that the caller holds.
// mailbox names its real file; target names it in messages.  1: appended;
// 0: failed, after a message, with the mailbox as it was; -1: the mailbox
// was already over sizeLimit (0: none), after a message.
int AppendToMailbox(const std::string& mailbox, const char* target, std::string_view header,
                    std::string_view body, unsigned long sizeLimit);

// Makes durable every mailbox appended to since the last call (a mailbox
// made by the run, its name in its directory too): once per mailbox, not
// per message.  False, after a message, when one of them could not be
// synced; its messages may then be lost in a crash.
bool SyncMailboxes();

}  // namespace pelliton

#endif  // PELLITON_MBOX_H
