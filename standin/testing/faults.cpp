#include "standin/testing/faults.h"

#include <array>
#include <vector>

#include "regfile/names.h"

namespace standin {
namespace {

struct Counters {
  std::array<unsigned long, static_cast<std::size_t>(Op::Count)> calls{};
  unsigned long predefinedCloses = 0;
  unsigned long invalidCloses = 0;
};

Counters counters;
std::vector<Fault> faults;
bool administrator = false;
std::size_t callerDataSize = 0;

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

bool ActsAsAdministrator() { return administrator; }

void ForgetFaultsAndCounts() {
  counters = Counters{};
  faults.clear();
  administrator = false;
  callerDataSize = 0;
}

void SetCallerDataSize(std::size_t bytes) { callerDataSize = bytes; }
std::size_t CallerDataSize() { return callerDataSize; }

void ActAsAdministrator(bool on) { administrator = on; }

bool PlantValue(const std::string &keyPath, const std::string &name, DWORD type, const std::string &data) {
  Key *key = LoadedTree();
  std::vector<std::string_view> names;
  if (!key || !SplitKeyPath(keyPath, names)) return false;
  for (std::size_t i = 0; key && i < names.size(); ++i) key = FindSubkey(*key, names[i]);
  if (key) key->SetValue(name, type, data);
  return key != nullptr;
}

void InjectFault(const Fault &fault) { faults.push_back(fault); }
unsigned long CallCount(Op op) { return counters.calls[static_cast<std::size_t>(op)]; }
unsigned long PredefinedCloseCount() { return counters.predefinedCloses; }
unsigned long InvalidCloseCount() { return counters.invalidCloses; }

}  // namespace standin
