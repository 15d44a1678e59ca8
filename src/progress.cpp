#include "progress.h"

#include <string>

#include "mbox.h"
#include "util.h"

namespace pelliton {
namespace {

using Clock = std::chrono::steady_clock;

struct Saver {
  bool active = false;
  std::string path;
  Clock::time_point lastSave;
  bool alongTheWay = true;  // no save along the way failed
  // A mailbox could not be synced: what the run delivered there may be
  // lost, so no newsrc of this run may claim it.
  bool unsynced = false;
};
Saver saver;

int save(const Checkpoint* checkpoint) {
  saver.lastSave = Clock::now();
  if (!saver.unsynced && !SyncMailboxes()) {
    saver.unsynced = true;
    runFailed = 1;
  }
  if (saver.unsynced) return 0;
  Progress("Saving newsrc to '%s'\n", saver.path.c_str());
  return WriteNewsrc(saver.path.c_str(), checkpoint);
}

}  // namespace

void StartSavingProgress(const char* path) {
  saver = Saver{};
  saver.active = true;
  saver.path = path;
  saver.lastSave = Clock::now();
}

void StopSavingProgress() { saver.active = false; }

int SaveProgressWhenDue(const Checkpoint* checkpoint) {
  if (!saver.active || !saver.alongTheWay || Clock::now() - saver.lastSave < kSaveInterval)
    return 1;
  if (save(checkpoint) == 1) return 1;
  saver.alongTheWay = false;
  return 0;
}

int SaveProgress() {
  if (!saver.active) return 1;
  return save(nullptr);
}

}  // namespace pelliton
