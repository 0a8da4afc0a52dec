// Everything the stand-in takes from the environment, read once, when a
// session loads the registry: nothing reads a variable later, so a change
// meanwhile cannot make the save differ from the load.
#ifndef LORIMEX_STANDIN_CONFIGURATION_H
#define LORIMEX_STANDIN_CONFIGURATION_H

#include <memory>
#include <string>

namespace standin {

constexpr char kDefaultHiveVariable[] = "LORIMEX_DEFAULT_HIVE";
constexpr char kUserHiveVariable[] = "LORIMEX_USER_HIVE";

// Each variable's value; a variable that is not set reads as empty, as one
// set to nothing always did.
struct Configuration {
  std::string registry;     // LORIMEX_REGISTRY: the registry file
  std::string configHome;   // XDG_CONFIG_HOME, HOME: where the default file is
  std::string home;         //   (see FindRegistryFile)
  std::string codePage;     // LORIMEX_CODEPAGE: a REGEDIT4 file's code page
  std::string defaultHive;  // LORIMEX_DEFAULT_HIVE, LORIMEX_USER_HIVE: a run
  std::string userHive;     //   over two hive files (see hive.h)

  // Whether either hive is named: the run is then over hive files, and
  // needs both.
  bool OverHives() const { return !defaultHive.empty() || !userHive.empty(); }
};

Configuration ReadConfiguration();

class Backend;
// The store the configuration names: two hive files when either hive
// variable is set, else the .reg file.
std::unique_ptr<Backend> ChooseBackend(const Configuration &config);
// The store of a session as it loads: the hives of the service run under
// way (service.h), else the one the environment names.
std::unique_ptr<Backend> ChooseStore();

}  // namespace standin

#endif
