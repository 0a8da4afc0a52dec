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
// (a closed terminal): the
// command decides when to stop, and a profile under way is finished.
// False, with `why`, when no process could be started.
bool StartChild(const std::function<Outcome()> &work, Child &child, std::string &why);
// The outcome of a child that ended with `status` (as waitpid gives it).
Outcome FinishChild(Child &child, int status);
// Starts `work` and waits for it.
Outcome RunInChild(const std::function<Outcome()> &work);

}  // namespace profiles

#endif
