// The program's own build of the stand-in: no call is counted, none made to
// fail, and the calls are a user's, never an administrator's. Weak, so that
// a test linking faults.cpp gets its definitions instead.
#include "standin/testing/faults.h"

namespace standin {

[[gnu::weak]] void CountCall(Op) {}
[[gnu::weak]] void CountPredefinedClose() {}
[[gnu::weak]] void CountInvalidClose() {}
[[gnu::weak]] LONG InjectedStatus(Op, const std::string &, std::optional<std::string_view>, long) {
  return ERROR_SUCCESS;
}
[[gnu::weak]] bool ActsAsAdministrator() { return false; }
[[gnu::weak]] void ForgetFaultsAndCounts() {}
// The caller's buffers are not known to hold more than its count: nothing
// past it is read.
[[gnu::weak]] std::size_t CallerDataSize() { return 0; }

}  // namespace standin
