// The few rules of the hive format that libhivex does not keep as Windows
// does, and the checks of a hive before a run uses it. Offsets and fields
// are those of the published format descriptions.
#ifndef LORIMEX_STANDIN_HIVE_FORMAT_H
#define LORIMEX_STANDIN_HIVE_FORMAT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "standin/api.h"

namespace standin {

// Windows orders the subkeys of a key by their names in upper case, UTF-16
// unit by unit (a shorter name before a longer one it begins), and hashes
// them for "lh" lists the same way: hash = hash * 37 + upper-case unit.
int CompareHiveNames(std::u16string_view a, std::u16string_view b);
std::uint32_t HiveNameHash(std::u16string_view name);

// The checksum of a base block (its first 508 bytes XORed as 32-bit words),
// with Windows' two exceptions: 0 is stored as 1, all ones as all ones - 1.
std::uint32_t BaseBlockChecksum(const unsigned char *block);

// Refuses, with one line on standard error naming the file, a file that is
// not a whole primary hive (ERROR_REGISTRY_CORRUPT), or one that Windows has
// not finished with (ERROR_SHARING_VIOLATION): sequence numbers that differ,
// or a transaction log beside it (.LOG1, .LOG2, .LOG) holding changes newer
// than it.
LONG CheckHiveFile(const std::string &path);

// After libhivex has written the hive to `fd`: puts the subkey lists of
// `grown` (cells of keys that got subkeys) in Windows' order with Windows'
// hashes, stamps the keys of `touched` and the base block with the time of
// the save, and gives the base block its checksum. Returns 0 or an errno.
int FixUpSavedHive(int fd, std::vector<std::uint64_t> grown, const std::vector<std::uint64_t> &touched);

}  // namespace standin

#endif
