#include "containers/find.h"

#include <strings.h>

namespace containers {
namespace {

bool EndsWith(const std::string &name, const char *end) {
  std::size_t size = std::string(end).size();
  return name.size() >= size && strcasecmp(name.c_str() + name.size() - size, end) == 0;
}

bool StartsWith(const std::string &name, const char *start) {
  return strncasecmp(name.c_str(), start, std::string(start).size()) == 0;
}

}  // namespace

bool IsDiskName(const std::string &name) { return EndsWith(name, ".vhd") || EndsWith(name, ".vhdx"); }

bool IsOfficeContainerName(const std::string &name) { return StartsWith(name, "ODFC_"); }

bool IsContainerName(const std::string &name) { return StartsWith(name, "Profile_") && IsDiskName(name); }

}  // namespace containers
