#include "standin/hive/cells.h"

#include <cstring>

namespace standin {
namespace hive {
namespace {

// Windows keeps the hive below 2 GB: cell offsets are 31 bits.
constexpr std::uint64_t kMaxBins = 0x7FFFF000u;

std::uint32_t RoundUp(std::uint64_t size, std::uint32_t unit) {
  return static_cast<std::uint32_t>((size + unit - 1) / unit * unit);
}

std::string At(std::uint32_t offset) { return " at offset " + std::to_string(offset); }

}  // namespace

std::uint32_t BaseBlockChecksum(const unsigned char *block) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kChecksum; i += 4) sum ^= Le32(block + i);
  if (sum == 0) return 1;
  if (sum == kNil) return kNil - 1;
  return sum;
}

std::string Image::Load(Bytes bytes) {
  bytes_ = std::move(bytes);
  if (bytes_.size() < kBaseBlock) return "no base block";
  std::uint64_t bins = Le32(&bytes_[kBinsSize]);
  if (bins == 0 || bins % kBinUnit != 0 || bins > kMaxBins || kBaseBlock + bins > bytes_.size())
    return "its base block counts " + std::to_string(bins) + " bytes of hive bins, the file holds " +
           std::to_string(bytes_.size() - kBaseBlock);
  // What follows the bins is no part of the hive.
  bytes_.resize(kBaseBlock + bins);
  cells_.assign(bins / kMinCell, 0);
  bins_.clear();
  for (std::uint32_t at = 0; at < bins;) {
    std::uint32_t size = 0;
    std::string why = CheckBin(at, size);
    if (!why.empty()) return why;
    bins_.push_back(at);
    at += size;
  }
  if (!Is(root(), "nk", kNkName)) return "its root cell" + At(root()) + " is not a key";
  return "";
}

std::string Image::CheckBin(std::uint32_t at, std::uint32_t &size) {
  const unsigned char *bin = &bytes_[kBaseBlock + at];
  size = Le32(bin + 8);
  if (std::memcmp(bin, "hbin", 4) != 0 || Le32(bin + 4) != at) return "no bin header" + At(at);
  if (size == 0 || size % kBinUnit != 0 || size > BinsSize() - at) return "a bin of a wrong size" + At(at);
  for (std::uint32_t cell = at + kBinHeader; cell < at + size;) {
    auto raw = static_cast<std::int32_t>(Le32(&bytes_[kBaseBlock + cell]));
    std::uint32_t length = raw < 0 ? 0u - static_cast<std::uint32_t>(raw) : static_cast<std::uint32_t>(raw);
    if (length < kMinCell || length % kMinCell != 0 || length > at + size - cell)
      return "a cell of a wrong size" + At(cell);
    // As MarkCell, without writing back the size the cell already holds.
    cells_[cell / kMinCell] = static_cast<unsigned char>(kStart | (raw < 0 ? kInUse : 0));
    cell += length;
  }
  return "";
}

void Image::MarkCell(std::uint32_t offset, std::uint32_t size, bool inUse) {
  cells_[offset / kMinCell] = static_cast<unsigned char>(kStart | (inUse ? kInUse : 0));
  PutLe32(&bytes_[kBaseBlock + offset], inUse ? 0u - size : size);
}

std::u16string Image::FileName() const {
  std::u16string name;
  for (std::size_t i = 0; i + 1 < kFileNameSize; i += 2) {
    char16_t unit = Le16(&bytes_[kFileName + i]);
    if (unit == 0) break;
    name.push_back(unit);
  }
  return name;
}

void Image::Free(std::uint32_t offset) {
  std::uint32_t size = Allocated(offset);
  if (size != 0) MarkCell(offset, size, false);
}

void Image::GatherFreeCells() {
  free_.clear();
  for (std::size_t i = 0; i < bins_.size(); ++i) {
    std::uint32_t end = i + 1 < bins_.size() ? bins_[i + 1] : BinsSize();
    std::uint32_t run = 0, runSize = 0;  // the free cells met in a row, joined
    for (std::uint32_t cell = bins_[i] + kBinHeader; cell < end;) {
      std::uint32_t raw = Le32(&bytes_[kBaseBlock + cell]);
      bool inUse = cells_[cell / kMinCell] & kInUse;
      std::uint32_t size = inUse ? 0u - raw : raw;
      if (inUse && runSize > 0) free_.emplace(runSize, run);
      if (inUse) {
        runSize = 0;
      } else if (runSize == 0) {
        run = cell, runSize = size;
      } else {
        cells_[cell / kMinCell] = 0;
        runSize += size;
        PutLe32(&bytes_[kBaseBlock + run], runSize);
      }
      cell += size;
    }
    if (runSize > 0) free_.emplace(runSize, run);
  }
}

std::uint32_t Image::Allocate(std::size_t wanted) {
  std::uint32_t size = RoundUp(wanted < kMinCell ? kMinCell : wanted, kMinCell);
  auto found = free_.lower_bound(size);
  if (found == free_.end()) return AddBin(size);
  std::uint32_t offset = found->second, room = found->first;
  free_.erase(found);
  if (room - size >= kMinCell) {
    MarkCell(offset + size, room - size, false);
    free_.emplace(room - size, offset + size);
  } else {
    size = room;
  }
  MarkCell(offset, size, true);
  return offset;
}

std::uint32_t Image::AddBin(std::size_t size) {
  std::uint64_t binSize = RoundUp(size + kBinHeader, kBinUnit);
  std::uint32_t at = BinsSize();
  if (at + binSize > kMaxBins) return kNil;
  bytes_.resize(bytes_.size() + binSize, 0);
  cells_.resize(cells_.size() + binSize / kMinCell, 0);
  unsigned char *bin = &bytes_[kBaseBlock + at];
  std::memcpy(bin, "hbin", 4);
  PutLe32(bin + 4, at);
  PutLe32(bin + 8, static_cast<std::uint32_t>(binSize));
  bins_.push_back(at);
  std::uint32_t cell = at + kBinHeader, rest = static_cast<std::uint32_t>(binSize - kBinHeader - size);
  MarkCell(cell, static_cast<std::uint32_t>(size), true);
  if (rest > 0) {
    MarkCell(cell + static_cast<std::uint32_t>(size), rest, false);
    free_.emplace(rest, cell + static_cast<std::uint32_t>(size));
  }
  PutLe32(&bytes_[kBinsSize], BinsSize());
  return cell;
}

void Image::Seal(std::uint64_t now) {
  unsigned char *block = bytes_.data();
  std::uint32_t sequence = Le32(block + kSequence1) + 1;
  PutLe32(block + kSequence1, sequence);
  PutLe32(block + kSequence2, sequence);
  PutLe64(block + kWritten, now);
  PutLe64(block + kBaseBlock + kBinWritten, now);
  PutLe32(block + kBinsSize, BinsSize());
  PutLe32(block + kChecksum, BaseBlockChecksum(block));
}

}  // namespace hive
}  // namespace standin
