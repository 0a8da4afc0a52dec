// Each profile is serviced in a process of its own: however that ends (a
// crash among the ways), no other profile and not the command itself is
// touched, and the outcome comes back whole or not at all.
#ifndef LORIMEX_PROFILES_CHILD_H
#define LORIMEX_PROFILES_CHILD_H

#include <sys/types.h>

#include <functional>
#include <string>

#include "profiles/outcome.h"

namespace profiles {

struct Child {
  pid_t pid = -1;
  int fd = -1;  // the pipe the outcome comes back through
};

// Starts `work` in a new process, which ignores SIGINT, SIGTERM and SIGHUP
// (a closed terminal): the command decides when to stop, and a profile
// under way is finished. The child holds only the standard streams and its
// end of the pipe. 0, or the errno with `why`, when no process could be
// started.
int StartChild(const std::function<Outcome()> &work, Child &child, std::string &why);
// Whether a failure to start says that the system has no room for another
// process or pipe now: a child that ends makes room.
bool NoRoomYet(int error);
// The outcome of a child that ended with `status` (as waitpid gives it).
// False when the child did not end on its own (a crash, a kill): its work
// may be half done.
bool FinishChild(Child &child, int status, Outcome &outcome);
// Starts `work` and waits for it.
Outcome RunInChild(const std::function<Outcome()> &work);

}  // namespace profiles

#endif
