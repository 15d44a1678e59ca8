// The server file: a section per news server, with the host and port to
// connect to, its filter and newsrc files, credentials, a timeout, the
// size an article may take, and the commands to run around the connection.
#ifndef PELLITON_SERVERFILE_H
#define PELLITON_SERVERFILE_H

#include <cstdio>

namespace pelliton {

// The server file is optional: 1 when it was read or cannot be opened, 0
// after reporting the first fault in its text (the lines before it have
// taken effect, the ones after it are never read).  A relative path lies
// in the home directory.
int ReadServerConfig(const char* path);
// The same reading from an open stream, which stays the caller's; name is
// the file name that messages show (by its base name).
int ReadServerConfig(FILE* stream, const char* name);

}  // namespace pelliton

#endif  // PELLITON_SERVERFILE_H
