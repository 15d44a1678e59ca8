// Delivery of one article to one action: appended to a mailbox under its
// dot-lock, put into a Maildir, or written into a command through a pipe.
#ifndef PELLITON_DELIVERY_H
#define PELLITON_DELIVERY_H

#include "config.h"

namespace pelliton {

// Header and body come without their last line end, as the engine
// collects them, so a body of one empty line is the empty text; so is a
// body of no lines, which bodyHasLines false tells apart.  A mailbox or a
// command takes the two alike; a Maildir keeps each as it is.
//
// 1: delivered, or nothing to do; 0: failed, after a message; -1: the
// mailbox was already over the action's size limit, after a message.  A
// delivery that did not take place sets runFailed: the run did not do all
// of its work; unless it failed only because the run was stopping (a lock
// no longer waited for, a command cut off), which is the stop's doing.
int ProcessAction(const ActionInfo* actInfo, const char* header, int headerLen,
                  const char* body, int bodyLen, bool bodyHasLines = true);

}  // namespace pelliton

#endif  // PELLITON_DELIVERY_H
