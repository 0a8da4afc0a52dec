#include "standin/backend.h"

#include "standin/hive.h"
#include "standin/registry_file.h"

namespace standin {
namespace {

// The .reg file: read whole at load, locked until the save, which writes
// it whole again. Every key is in the tree from the load on, and the file
// may hold any of them.
class RegFile : public Backend {
 public:
  explicit RegFile(const Configuration &config) : config_(config) {}

  LONG Load(Key &top, FileForm &form) override {
    RegistryFile file = FindRegistryFile(config_);
    if (file.path.empty()) return ERROR_PATH_NOT_FOUND;
    return LoadRegistry(file, config_.codePage, lock_, top, form);
  }
  LONG Reach(Key &) override { return ERROR_SUCCESS; }
  LONG MayOpen(const Key &) const override { return ERROR_SUCCESS; }
  LONG MayAddSubkey(const Key &, std::string_view) override { return ERROR_SUCCESS; }
  LONG MaySetValue(const Key &, std::string_view, std::uint32_t, std::string_view) override { return ERROR_SUCCESS; }
  LONG Save(const Key &top, const FileForm &form) override { return SaveRegistry(lock_, top, form); }
  const std::string &Path() const override { return lock_.path(); }

 private:
  Configuration config_;
  RegistryLock lock_;
};

}  // namespace

std::unique_ptr<Backend> ChooseBackend(const Configuration &config) {
  if (config.OverHives()) return std::make_unique<HiveRun>(config.defaultHive, config.userHive);
  return std::make_unique<RegFile>(config);
}

}  // namespace standin
