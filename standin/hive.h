// The registry of a run over two hive files, the registry's own database
// format: HKEY_USERS\.DEFAULT is the root of the default profile's hive,
// only ever read, and HKEY_CURRENT_USER the root of the user's hive
// (NTUSER.DAT), which takes the run's changes. Each hive is loaded when the
// run first reaches it; keys come into the tree as the run reaches them. A
// save writes only what the run created and set, as Windows would: each
// list it changes once, in free cells where there are, and frees nothing
// but what it replaces.
#ifndef LORIMEX_STANDIN_HIVE_H
#define LORIMEX_STANDIN_HIVE_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "regfile/reg_format.h"
#include "regfile/tree.h"
#include "standin/api.h"
#include "standin/backend.h"

namespace standin {

// The stand-in keeps keys and values in the .reg format's tree.
using namespace regfile;

class HiveRun : public Backend {
 public:
  // The two hive files, as LORIMEX_DEFAULT_HIVE and LORIMEX_USER_HIVE name
  // them.
  HiveRun(std::string defaultPath, std::string userPath);
  ~HiveRun() override;

  // Needs both hive files named; `top` gets the two roots, each loaded when
  // first reached (see Reach); `form` says that text data are held as the
  // hive holds them, in UTF-16LE.
  LONG Load(Key &top, FileForm &form) override;
  // The session makes the calls below only after Load succeeded.

  // Brings the subkeys and values of a hive's key into the tree, the first
  // time the run reaches it. Reaching a hive's root loads the hive, after
  // refusing, with one line on standard error, one that Windows has not
  // finished with (sequence numbers that differ, transaction logs newer
  // than it) or that is not a whole hive (ERROR_REGISTRY_CORRUPT). The
  // user's hive is locked first and checked whole, cell by cell (what
  // Windows' own loader repairs is repaired, what it lets through is
  // serviced), and refused when it names itself as the default profile's
  // or a machine's.
  LONG Reach(Key &key) override;
  // Whether a key may be opened: not one that a damaged list entry of the
  // default hive leads to.
  LONG MayOpen(const Key &key) const override;
  // Whether `parent` may get the new subkey `name`: only in the user's
  // hive, never beside a sibling that Windows would take for the same name,
  // only with a name the hive can hold.
  LONG MayAddSubkey(const Key &parent, std::string_view name, const std::string &path) override;
  // Whether the value may be set, and notes the change unless the key
  // already holds exactly that.
  LONG MaySetValue(const Key &key, const std::string &path, std::string_view name, std::uint32_t type,
                   std::string_view data) override;
  // Writes the changes, if any, into the user's hive: the tree's keys of
  // that hive, which the run reached.
  LONG Save(const Key &top, const FileForm &form) override;
  // A subkey list the run went through that Windows could not search,
  // which a save writes anew.
  bool HasOwnChanges() const override;
  // The user's hive, the one a save writes.
  const std::string &Path() const override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace standin

#endif
