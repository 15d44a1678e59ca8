// Replacing a file as a whole: the new contents go into a temporary file
// beside the old one, which is renamed over it only once it is complete
// and on disk.  A reader, a crash or a full disk never sees a half-written
// file; a failure leaves the old one exactly as it was.
#ifndef PELLITON_ATOMICFILE_H
#define PELLITON_ATOMICFILE_H

#include <cstdio>
#include <string>

#include "util.h"

namespace pelliton {

// Follows the symbolic links that path ends in, so that it names the file
// that an open of path would reach; the directories along the way are left
// as they stand.  A link to a file that does not exist yet leads to where
// that file would be made.  False with errno set (ELOOP, ENAMETOOLONG, or
// what lstat or readlink gave).
bool FollowLinks(std::string& path);

class ReplacementFile {
 public:
  // path names the file to replace as it is to be opened (already
  // resolved against the home directory).  The temporary file is named
  // tempPrefix and six unique characters, in the directory of the file
  // that is really replaced.
  ReplacementFile(std::string path, std::string tempPrefix);
  // Removes the temporary file unless it was committed.
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Makes the temporary file, with the owner and permission bits of the
  // file it will replace.  Symbolic links are followed, so that a file
  // kept elsewhere through a link is replaced where it lives.  An existing
  // file that may not be written is refused with EACCES: one without any
  // write permission bit (read-only on purpose, whoever runs us, root
  // included), or one that access(2) for the effective ids finds not
  // writable.  False with errno set.
  bool Create();
  // Where the new contents are written, between Create and Commit.
  FILE* stream() { return stream_.get(); }
  // Flushes, syncs and renames the temporary file over the old one.  False
  // with errno set; the old file is then untouched.
  bool Commit();

 private:
  std::string target_;
  std::string tempPrefix_;
  OwnedName temp_;  // until it is renamed over the target
  int fd_ = -1;     // the descriptor under stream_
  UniqueFile stream_;
};

}  // namespace pelliton

#endif  // PELLITON_ATOMICFILE_H
