#include "standin/faults.h"

#include <array>
#include <vector>

#include "standin/names.h"

namespace standin {
namespace {

struct Counters {
  std::array<unsigned long, static_cast<std::size_t>(Op::Count)> calls{};
  unsigned long predefinedCloses = 0;
  unsigned long invalidCloses = 0;
};

Counters counters;
std::vector<Fault> faults;

}  // namespace

void CountCall(Op op) { ++counters.calls[static_cast<std::size_t>(op)]; }
void CountPredefinedClose() { ++counters.predefinedCloses; }
void CountInvalidClose() { ++counters.invalidCloses; }

LONG InjectedStatus(Op op, const std::string &keyPath, std::optional<std::string_view> valueName, long index) {
  for (const Fault &f : faults) {
    if (f.op != op || (!f.keyPath.empty() && !EqualNoCase(f.keyPath, keyPath))) continue;
    if (f.valueName && !(valueName && EqualNoCase(*f.valueName, *valueName))) continue;
    if (f.index >= 0 && f.index != index) continue;
    return f.status;
  }
  return ERROR_SUCCESS;
}

void ForgetFaultsAndCounts() {
  counters = Counters{};
  faults.clear();
}

void InjectFault(const Fault &fault) { faults.push_back(fault); }
unsigned long CallCount(Op op) { return counters.calls[static_cast<std::size_t>(op)]; }
unsigned long PredefinedCloseCount() { return counters.predefinedCloses; }
unsigned long InvalidCloseCount() { return counters.invalidCloses; }

}  // namespace standin
