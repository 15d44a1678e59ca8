// Saving a run's progress: the newsrc file replaced, after every mailbox
// that the run appended to is on disk, at the end of the run and along the
// way, so that a run that dies (memory exhausted, SIGKILL, a power loss)
// loses at most the last few seconds of its work and the next run never
// skips an article whose mail is not on disk.
#ifndef PELLITON_PROGRESS_H
#define PELLITON_PROGRESS_H

#include <chrono>

#include "newsrc.h"

namespace pelliton {

// The least time between two saves along the way.
inline constexpr auto kSaveInterval = std::chrono::seconds(5);

// From now on the run's progress is saved into the newsrc file at path (as
// configured: a relative name lies in the home directory); the clock of
// the saves along the way starts.  The caller holds the newsrc lock.
void StartSavingProgress(const char* path);
// No more saves (before the newsrc lock is let go).
void StopSavingProgress();

// A save along the way, made only when kSaveInterval has passed since the
// last save: after a newsgroup whose resume point moved, or, with a
// checkpoint, in the middle of one.  1 when saved, not yet due, or not
// saving at all; 0 after a message.  After a failed save no more are made
// along the way.
int SaveProgressWhenDue(const Checkpoint* checkpoint = nullptr);
// The save at the end of the run, whenever the last one was.  0 after a
// message when the newsrc file could not be written, or when a mailbox
// could not be synced (the newsrc file is then left as it was, so that the
// next run delivers again what may be lost).
int SaveProgress();

}  // namespace pelliton

#endif  // PELLITON_PROGRESS_H
