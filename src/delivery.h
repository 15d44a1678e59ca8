// Delivery of one article to one action: appended to a mailbox under its
// dot-lock, put into a Maildir, or written into a command through a pipe.
#ifndef PELLITON_DELIVERY_H
#define PELLITON_DELIVERY_H

#include "config.h"

namespace pelliton {

// 1: delivered, or nothing to do; 0: failed, after a message; -1: the
// mailbox was already over the action's size limit, after a message.  A
// delivery that did not take place sets runFailed: the run did not do all
// of its work; unless it failed only because the run was stopping (a lock
// no longer waited for, a command cut off), which is the stop's doing.
int ProcessAction(const ActionInfo* actInfo, const char* header, int headerLen,
                  const char* body, int bodyLen);

}  // namespace pelliton

#endif  // PELLITON_DELIVERY_H
