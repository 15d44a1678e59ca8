// Fetching one newsgroup: selecting it with GROUP, fixing where reading
// starts, and running the request engine over its new articles.
#ifndef PELLITON_FETCH_H
#define PELLITON_FETCH_H

#include "config.h"
#include "connection.h"

namespace pelliton {

// 1: go on with the next newsgroup; 0: keepRunning was found cleared after
// the engine ran, or a stop signal ended the GROUP exchange; -1: the answer
// to GROUP could not be read, or it answered
// for another newsgroup (the stream is out of step), after a message.  A
// newsgroup without actions is passed over without a word.  maxReq and
// articleLimit go to the engine (see PipelineInit).
int processNewsgroup(NntpConnection& connection, NewsgroupInfo* ngInfo, int maxReq,
                     unsigned long articleLimit);

}  // namespace pelliton

#endif  // PELLITON_FETCH_H
