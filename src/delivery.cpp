#include "delivery.h"

#include <cassert>
#include <cerrno>
#include <string>
#include <string_view>

#include "atomicfile.h"
#include "command.h"
#include "dotlock.h"
#include "maildir.h"
#include "mbox.h"
#include "util.h"

namespace pelliton {
namespace {

// *stopped tells a delivery that failed only because the run is stopping:
// the article comes again next run, and the stop is no failure of its own.
int deliverToPipe(const char* command, std::string_view header, std::string_view body,
                  bool* stopped) {
  Command child;
  if (!child.Start(command)) {
    Diag("unable to open pipe to '%s'\n", command);
    return 0;
  }
  int result = 1;
  MboxMessage message(header, body, "");
  if (!child.Write(message)) {
    Diag("error writing to '%s'\n", command);
    result = 0;
  }
  if (child.Finish() != 0) {
    Diag("pipe '%s' terminated abnormally\n", command);
    result = 0;
  }
  *stopped = result < 1 && child.CutOff();
  return result;
}

int deliverToMailbox(const ActionInfo* actInfo, std::string_view header, std::string_view body,
                     bool* stopped) {
  const char* target = actInfo->target.c_str();
  // The lock lies beside the file that is really written, so that a
  // mailbox reached through a symbolic link is locked where other
  // programs lock it.
  std::string mailbox = actInfo->target;
  if (!FollowLinks(mailbox)) {
    Diag("unable to open file '%s'\n", target);
    return 0;
  }
  if (CheckMailboxType(mailbox, target) != 1) return 0;
  DotLock lock(mailbox, target);
  if (!lock.Take()) {
    *stopped = lock.GaveUp();
    return 0;
  }
  return AppendToMailbox(mailbox, target, header, body, actInfo->sizeLimit);
}

}  // namespace

int ProcessAction(const ActionInfo* actInfo, const char* header, int headerLen,
                  const char* body, int bodyLen, bool bodyHasLines) {
  assert(actInfo != NULL);
  assert(header != NULL);
  assert(body != NULL);
  assert(headerLen >= 0 && bodyLen >= 0);
  assert(bodyHasLines || bodyLen == 0);
  if (actInfo->target.empty()) return 1;
  if (actInfo->type != ACTION_TYPE_PIPE && actInfo->type != ACTION_TYPE_FILE) return 1;
  const std::string_view headerText(header, static_cast<std::size_t>(headerLen));
  const std::string_view bodyText(body, static_cast<std::size_t>(bodyLen));
  int result;
  bool stopped = false;
  if (actInfo->type == ACTION_TYPE_PIPE)
    result = deliverToPipe(actInfo->target.c_str(), headerText, bodyText, &stopped);
  else if (IsMaildirTarget(actInfo->target))
    result = DeliverToMaildir(actInfo->target.c_str(), headerText, bodyText, bodyHasLines);
  else
    result = deliverToMailbox(actInfo, headerText, bodyText, &stopped);
  if (result < 1 && !stopped) runFailed = 1;
  return result;
}

}  // namespace pelliton
