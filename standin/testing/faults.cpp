// The tests' entries in the stand-in's table of hooks (see hooks.h): each
// call is counted and may be made to fail, and the lock wait's clock runs
// fast. The table is filled as soon as this library is linked in, before
// main, and again by every Reset.
#include <array>
#include <thread>
#include <vector>

#include "regfile/names.h"
#include "standin/hooks.h"
#include "standin/session.h"
#include "standin/testing/control.h"

namespace standin {
namespace {

struct Counters {
  std::array<unsigned long, static_cast<std::size_t>(Op::Count)> calls{};
  unsigned long predefinedCloses = 0;
  unsigned long invalidCloses = 0;
};

Counters counters;
std::vector<Fault> faults;

void CountCall(Op op) { ++counters.calls[static_cast<std::size_t>(op)]; }
void CountPredefinedClose() { ++counters.predefinedCloses; }
void CountInvalidClose() { ++counters.invalidCloses; }

LONG FaultFor(Op op, const std::string &keyPath, std::optional<std::string_view> valueName, long index) {
  for (const Fault &f : faults) {
    if (f.op != op || (!f.keyPath.empty() && !EqualNoCase(f.keyPath, keyPath))) continue;
    if (f.valueName && !(valueName && EqualNoCase(*f.valueName, *valueName))) continue;
    if (f.index >= 0 && f.index != index) continue;
    return f.status;
  }
  return ERROR_SUCCESS;
}

// The lock wait's clock: each pause takes a tenth of its time, and the
// clock counts it whole. A lock held for good is given up after one second,
// and says ten, as a run's would; a run that waits for another's save
// still waits for it.
constexpr int kClockSpeed = 10;
std::chrono::steady_clock::duration skipped{};

std::chrono::steady_clock::time_point FastNow() { return std::chrono::steady_clock::now() + skipped; }
void ShortPause(std::chrono::milliseconds length) {
  std::this_thread::sleep_for(length / kClockSpeed);
  skipped += length - length / kClockSpeed;
}

Hooks TestHooks() {
  Hooks table = PlainHooks();
  table.now = FastNow;
  table.pause = ShortPause;
  table.countCall = CountCall;
  table.countPredefinedClose = CountPredefinedClose;
  table.countInvalidClose = CountInvalidClose;
  table.injectedStatus = FaultFor;
  return table;
}

[[maybe_unused]] const bool filled = (hooks = TestHooks(), true);

}  // namespace

void Reset() {
  ForgetSession();
  counters = Counters{};
  faults.clear();
  hooks = TestHooks();
}

void SetCallerDataSize(std::size_t bytes) { hooks.callerDataSize = bytes; }
void ActAsAdministrator(bool on) { hooks.actsAsAdministrator = on; }

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
