// The headers of a profile container, VHDX or VHD, read before qemu opens
// it: a file whose headers are not whole, that holds a log to replay, or
// that is a differencing disk is left alone. qemu would replay the log
// without a word, or write through a header it reads differently.
#ifndef LORIMEX_CONTAINERS_DISK_FORMAT_H
#define LORIMEX_CONTAINERS_DISK_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace containers {

enum class DiskFormat { Unknown, Vhdx, Vhd };

// What the headers say of a container.
struct DiskCheck {
  DiskFormat format = DiskFormat::Unknown;
  // Why it must be left alone, on the profile's line; empty when it may
  // be opened.
  std::string problem;
  // The problem says the disk may be in use (skipped), not that it is
  // damaged or of a kind that cannot be served (failed).
  bool inUse = false;
};

// Reads the headers through `fd` (pread only: the file's offset, bytes and
// times stay as they were; the caller opens it with O_NOATIME).
DiskCheck CheckDisk(int fd);

// "vhdx" or "vpc", as qemu names the format.
const char *FormatName(DiskFormat format);

// CRC-32C (Castagnoli), the checksum of the VHDX headers and region tables.
std::uint32_t Crc32c(const unsigned char *bytes, std::size_t size);

}  // namespace containers

#endif
