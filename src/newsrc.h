// The newsrc file: for each newsgroup the last article dealt with, read at
// the start of a run and written anew at its end.
#ifndef PELLITON_NEWSRC_H
#define PELLITON_NEWSRC_H

#include <cstdio>

#include "config.h"

namespace pelliton {

// Where the next run is to start in one newsgroup while it is still being
// fetched: its nextArticle is then the engine's cursor, which runs ahead of
// what was dealt with.
struct Checkpoint {
  const NewsgroupInfo* ngInfo = nullptr;
  ArticleNumber nextArticle = 0;
};

// Sets nextArticle of the newsgroups that the file names, adding those the
// filter file did not.  1 when the file was read; 0, silently, when there
// is no such file (or its name is too long to open); -1 after printing why
// a file that is there could not be read.  A relative path lies in the
// home directory.
int ReadNewsrc(const char* path);
// The same reading from an open stream, which stays the caller's.
int ReadNewsrc(FILE* stream);
// Replaces the newsrc file atomically with one line per newsgroup, the
// file and its directory synced; a file kept read-only is not replaced.
// With a checkpoint, its newsgroup is written with the checkpoint's
// number.  Returns 0 after printing why the file could not be written; the
// old file is then left untouched.
int WriteNewsrc(const char* path, const Checkpoint* checkpoint = nullptr);

}  // namespace pelliton

#endif  // PELLITON_NEWSRC_H
