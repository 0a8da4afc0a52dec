// A hive file in memory, cell by cell, as the registry's configuration
// manager holds it: the base block, then bins of 4,096 bytes or a multiple,
// tiled with cells. A cell's offset counts from the first bin; its first
// four bytes are its size, negative while it is allocated. Offsets and
// fields are those of the published format descriptions.
#ifndef LORIMEX_STANDIN_HIVE_CELLS_H
#define LORIMEX_STANDIN_HIVE_CELLS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace standin {
namespace hive {

constexpr std::uint32_t kNil = 0xFFFFFFFFu;  // no cell
constexpr std::size_t kBaseBlock = 4096;
constexpr std::uint32_t kBinHeader = 32;
constexpr std::uint32_t kBinUnit = 4096;
// A bin's time stamp: the first bin's is the base block's, which Windows
// falls back on when the base block is damaged.
constexpr std::size_t kBinWritten = 20;

// Base block fields.
constexpr std::size_t kSequence1 = 4, kSequence2 = 8, kWritten = 12, kMajor = 20, kMinor = 24, kFileType = 28,
                      kFormat = 32, kRootCell = 36, kBinsSize = 40, kCluster = 44, kFileName = 48, kFileNameSize = 64,
                      kChecksum = 508;

// Key node ("nk") fields, from the start of the cell (its size included).
constexpr std::size_t kNkFlags = 6, kNkWritten = 8, kNkParent = 20, kNkSubkeyCount = 24, kNkSubkeyList = 32,
                      kNkVolatileList = 36, kNkValueCount = 40, kNkValueList = 44, kNkSecurity = 48, kNkClass = 52,
                      kNkMaxNameLength = 56, kNkMaxValueNameLength = 64, kNkMaxValueDataSize = 68, kNkNameLength = 76,
                      kNkClassLength = 78, kNkName = 80;
constexpr std::uint16_t kNkCompressedName = 0x0020;

// Value ("vk") fields.
constexpr std::size_t kVkNameLength = 6, kVkDataSize = 8, kVkData = 12, kVkType = 16, kVkFlags = 20, kVkName = 24;
constexpr std::uint16_t kVkCompressedName = 0x0001;
constexpr std::uint32_t kVkDataInline = 0x80000000u;  // data of up to 4 bytes held in the data field
constexpr std::uint32_t kMaxInlineData = 4;

// Subkey lists ("lf", "lh", "li", "ri") and big data ("db").
constexpr std::size_t kListCount = 6, kListEntries = 8;
constexpr std::size_t kDbCount = 6, kDbList = 8, kDbCellSize = 12;
// Data beyond this size is held in segments of it, in format 1.4 and later.
constexpr std::uint32_t kMaxCellData = 16344;
// Windows splits a leaf of a subkey list at this many entries (what fits a
// bin of 4,096 bytes), and then indexes the leaves from an "ri" cell.
constexpr std::size_t kMaxLeafEntries = 507;

// Security ("sk") fields.
constexpr std::size_t kSkReferences = 16;

// Little-endian fields, read and written on every cell: inline, as the
// check of a hive reads millions of them.
inline std::uint16_t Le16(const unsigned char *p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t Le32(const unsigned char *p) {
  return p[0] | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16 |
         static_cast<std::uint32_t>(p[3]) << 24;
}
inline void PutLe16(unsigned char *p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
inline void PutLe32(unsigned char *p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void PutLe64(unsigned char *p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// An allocator whose resize leaves new bytes unset: a hive's bytes are read
// over straight away, and zeroing them first would write (and fault in)
// every page of the image one more time. A resize that names a value still
// sets it.
template <class T>
struct LeftUnset : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = LeftUnset<U>;
  };
  LeftUnset() = default;
  template <class U>
  LeftUnset(const LeftUnset<U> &) noexcept {}
  template <class U>
  void construct(U *p) noexcept {
    ::new (static_cast<void *>(p)) U;
  }
  template <class U, class... Args>
  void construct(U *p, Args &&...args) {
    ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
  }
};
// A hive file's bytes.
using Bytes = std::vector<unsigned char, LeftUnset<unsigned char>>;

// The checksum of a base block (its first 508 bytes XORed as 32-bit words),
// with Windows' two exceptions: 0 is stored as 1, all ones as all ones - 1.
std::uint32_t BaseBlockChecksum(const unsigned char *block);

class Image {
 public:
  // Takes the file's bytes, and checks what every later step relies on:
  // the base block's fields, each bin's header, and cells that tile each
  // bin exactly. "" when it is a hive, else what is wrong and where.
  std::string Load(Bytes bytes);

  std::uint32_t minor() const { return Le32(&bytes_[kMinor]); }
  std::uint32_t root() const { return Le32(&bytes_[kRootCell]); }
  const Bytes &bytes() const { return bytes_; }
  // The name the hive gives itself in its base block.
  std::u16string FileName() const;

  // The allocated size of the cell at `offset`, its size field included;
  // 0 when no allocated cell begins there.
  std::uint32_t Allocated(std::uint32_t offset) const {
    if (offset % kMinCell != 0 || offset >= BinsSize() || cells_[offset / kMinCell] != (kStart | kInUse)) return 0;
    return 0u - Le32(&bytes_[kBaseBlock + offset]);
  }
  // The cell's bytes, which hold at least `size` (its size field included),
  // or null when `offset` is no allocated cell that large.
  const unsigned char *Cell(std::uint32_t offset, std::size_t size = 4) const {
    return Allocated(offset) >= size ? &bytes_[kBaseBlock + offset] : nullptr;
  }
  unsigned char *MutableCell(std::uint32_t offset) { return &bytes_[kBaseBlock + offset]; }
  // Whether the allocated cell at `offset` is of the kind `id` ("nk", ...)
  // and holds at least `size` bytes.
  bool Is(std::uint32_t offset, const char *id, std::size_t size) const {
    const unsigned char *cell = Cell(offset, size < 6 ? 6 : size);
    return cell && cell[4] == id[0] && cell[5] == id[1];
  }

  // The writer's side. A new cell of `size` bytes (its size field included):
  // the smallest free cell that holds it, split when enough is left over,
  // or a new bin at the end, as Windows allocates. Free cells must have been
  // gathered first (GatherFreeCells).
  std::uint32_t Allocate(std::size_t size);
  // Marks a cell free; its space is reused after the next GatherFreeCells.
  void Free(std::uint32_t offset);
  // Joins neighbouring free cells within each bin and indexes them by size.
  void GatherFreeCells();
  // Raises the sequence numbers, stamps the base block and the first bin
  // alike, and gives the base block its checksum: the hive as Windows
  // leaves it after a clean write.
  void Seal(std::uint64_t now);

 private:
  static constexpr std::uint32_t kMinCell = 8;
  static constexpr unsigned char kStart = 1, kInUse = 2;
  std::uint32_t BinsSize() const { return static_cast<std::uint32_t>(bytes_.size() - kBaseBlock); }
  std::string CheckBin(std::uint32_t at, std::uint32_t &size);
  void MarkCell(std::uint32_t offset, std::uint32_t size, bool inUse);
  std::uint32_t AddBin(std::size_t size);

  Bytes bytes_;
  // One entry for each 8 bytes of the bins: whether a cell starts there,
  // and whether it is allocated.
  std::vector<unsigned char> cells_;
  std::vector<std::uint32_t> bins_;                   // offsets of the bins, in order
  std::multimap<std::uint32_t, std::uint32_t> free_;  // free cells by size
};

}  // namespace hive
}  // namespace standin

#endif
