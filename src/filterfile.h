// The filter file: for each newsgroup the actions (a mailbox or a command)
// and the header conditions that select articles for them, and wildcard
// entries whose general conditions apply to every newsgroup they match.
#ifndef PELLITON_FILTERFILE_H
#define PELLITON_FILTERFILE_H

#include <cstdio>

namespace pelliton {

// 1 when read; 0 when it cannot be opened or ends inside a newsgroup block
// that waits for its action, after a message.  Faults in single lines are
// reported and passed over.  A relative path lies in the home directory.
int ReadConfig(const char* path);
// The same reading from an open stream, which stays the caller's; name is
// the file name that messages show (by its base name).
int ReadConfig(FILE* stream, const char* name);

}  // namespace pelliton

#endif  // PELLITON_FILTERFILE_H
