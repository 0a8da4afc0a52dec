// A session of the stand-in registry: it runs from the first call until no
// handle is open any more; the registry is loaded by the first call, and
// its changes written back after the last close, as the platform would
// have them on disk by then. The calls (calls.cpp) are each one operation
// of it, on keys the session resolves.
#ifndef LORIMEX_STANDIN_SESSION_H
#define LORIMEX_STANDIN_SESSION_H

#include <cstddef>
#include <new>
#include <string>
#include <string_view>

#include "regfile/reg_format.h"
#include "standin/api.h"
#include "standin/hooks.h"

namespace standin {

// The stand-in keeps keys and values in the .reg format's tree.
using namespace regfile;

bool IsPredefined(HKEY key);
// Loads the registry on the first operation of a session.
LONG BeginSession(Op op, HKEY key);
// Ends the session once no handle is open: writes the changes back. A
// write failure becomes the status of the call.
LONG EndSessionIfIdle(LONG status);
LONG OutOfMemory();
// The form of the registry loaded, in which names and data are held.
const FileForm &SessionForm();
// Drops the loaded registry and its handles, and what made it unusable: the
// next operation loads it again.
void ForgetSession();
// The tree of the loaded session, loading it first; nullptr when the
// registry cannot be used.
Key *LoadedTree();
std::size_t OpenHandleCount();


// The operations, on names and data in the stored form (see names.h).
// Links on the way are followed, and the last key's unless `openLink` or
// `createLink` asks for it as itself.
LONG OpenKeyPath(HKEY parent, std::string_view subKey, REGSAM access, PHKEY result, bool openLink = false);
LONG CreateKeyPath(HKEY parent, std::string_view subKey, REGSAM access, PHKEY result, LPDWORD disposition,
                   bool createLink = false);
template <typename Char>
LONG EnumValueAt(HKEY handle, DWORD index, Char *name, LPDWORD nameLength, LPDWORD type, LPBYTE data,
                 LPDWORD dataLength);
template <typename Char>
LONG EnumKeyAt(HKEY handle, DWORD index, Char *name, LPDWORD nameLength, Char *keyClass, LPDWORD classLength,
               PFILETIME lastWrite);
LONG SetValueOf(HKEY handle, std::string_view name, DWORD type, std::string_view data);
LONG CloseHandleOf(HKEY handle);

// One operation within the session: the file is loaded by the first and
// written back after the last close. Memory running out fails the call, as
// it would in the platform's registry, instead of ending the process.
template <typename Call>
LONG InSession(Op op, HKEY key, Call call) {
  try {
    LONG status = BeginSession(op, key);
    if (status == ERROR_SUCCESS) status = call();
    return EndSessionIfIdle(status);
  } catch (const std::bad_alloc &) {
    return OutOfMemory();
  }
}

}  // namespace standin

#endif
