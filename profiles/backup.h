// The old hive kept before a save replaces it, so that an administrator
// can put a profile back as it was.
#ifndef LORIMEX_PROFILES_BACKUP_H
#define LORIMEX_PROFILES_BACKUP_H

#include <string>

#include "registry/registry.h"

namespace profiles {

// Where the backup of `hive`, found below `profilesDir`, goes:
// backupDir/<its path below profilesDir>.
std::string BackupPathOf(const std::string &backupDir, const std::string &profilesDir, const std::string &hive);

// Copies the hive open at `fd` to `backup`, with its owner and mode, by
// way of a temporary file beside it, folders made as needed. A backup that
// is there already is kept: the oldest is the one to restore. A status,
// with `why`, when the copy cannot be made whole; the hive must then not
// be replaced.
LONG BackUpHive(int fd, const std::string &backup, std::string &why);
// Removes the temporary files a killed service left beside `backup`. Only
// while the hive is locked: no other service is backing it up then.
void RemoveStrayBackups(const std::string &backup);

}  // namespace profiles

#endif
