#include "standin/configuration.h"

#include <cstdlib>

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

}  // namespace standin
