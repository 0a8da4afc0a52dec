// libFuzzer target for the hive reader and writer: any input is either
// refused, or checks whole, reads key by key, and once a key with a value
// is added to every key it reached, still checks whole and reads back.
//   tests/fuzz/run.sh FOLDER SECONDS   (builds it with clang and runs it)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "standin/hive/keys.h"

namespace {

using namespace standin::hive;

// Reads every key and value below the root; false at the first damage.
bool ReadAll(const Image &image, std::vector<std::uint32_t> &keys) {
  std::vector<std::uint32_t> pending{image.root()};
  while (!pending.empty() && keys.size() < 4096) {
    std::uint32_t nk = pending.back();
    pending.pop_back();
    keys.push_back(nk);
    std::vector<std::uint32_t> children, cells, values;
    std::uint32_t list = kNil;
    std::u16string name;
    if (!ReadKeyName(image, nk, name).empty() || !ReadSubkeys(image, nk, children, cells).empty() ||
        !ReadValueList(image, nk, values, list).empty())
      return false;
    // Data Windows cannot read fails only when read (see Findings).
    for (std::uint32_t vk : values) {
      ValueRead value;
      if (!ReadValueName(image, vk, value).empty()) return false;
      (void)ReadValueData(image, vk, value);
    }
    pending.insert(pending.end(), children.begin(), children.end());
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  Image image;
  Bytes bytes(data, data + size);
  std::vector<std::uint32_t> keys;
  if (!image.Load(bytes).empty()) return 0;
  Findings found;
  bool whole = CheckHive(image, found).empty();
  if (!ReadAll(image, keys) && whole) std::abort();
  if (!whole) return 0;
  RepairAsLoaded(image, found);
  // A checked hive takes new keys and values anywhere, and stays whole.
  image.GatherFreeCells();
  for (std::uint32_t nk : keys) {
    std::uint32_t child = WriteKeyNode(image, u"new", nk, 0);
    std::uint32_t value = WriteValue(image, u"v", 3, std::string(size % 40000, 'x'));
    if (child == kNil || value == kNil) return 0;
    std::uint32_t list = WriteValueList(image, {value});
    PutLe32(image.MutableCell(child) + kNkValueList, list);
    PutLe32(image.MutableCell(child) + kNkValueCount, 1);
  }
  keys.clear();
  if (!ReadAll(image, keys)) std::abort();
  return 0;
}
