// A hive file as a whole: the checks of a file before a run uses it,
// reading it and writing it.
#ifndef LORIMEX_STANDIN_HIVE_FORMAT_H
#define LORIMEX_STANDIN_HIVE_FORMAT_H

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "standin/api.h"
#include "standin/hive/cells.h"

namespace standin {

// The line that refuses a file or cell that is no hive Windows would use,
// saying why; ERROR_REGISTRY_CORRUPT.
LONG NotAHive(const std::string &path, const std::string &why);

// Refuses, with one line on standard error naming the file, a file that is
// not a whole primary hive (ERROR_REGISTRY_CORRUPT), or one that Windows has
// not finished with (ERROR_SHARING_VIOLATION): sequence numbers that differ,
// or a transaction log beside it (.LOG1, .LOG2, .LOG) holding changes newer
// than it.
LONG CheckHiveFile(const std::string &path);

// The whole file, or a status with one line on standard error; `read`, when
// given, gets what fstat says of the file read.
LONG ReadHiveFile(const std::string &path, hive::Bytes &bytes, struct stat *read = nullptr);
// Whether `path` is still the file `read` describes, unchanged since: the
// same file, size and times of change.
bool SameHiveFile(const std::string &path, const struct stat &read);
// Writes a hive's bytes to `fd`; 0 or an errno.
int WriteHiveFile(int fd, const hive::Bytes &bytes);

// What a hive is by the name it gives itself in its base block (the last
// characters of the path it was loaded from, or the bare file name), in any
// case, when that is one every profile or the machine itself depends on:
// the default profile's (DEFAULT, ...\Config\DEFAULT,
// ...\Users\Default\NTUSER.DAT), a service account's
// (...\LocalService\NTUSER.DAT, ...) or a machine hive (SYSTEM, SOFTWARE,
// SAM, SECURITY, COMPONENTS, DRIVERS, ELAM, BCD, ..., bare or at the end of
// a path). "" for a user's, or none.
std::string SharedHiveKind(std::u16string_view name);

}  // namespace standin

#endif
