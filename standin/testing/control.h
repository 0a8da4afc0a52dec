// Test controls of the stand-in registry: forget its state, make chosen
// operations fail, count what the program did, act as an administrator.
// They live in the library lorimex_standin_control, which the tests link:
// it fills the stand-in's table of hooks (hooks.h) with its own entries.
#ifndef LORIMEX_STANDIN_TESTING_CONTROL_H
#define LORIMEX_STANDIN_TESTING_CONTROL_H

#include <cstddef>
#include <optional>
#include <string>

#include "standin/api.h"
#include "standin/hooks.h"

namespace standin {

// Every call of `op` that matches gets `status` and does nothing else,
// except that a failed close still releases the handle. Empty or negative
// fields match anything.
struct Fault {
  Op op = Op::Open;
  std::string keyPath;                   // full path: of the key opened or created, or of the handle's key
  std::optional<std::string> valueName;  // SetValue only; compared without case
  long index = -1;                       // EnumValue and EnumKey only
  LONG status = 0;
};

// Drops the loaded registry, open handles, faults and counters, and fills
// the hooks' table (hooks.h) with the tests' entries again: the real system
// calls, and a lock wait whose clock runs ten times as fast. The next
// operation loads the file named by LORIMEX_REGISTRY again. A test may then
// point an entry of standin::hooks elsewhere, until the next Reset.
void Reset();
void InjectFault(const Fault &fault);
unsigned long CallCount(Op op);
std::size_t OpenHandleCount();
unsigned long PredefinedCloseCount();
unsigned long InvalidCloseCount();
// The calls act as an administrator's (the tools that plant fixtures), who
// may write HKEY_USERS\.DEFAULT; until Reset, they act as a user's, who may
// only read it.
void ActAsAdministrator(bool on);
// Sets a value in the key at `keyPath` of the loaded registry, as no call
// could: its name may hold a NUL, as the platform's names may. Returns false
// when there is no such key.
bool PlantValue(const std::string &keyPath, const std::string &name, DWORD type, const std::string &data);
// How many bytes the data buffers of the wide writes that follow hold, from
// the data's start: the stand-in then reads the unit just past the count of
// text, as the platform does (see WithForgottenNul in calls_text.h), where
// it lies within them. 0, the default, reads nothing past the count.
void SetCallerDataSize(std::size_t bytes);

}  // namespace standin

#endif
