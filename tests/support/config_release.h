// Releasing a configuration model, for tests and fuzz targets that build
// many of them in one process.
#ifndef PELLITON_TESTS_CONFIG_RELEASE_H
#define PELLITON_TESTS_CONFIG_RELEASE_H

#include <regex.h>

#include "config.h"

namespace pelliton {

// The run never releases its model; tests that build many models do, so
// that the leak checker sees only real leaks.
inline void ReleaseConfigModel() {
  while (ListNode* node = RemHead(serverList)) delete static_cast<ServerInfo*>(node);
  for (ListHeader* list : {&newsgroupList, &wildNewsgroupList}) {
    while (ListNode* node = RemHead(*list)) {
      auto* ngInfo = static_cast<NewsgroupInfo*>(node);
      while (ListNode* actNode = RemHead(ngInfo->actions)) {
        auto* actInfo = static_cast<ActionInfo*>(actNode);
        while (ListNode* condNode = RemHead(actInfo->conditions)) {
          auto* condition = static_cast<ConditionInfo*>(condNode);
          regfree(&condition->regex);
          delete condition;
        }
        delete actInfo;
      }
      delete ngInfo;
    }
  }
  InitConfigLists();
}

}  // namespace pelliton

#endif  // PELLITON_TESTS_CONFIG_RELEASE_H
