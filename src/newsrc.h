// The newsrc file: for each newsgroup the last article dealt with, read at
// the start of a run and written anew at its end.
#ifndef PELLITON_NEWSRC_H
#define PELLITON_NEWSRC_H

#include <cstdio>

namespace pelliton {

// Sets nextArticle of the newsgroups that the file names, adding those the
// filter file did not.  0, silently, when the file cannot be opened; 1
// otherwise.  A relative path lies in the home directory.
int ReadNewsrc(const char* path);
// The same reading from an open stream, which stays the caller's.
int ReadNewsrc(FILE* stream);
// Replaces the newsrc file atomically with one line per newsgroup; a file
// kept read-only is not replaced.  Returns 0 after printing why the file
// could not be written; the old file is then left untouched.
int WriteNewsrc(const char* path);

}  // namespace pelliton

#endif  // PELLITON_NEWSRC_H
