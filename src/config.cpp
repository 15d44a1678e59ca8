#include "config.h"

namespace pelliton {

ListHeader serverList;
ListHeader newsgroupList;
ListHeader wildNewsgroupList;

void AddTail(ListHeader& list, ListNode* node) {
  ListNode* last = list.tailPred();
  node->succ = last->succ;
  node->pred = last;
  list.end.pred = node;
  last->succ = node;
}

void Remove(ListNode* node) {
  node->pred->succ = node->succ;
  node->succ->pred = node->pred;
}

ListNode* RemHead(ListHeader& list) {
  if (list.IsEmpty()) return nullptr;
  ListNode* node = list.head();
  Remove(node);
  return node;
}

}  // namespace pelliton
