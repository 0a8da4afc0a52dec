// The tests' hold on the stand-in (see control.h), as the six operations
// use it: each call is counted and may be made to fail.
#ifndef LORIMEX_STANDIN_FAULTS_H
#define LORIMEX_STANDIN_FAULTS_H

#include <optional>
#include <string>
#include <string_view>

#include "standin/control.h"

namespace standin {

void CountCall(Op op);
void CountPredefinedClose();
void CountInvalidClose();
// The status a test chose for this call, or ERROR_SUCCESS.
LONG InjectedStatus(Op op, const std::string &keyPath, std::optional<std::string_view> valueName = std::nullopt,
                    long index = -1);
void ForgetFaultsAndCounts();

}  // namespace standin

#endif
