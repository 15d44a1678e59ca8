// Delivery of one article into a Maildir: a directory with the
// subdirectories tmp, new and cur, one file per message.  A message is
// written whole under tmp and only then given its name under new, so a
// reader never sees a torn message and no lock is needed.
#ifndef PELLITON_MAILDIR_H
#define PELLITON_MAILDIR_H

#include <string>
#include <string_view>

namespace pelliton {

// A mailbox target that ends in "/" names a Maildir.
bool IsMaildirTarget(std::string_view target);

// Delivers header and body (each without its last line end, as the engine
// collected them: the header as received, the body unstuffed) into the
// Maildir `dir`, creating it and its three subdirectories (mode 0700) when
// they are missing; the directory that holds `dir` must exist, and `dir`
// must not be the root directory.  The file holds the header lines, one
// empty line and the body lines, each line ended by "\n".  The empty body
// text is one empty line, or no line at all when bodyHasLines is false.
// Returns 1 when the message stands in new/, 0 after a message on stderr,
// with nothing left in tmp/ or new/.
int DeliverToMaildir(const char* dir, std::string_view header, std::string_view body,
                     bool bodyHasLines = true);

// The name a message gets in tmp/ and new/:
// "<seconds>.M<microseconds>P<pid>Q<counter>.<host>", the counter rising
// with every name this process makes, "/" and ":" in the host name written
// as "\057" and "\072".
std::string MaildirUniqueName();

}  // namespace pelliton

#endif  // PELLITON_MAILDIR_H
