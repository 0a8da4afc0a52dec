#include "standin/service.h"

#include <fcntl.h>

#include <cerrno>

#include "standin/hooks.h"
#include "standin/session.h"

namespace standin {
namespace {

// The run under way: set only for the length of Service().
struct Active {
  const ServiceRun *run = nullptr;
  ServiceResult *result = nullptr;
};

Active &Current() {
  static Active active;
  return active;
}

// Puts the run back as it was, however `work` ends.
class Scope {
 public:
  Scope(const ServiceRun &run, ServiceResult &result) : saved_(Current()) {
    ForgetSession();
    Current() = Active{&run, &result};
  }
  Scope(const Scope &) = delete;
  Scope &operator=(const Scope &) = delete;
  ~Scope() {
    ForgetSession();
    Current() = saved_;
  }

 private:
  Active saved_;
};

}  // namespace

ServiceResult Service(const ServiceRun &run, const std::function<int()> &work) {
  ServiceResult result;
  Scope scope(run, result);
  result.status = work();
  return result;
}

const ServiceRun *ActiveRun() { return Current().run; }
ServiceResult *ActiveResult() { return Current().result; }

void NoteFailure(LONG status, const std::string &keyPath) {
  ServiceResult *result = ActiveResult();
  if (!result || status == ERROR_SUCCESS || status == ERROR_NO_MORE_ITEMS) return;
  if (result->failure.status != ERROR_SUCCESS) return;
  result->failure.status = status;
  result->failure.keyPath = keyPath;
}

bool NoteReason(const std::string &file, const std::string &reason) {
  ServiceResult *result = ActiveResult();
  if (!result) return false;
  if (result->failure.reason.empty() && result->failure.status == ERROR_SUCCESS) {
    result->failure.file = file;
    result->failure.reason = reason;
  }
  return true;
}

bool DryRun() { return ActiveRun() && ActiveRun()->dryRun; }

int OpenForRun(const char *path, int flags) {
  if (DryRun()) {
    int fd = hooks.open(path, flags | O_NOATIME, 0);
    if (fd >= 0 || errno != EPERM) return fd;
  }
  return hooks.open(path, flags, 0);
}

}  // namespace standin
