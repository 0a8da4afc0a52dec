// Where a session's registry is kept: a .reg file (registry_file.h) or two
// hive files (hive.h), chosen once, when the session loads, from the
// configuration (ChooseBackend of configuration.h). The session holds one,
// and asks it before every change.
#ifndef LORIMEX_STANDIN_BACKEND_H
#define LORIMEX_STANDIN_BACKEND_H

#include <cstdint>
#include <string>
#include <string_view>

#include "regfile/reg_format.h"
#include "regfile/tree.h"
#include "standin/api.h"

namespace standin {

// The stand-in keeps keys and values in the .reg format's tree.
using namespace regfile;

class Backend {
 public:
  Backend() = default;
  Backend(const Backend &) = delete;
  Backend &operator=(const Backend &) = delete;
  virtual ~Backend() = default;

  // Loads the registry into `top`; `form` gets the form its names and data
  // are held in. A status, with one line on standard error, when it cannot
  // be used.
  virtual LONG Load(Key &top, FileForm &form) = 0;
  // Brings a key's subkeys and values into the tree, the first time the run
  // reaches it.
  virtual LONG Reach(Key &key) = 0;
  // Whether a key may be opened.
  virtual LONG MayOpen(const Key &key) const = 0;
  // Whether `parent` may get the new subkey `name`, whose full path is
  // `path`.
  virtual LONG MayAddSubkey(const Key &parent, std::string_view name, const std::string &path) = 0;
  // Whether the value may be set in `key`, whose full path is `path`.
  virtual LONG MaySetValue(const Key &key, const std::string &path, std::string_view name, std::uint32_t type,
                           std::string_view data) = 0;
  // Writes the session's changes back.
  virtual LONG Save(const Key &top, const FileForm &form) = 0;
  // Whether the store has a change of its own to save, one no call made.
  virtual bool HasOwnChanges() const { return false; }
  // The file the changes are written to, as the lines on standard error
  // name it.
  virtual const std::string &Path() const = 0;
};

}  // namespace standin

#endif
