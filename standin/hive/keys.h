// Keys and values in a hive's cells: read as Windows reads them, checked as
// its loader checks them, and written as it writes them. Every reader says
// what is wrong ("" when nothing is) and lists the cells it went through,
// so that the writer frees only cells a key was shown to own.
#ifndef LORIMEX_STANDIN_HIVE_KEYS_H
#define LORIMEX_STANDIN_HIVE_KEYS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "standin/hive/cells.h"

namespace standin {

// Windows orders the subkeys of a key by their names in upper case (by its
// own table: see casefold.h), UTF-16 unit by unit (a shorter name before a
// longer one it begins), and hashes them for "lh" lists the same way:
// hash = hash * 37 + upper-case unit.
int CompareHiveNames(std::u16string_view a, std::u16string_view b);
std::uint32_t HiveNameHash(std::u16string_view name);

namespace hive {

// The name of a key node, of which at least the fixed fields are there.
std::string ReadKeyName(const Image &image, std::uint32_t nk, std::u16string &name);
// "key A\\B" by the parent links from the root ("the root key"), for the
// lines that say where a hive is damaged.
std::string KeyPath(const Image &image, std::uint32_t nk);
// The subkeys of a key, in the order of its list, and the list's cells: as
// many as the list holds, whatever the key's count says, unless that is 0.
std::string ReadSubkeys(const Image &image, std::uint32_t nk, std::vector<std::uint32_t> &children,
                        std::vector<std::uint32_t> &cells);
// The values of a key, in the order of its list, and the list's cell (kNil
// when it has none).
std::string ReadValueList(const Image &image, std::uint32_t nk, std::vector<std::uint32_t> &values,
                          std::uint32_t &cell);

struct ValueRead {
  std::u16string name;
  std::uint32_t type = 0;
  std::string data;
  std::vector<std::uint32_t> cells;  // those of its data
};
std::string ReadValue(const Image &image, std::uint32_t vk, ValueRead &value);
// The two halves of ReadValue: the value's name and type, then its data.
std::string ReadValueName(const Image &image, std::uint32_t vk, ValueRead &value);
std::string ReadValueData(const Image &image, std::uint32_t vk, ValueRead &value);
// Whether the value and its name are whole, the name not copied.
std::string CheckValueName(const Image &image, std::uint32_t vk);
// The same without copying the data: its cells checked and listed only.
std::string ReadValueData(const Image &image, std::uint32_t vk, ValueRead &value, bool copy);

// What the check finds that Windows' loader lets through. Windows does not
// look for cells that more than one key leads to (value lists, values,
// their data, classes), nor reads value data before it is asked for: a
// save must neither free those cells nor change them in place. It repairs,
// as it loads, a security cell that counts other than the keys that use
// it, a class length without a class cell, a subkey count other than its
// list holds, and a Parent field that names another key than the one
// whose list holds the key.
struct Findings {
  std::unordered_set<std::uint32_t> shared;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> securityCounts;  // the cell, the keys that use it
  std::vector<std::uint32_t> classless;                                 // key nodes
  std::vector<std::pair<std::uint32_t, std::uint32_t>> subkeyCounts;    // the key node, the keys its list holds
  std::vector<std::pair<std::uint32_t, std::uint32_t>> parents;         // the key node, the key that lists it
};

// Checks every key from the root as Windows' loader does, and more: each
// cell a key leads to is allocated, of the kind expected and large enough
// (value data aside, see Findings); no key node, subkey list or security
// cell serves as anything else; no key lists itself or a key above it (a
// cycle). A key that two keys list, or a list two keys hold, Windows loads:
// it is gone through once, and a list so held is never freed nor changed
// in place. "" or what is wrong, and at which key; `found` gets the rest.
std::string CheckHive(const Image &image, Findings &found);
// Repairs in memory what Windows' loader repairs (see Findings): a save
// writes it, as Windows writes a hive it repaired at its next flush.
void RepairAsLoaded(Image &image, const Findings &found);
// Whether Windows' lookup by name finds each subkey of a key: its list in
// Windows' order, each "lh" entry with its name's hash, each "lf" entry
// with its hint, no leaf of an index empty. Windows writes lists so.
bool Searchable(const Image &image, std::uint32_t nk);
// Whether that lookup finds the subkey `child` of `nk`: the child's own
// entry right (a wrong entry of another key hides only that key). A list out
// of Windows' order is not taken to hide it: whether it does depends on
// where Windows' search by halves falls, and the user's settings are kept
// where that is not known.
bool Findable(const Image &image, std::uint32_t nk, std::uint32_t child);

// The writer. Each returns the new cell, or kNil when the hive cannot grow.
// A key node named `name` below `parent`, with the parent's security.
std::uint32_t WriteKeyNode(Image &image, std::u16string_view name, std::uint32_t parent, std::uint64_t now);
// A value, its data in a cell of its own, in segments beyond kMaxCellData
// (format 1.4 and later), or within the value when it is small.
std::uint32_t WriteValue(Image &image, std::u16string_view name, std::uint32_t type, std::string_view data);
// Gives an existing value new data and type; false when the hive cannot
// grow. Its old data cells are freed.
bool ReplaceValueData(Image &image, std::uint32_t vk, std::uint32_t type, std::string_view data,
                      const std::vector<std::uint32_t> &oldCells);
std::uint32_t WriteValueList(Image &image, const std::vector<std::uint32_t> &values);
// A subkey list of `children`, which are in Windows' order: one leaf, or
// leaves of at most kMaxLeafEntries under an "ri" index.
struct Child {
  std::u16string name;
  std::uint32_t node;
};
std::uint32_t WriteSubkeyList(Image &image, const std::vector<Child> &children);
// Raises the largest name and data sizes a key node records, as its new
// subkey or value needs.
void NoteSubkeyName(Image &image, std::uint32_t nk, std::size_t units);
void NoteValue(Image &image, std::uint32_t nk, std::size_t nameUnits, std::size_t dataSize);

}  // namespace hive
}  // namespace standin

#endif
