#include "containers/disk_format.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace containers {
namespace {

// The VHDX layout: the file type identifier, two headers and two region
// tables at fixed offsets.
constexpr off_t kVhdxHeaderAt[2] = {64 * 1024, 128 * 1024};
constexpr std::size_t kVhdxHeaderSize = 4096;
constexpr off_t kVhdxRegionTableAt = 192 * 1024;
constexpr std::size_t kVhdxRegionTableSize = 64 * 1024;
constexpr std::size_t kMetadataTableSize = 64 * 1024;
constexpr std::uint32_t kMostRegions = 2047;
// Within a header: the checksum, sequence number, LogGuid and version.
constexpr std::size_t kChecksumAt = 4, kSequenceAt = 8, kLogGuidAt = 48, kVersionAt = 66;

// The VHD footer and the dynamic disk header, big-endian.
constexpr std::size_t kFooterSize = 512, kDynamicHeaderSize = 1024;
constexpr std::size_t kFooterDataOffsetAt = 16, kFooterTypeAt = 60, kFooterChecksumAt = 64, kSavedStateAt = 84;
constexpr std::size_t kDynamicChecksumAt = 36;
enum VhdType : std::uint32_t { kFixed = 2, kDynamic = 3, kDifferencing = 4 };

using Bytes = std::vector<unsigned char>;

std::uint32_t Little32(const unsigned char *p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24; }
std::uint64_t Little64(const unsigned char *p) { return Little32(p) | std::uint64_t(Little32(p + 4)) << 32; }
std::uint16_t Little16(const unsigned char *p) { return std::uint16_t(p[0] | p[1] << 8); }
std::uint32_t Big32(const unsigned char *p) { return std::uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
std::uint64_t Big64(const unsigned char *p) { return std::uint64_t(Big32(p)) << 32 | Big32(p + 4); }

// `size` bytes at `offset`, or false when the file ends before them.
bool ReadAt(int fd, off_t offset, std::size_t size, Bytes &bytes) {
  bytes.assign(size, 0);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = pread(fd, bytes.data() + done, size - done, offset + off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += std::size_t(n);
  }
  return true;
}

bool Starts(const Bytes &bytes, const char *signature) {
  return bytes.size() >= std::strlen(signature) && std::memcmp(bytes.data(), signature, std::strlen(signature)) == 0;
}

// The CRC-32C of a structure whose own checksum field counts as zero.
std::uint32_t ChecksumWithout(Bytes bytes, std::size_t at) {
  std::memset(bytes.data() + at, 0, 4);
  return Crc32c(bytes.data(), bytes.size());
}

// A GUID as the file stores it: the first three fields little-endian.
using Guid = std::array<unsigned char, 16>;
constexpr Guid kBatRegion = {0x66, 0x77, 0xC2, 0x2D, 0x23, 0xF6, 0x00, 0x42,
                             0x9D, 0x64, 0x11, 0x5E, 0x9B, 0xFD, 0x4A, 0x08};
constexpr Guid kMetadataRegion = {0x06, 0xA2, 0x7C, 0x8B, 0x90, 0x47, 0x9A, 0x4B,
                                  0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E};
constexpr Guid kFileParameters = {0x37, 0x67, 0xA1, 0xCA, 0x36, 0xFA, 0x43, 0x4D,
                                  0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B};

bool IsGuid(const unsigned char *p, const Guid &guid) { return std::memcmp(p, guid.data(), guid.size()) == 0; }

DiskCheck Usable(DiskFormat format) { return {format, "", false}; }
DiskCheck Damaged(DiskFormat format, const std::string &why) { return {format, why, false}; }
DiskCheck InUse(DiskFormat format, const std::string &why) { return {format, why, true}; }

// The current header: the valid one with the higher sequence number.
bool CurrentVhdxHeader(int fd, Bytes &current) {
  bool found = false;
  std::uint64_t sequence = 0;
  for (off_t at : kVhdxHeaderAt) {
    Bytes header;
    if (!ReadAt(fd, at, kVhdxHeaderSize, header) || !Starts(header, "head")) continue;
    if (ChecksumWithout(header, kChecksumAt) != Little32(&header[kChecksumAt])) continue;
    if (Little16(&header[kVersionAt]) != 1) continue;
    if (found && Little64(&header[kSequenceAt]) <= sequence) continue;
    found = true;
    sequence = Little64(&header[kSequenceAt]);
    current = std::move(header);
  }
  return found;
}

// Whether the metadata region's file parameters say the disk has a parent.
// Empty `why` and false when it has none.
bool HasParent(int fd, std::uint64_t region, std::string &why) {
  Bytes table;
  if (!ReadAt(fd, off_t(region), kMetadataTableSize, table) || !Starts(table, "metadata")) {
    why = "its VHDX metadata table is damaged";
    return false;
  }
  std::uint16_t entries = Little16(&table[10]);
  for (std::size_t i = 0; i < entries && 32 + (i + 1) * 32 <= table.size(); ++i) {
    const unsigned char *entry = &table[32 + i * 32];
    if (!IsGuid(entry, kFileParameters)) continue;
    Bytes parameters;
    if (!ReadAt(fd, off_t(region + Little32(entry + 16)), 8, parameters)) break;
    return (Little32(&parameters[4]) & 2) != 0;
  }
  why = "its VHDX metadata has no file parameters";
  return false;
}

DiskCheck CheckVhdx(int fd) {
  const DiskFormat vhdx = DiskFormat::Vhdx;
  Bytes header;
  if (!CurrentVhdxHeader(fd, header)) return Damaged(vhdx, "both its VHDX headers are damaged (bad signature or checksum)");
  static const unsigned char zero[16] = {};
  if (std::memcmp(&header[kLogGuidAt], zero, sizeof zero) != 0)
    return InUse(vhdx,
                 "its VHDX log holds writes not yet applied (LogGuid set): Windows replays it at the next mount");
  Bytes regions;
  if (!ReadAt(fd, kVhdxRegionTableAt, kVhdxRegionTableSize, regions) || !Starts(regions, "regi") ||
      ChecksumWithout(regions, kChecksumAt) != Little32(&regions[kChecksumAt]) ||
      Little32(&regions[8]) > kMostRegions)
    return Damaged(vhdx, "its VHDX region table is damaged (bad signature or checksum)");
  std::uint64_t metadata = 0;
  bool bat = false;
  for (std::uint32_t i = 0, count = Little32(&regions[8]); i < count; ++i) {
    const unsigned char *entry = &regions[16 + i * 32];
    bat |= IsGuid(entry, kBatRegion);
    if (IsGuid(entry, kMetadataRegion)) metadata = Little64(entry + 16);
  }
  if (!bat || metadata == 0) return Damaged(vhdx, "its VHDX region table lacks the block table or the metadata");
  std::string why;
  if (HasParent(fd, metadata, why)) return InUse(vhdx, "it is a differencing disk, its blocks partly in its parent");
  return why.empty() ? Usable(vhdx) : Damaged(vhdx, why);
}

// The VHD checksum: the ones' complement of the sum of the bytes, its own
// field left out.
std::uint32_t VhdChecksum(const Bytes &bytes, std::size_t at) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i < at || i >= at + 4) sum += bytes[i];
  }
  return ~sum;
}

DiskCheck CheckVhd(int fd, off_t size) {
  const DiskFormat vhd = DiskFormat::Vhd;
  Bytes footer;
  if (size < off_t(kFooterSize) || !ReadAt(fd, size - off_t(kFooterSize), kFooterSize, footer) ||
      !Starts(footer, "conectix") || VhdChecksum(footer, kFooterChecksumAt) != Big32(&footer[kFooterChecksumAt]))
    return Damaged(vhd, "its VHD footer is damaged (bad cookie or checksum)");
  if (footer[kSavedStateAt] != 0) return InUse(vhd, "its VHD footer says it holds a saved state");
  switch (Big32(&footer[kFooterTypeAt])) {
    case kFixed:
      return Usable(vhd);
    case kDynamic:
      break;
    case kDifferencing:
      return InUse(vhd, "it is a differencing disk, its blocks partly in its parent");
    default:
      return Damaged(vhd, "its VHD footer names an unknown disk type");
  }
  Bytes dynamic;
  std::uint64_t at = Big64(&footer[kFooterDataOffsetAt]);
  if (at > std::uint64_t(size) || !ReadAt(fd, off_t(at), kDynamicHeaderSize, dynamic) || !Starts(dynamic, "cxsparse") ||
      VhdChecksum(dynamic, kDynamicChecksumAt) != Big32(&dynamic[kDynamicChecksumAt]))
    return Damaged(vhd, "its VHD dynamic disk header is damaged (bad cookie or checksum)");
  return Usable(vhd);
}

}  // namespace

std::uint32_t Crc32c(const unsigned char *bytes, std::size_t size) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> entries{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t crc = i;
      for (int bit = 0; bit < 8; ++bit) crc = crc & 1 ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
      entries[i] = crc;
    }
    return entries;
  }();
  std::uint32_t crc = ~0u;
  for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

DiskCheck CheckDisk(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return Damaged(DiskFormat::Unknown, std::string("cannot be read: ") + std::strerror(errno));
  Bytes start;
  if (ReadAt(fd, 0, 8, start) && Starts(start, "vhdxfile")) return CheckVhdx(fd);
  Bytes end;
  if ((ReadAt(fd, 0, 8, start) && Starts(start, "conectix")) ||
      (st.st_size >= off_t(kFooterSize) && ReadAt(fd, st.st_size - off_t(kFooterSize), 8, end) && Starts(end, "conectix")))
    return CheckVhd(fd, st.st_size);
  return Damaged(DiskFormat::Unknown, "neither a VHDX nor a VHD (no \"vhdxfile\" at its start, no \"conectix\" footer)");
}

const char *FormatName(DiskFormat format) {
  return format == DiskFormat::Vhdx ? "vhdx" : format == DiskFormat::Vhd ? "vpc" : "raw";
}

}  // namespace containers
