#include "standin/configuration.h"

#include <cstdlib>

#include "standin/hive.h"
#include "standin/registry_file.h"
#include "standin/service.h"

namespace standin {
namespace {

std::string Variable(const char *name) {
  const char *value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

Configuration ReadConfiguration() {
  Configuration config;
  config.registry = Variable("LORIMEX_REGISTRY");
  config.configHome = Variable("XDG_CONFIG_HOME");
  config.home = Variable("HOME");
  config.codePage = Variable("LORIMEX_CODEPAGE");
  config.defaultHive = Variable(kDefaultHiveVariable);
  config.userHive = Variable(kUserHiveVariable);
  return config;
}

std::unique_ptr<Backend> ChooseBackend(const Configuration &config) {
  if (config.OverHives()) return std::make_unique<HiveRun>(config.defaultHive, config.userHive);
  return std::make_unique<RegFile>(config);
}

std::unique_ptr<Backend> ChooseStore() {
  if (const ServiceRun *run = ActiveRun()) return std::make_unique<HiveRun>(run->defaultHive, run->userHive);
  return ChooseBackend(ReadConfiguration());
}

}  // namespace standin
