// The tests' hold on the stand-in (see control.h), as the six operations
// use it: each call is counted and may be made to fail. The tests link
// faults.cpp, which does so; the program links plain_calls.cpp, where each
// of these does nothing.
#ifndef LORIMEX_STANDIN_TESTING_FAULTS_H
#define LORIMEX_STANDIN_TESTING_FAULTS_H

#include <optional>
#include <string>
#include <string_view>

#include "standin/testing/control.h"
#include "regfile/tree.h"

namespace standin {

void CountCall(Op op);
void CountPredefinedClose();
void CountInvalidClose();
// The status a test chose for this call, or ERROR_SUCCESS.
LONG InjectedStatus(Op op, const std::string &keyPath, std::optional<std::string_view> valueName = std::nullopt,
                    long index = -1);
// The tree of the loaded session, loading it first; nullptr when the file
// cannot be used. For the test controls that reach into the tree.
Key *LoadedTree();
// Whether the calls act as an administrator's (see ActAsAdministrator).
bool ActsAsAdministrator();
void ForgetFaultsAndCounts();
std::size_t CallerDataSize();

}  // namespace standin

#endif
