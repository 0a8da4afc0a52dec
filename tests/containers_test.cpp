// Profile containers: their headers read on tiny files made here, and the
// signs that one is in use, without an appliance.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "containers/disk_format.h"
#include "containers/find.h"
#include "containers/in_use.h"

namespace {

using containers::DiskFormat;

void PutLittle(std::string &bytes, std::size_t at, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes[at + i] = char(value >> (8 * i));
}
void PutBig(std::string &bytes, std::size_t at, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes[at + i] = char(value >> (8 * (size - 1 - i)));
}
void PutText(std::string &bytes, std::size_t at, const std::string &text) { bytes.replace(at, text.size(), text); }

// The CRC-32C of `size` bytes at `at`, into the field at `at + 4`.
void SealCrc(std::string &bytes, std::size_t at, std::size_t size) {
  PutLittle(bytes, at + 4, 0, 4);
  PutLittle(bytes, at + 4, containers::Crc32c(reinterpret_cast<const unsigned char *>(&bytes[at]), size), 4);
}

// The VHD checksum of `size` bytes at `at`, into the field at `field`.
void SealVhd(std::string &bytes, std::size_t at, std::size_t size, std::size_t field) {
  PutBig(bytes, field, 0, 4);
  std::uint32_t sum = 0;
  for (std::size_t i = at; i < at + size; ++i) sum += static_cast<unsigned char>(bytes[i]);
  PutBig(bytes, field, ~sum, 4);
}

constexpr std::size_t K = 1024;

// A VHDX of headers only: what the parser reads, nothing of the data.
struct Vhdx {
  std::uint64_t sequence[2] = {1, 2};
  bool logGuid[2] = {false, false};
  bool broken[2] = {false, false};
  bool brokenRegions = false;
  bool hasParent = false;
  bool metadataEntry = true;

  std::string Bytes() const {
    std::string bytes(448 * K, '\0');
    PutText(bytes, 0, "vhdxfile");
    for (int i = 0; i < 2; ++i) {
      std::size_t at = (64 + 64 * i) * K;
      PutText(bytes, at, "head");
      PutLittle(bytes, at + 8, sequence[i], 8);
      if (logGuid[i]) PutText(bytes, at + 48, "a log to replay!");
      PutLittle(bytes, at + 66, 1, 2);
      SealCrc(bytes, at, 4 * K);
      if (broken[i]) bytes[at + 100] ^= 1;
    }
    std::size_t regions = 192 * K;
    PutText(bytes, regions, "regi");
    PutLittle(bytes, regions + 8, metadataEntry ? 2 : 1, 4);
    const unsigned char bat[16] = {0x66, 0x77, 0xC2, 0x2D, 0x23, 0xF6, 0x00, 0x42,
                                   0x9D, 0x64, 0x11, 0x5E, 0x9B, 0xFD, 0x4A, 0x08};
    const unsigned char metadata[16] = {0x06, 0xA2, 0x7C, 0x8B, 0x90, 0x47, 0x9A, 0x4B,
                                        0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E};
    const unsigned char parameters[16] = {0x37, 0x67, 0xA1, 0xCA, 0x36, 0xFA, 0x43, 0x4D,
                                          0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B};
    bytes.replace(regions + 16, 16, reinterpret_cast<const char *>(bat), 16);
    PutLittle(bytes, regions + 32, 1024 * K, 8);
    bytes.replace(regions + 48, 16, reinterpret_cast<const char *>(metadata), 16);
    PutLittle(bytes, regions + 64, 320 * K, 8);
    SealCrc(bytes, regions, 64 * K);
    if (brokenRegions) bytes[regions + 40000] ^= 1;
    PutText(bytes, 320 * K, "metadata");
    PutLittle(bytes, 320 * K + 10, 1, 2);
    bytes.replace(320 * K + 32, 16, reinterpret_cast<const char *>(parameters), 16);
    PutLittle(bytes, 320 * K + 48, 64 * K, 4);
    PutLittle(bytes, 384 * K + 4, hasParent ? 2 : 0, 4);
    return bytes;
  }
};

// A fixed (type 2) VHD, or a dynamic one (3) with its header and an empty
// block table, or a differencing one (4).
struct Vhd {
  std::uint32_t type = 2;
  bool brokenFooter = false;
  bool brokenDynamic = false;
  bool savedState = false;

  std::string Bytes() const {
    std::string footer(512, '\0');
    PutText(footer, 0, "conectix");
    PutBig(footer, 8, 2, 4);
    PutBig(footer, 12, 0x10000, 4);
    PutBig(footer, 16, type == 2 ? ~0ull : 512, 8);
    PutBig(footer, 60, type, 4);
    footer[84] = savedState ? 1 : 0;
    SealVhd(footer, 0, 512, 64);
    if (brokenFooter) footer[100] ^= 1;
    if (type == 2) return std::string(4 * K, '\0') + footer;
    std::string dynamic(1024, '\0');
    PutText(dynamic, 0, "cxsparse");
    PutBig(dynamic, 8, ~0ull, 8);
    PutBig(dynamic, 16, 1536, 8);
    PutBig(dynamic, 24, 0x10000, 4);
    PutBig(dynamic, 28, 1, 4);
    PutBig(dynamic, 32, 2 * K * K, 4);
    SealVhd(dynamic, 0, 1024, 36);
    if (brokenDynamic) dynamic[700] ^= 1;
    return footer + dynamic + std::string(512, '\xff') + footer;
  }
};

class ContainersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/lorimex-containers-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    folder_ = name;
  }
  void TearDown() override { EXPECT_EQ(std::system(("rm -rf '" + folder_ + "'").c_str()), 0); }
  std::string Write(const std::string &name, const std::string &bytes) {
    std::string path = folder_ + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fd);
    return path;
  }
  containers::DiskCheck Check(const std::string &bytes) {
    int fd = open(Write("Profile_u.vhdx", bytes).c_str(), O_RDONLY);
    containers::DiskCheck check = containers::CheckDisk(fd);
    close(fd);
    return check;
  }

  std::string folder_;
};

TEST(Crc32c, IsCastagnolis) {
  const char *text = "123456789";
  EXPECT_EQ(containers::Crc32c(reinterpret_cast<const unsigned char *>(text), 9), 0xE3069283u);
}

TEST_F(ContainersTest, HeadersSayWhetherTheDiskMayBeOpened) {
  struct Case {
    const char *what;
    std::string bytes;
    DiskFormat format;
    std::string problem;  // empty: usable
    bool inUse;
  };
  auto vhdx = [](void (*change)(Vhdx &)) {
    Vhdx disk;
    change(disk);
    return disk.Bytes();
  };
  auto vhd = [](void (*change)(Vhd &)) {
    Vhd disk;
    change(disk);
    return disk.Bytes();
  };
  const std::string bothHeaders = "both its VHDX headers are damaged (bad signature or checksum)";
  const std::string log = "its VHDX log holds writes not yet applied (LogGuid set): Windows replays it at the next mount";
  const std::string differencing = "it is a differencing disk, its blocks partly in its parent";
  const Case cases[] = {
      {"whole VHDX", vhdx([](Vhdx &) {}), DiskFormat::Vhdx, "", false},
      {"older header broken", vhdx([](Vhdx &d) { d.broken[0] = true; }), DiskFormat::Vhdx, "", false},
      {"newer header broken, the older's log left behind",
       vhdx([](Vhdx &d) { d.broken[1] = d.logGuid[0] = true; }), DiskFormat::Vhdx, log, true},
      {"both headers broken", vhdx([](Vhdx &d) { d.broken[0] = d.broken[1] = true; }), DiskFormat::Vhdx, bothHeaders,
       false},
      {"log in the current header", vhdx([](Vhdx &d) { d.logGuid[1] = true; }), DiskFormat::Vhdx, log, true},
      {"log in the first header, current by its sequence",
       vhdx([](Vhdx &d) { d.sequence[0] = 7, d.logGuid[0] = true; }), DiskFormat::Vhdx, log, true},
      {"log only in the older header", vhdx([](Vhdx &d) { d.logGuid[0] = true; }), DiskFormat::Vhdx, "", false},
      {"region table broken", vhdx([](Vhdx &d) { d.brokenRegions = true; }), DiskFormat::Vhdx,
       "its VHDX region table is damaged (bad signature or checksum)", false},
      {"no metadata region", vhdx([](Vhdx &d) { d.metadataEntry = false; }), DiskFormat::Vhdx,
       "its VHDX region table lacks the block table or the metadata", false},
      {"VHDX with a parent", vhdx([](Vhdx &d) { d.hasParent = true; }), DiskFormat::Vhdx, differencing, true},
      {"fixed VHD", vhd([](Vhd &) {}), DiskFormat::Vhd, "", false},
      {"dynamic VHD", vhd([](Vhd &d) { d.type = 3; }), DiskFormat::Vhd, "", false},
      {"VHD footer broken", vhd([](Vhd &d) { d.brokenFooter = true; }), DiskFormat::Vhd,
       "its VHD footer is damaged (bad cookie or checksum)", false},
      {"dynamic header broken", vhd([](Vhd &d) { d.type = 3, d.brokenDynamic = true; }), DiskFormat::Vhd,
       "its VHD dynamic disk header is damaged (bad cookie or checksum)", false},
      {"differencing VHD", vhd([](Vhd &d) { d.type = 4; }), DiskFormat::Vhd, differencing, true},
      {"VHD in a saved state", vhd([](Vhd &d) { d.savedState = true; }), DiskFormat::Vhd,
       "its VHD footer says it holds a saved state", true},
      {"unknown VHD type", vhd([](Vhd &d) { d.type = 5; }), DiskFormat::Vhd,
       "its VHD footer names an unknown disk type", false},
      {"neither", std::string(4096, 'x'), DiskFormat::Unknown,
       "neither a VHDX nor a VHD (no \"vhdxfile\" at its start, no \"conectix\" footer)", false},
      {"cut short", vhdx([](Vhdx &) {}).substr(0, 100 * K), DiskFormat::Vhdx,
       "its VHDX region table is damaged (bad signature or checksum)", false},
  };
  for (const Case &c : cases) {
    containers::DiskCheck check = Check(c.bytes);
    EXPECT_EQ(check.format, c.format) << c.what;
    EXPECT_EQ(check.problem, c.problem) << c.what;
    EXPECT_EQ(check.inUse, c.inUse) << c.what;
  }
}

TEST_F(ContainersTest, NamesAndDisksBesideSayWhatIsAContainerAndWhatIsInUse) {
  struct Case {
    std::vector<const char *> files;  // the first is the container
    std::string beside;
  };
  const Case cases[] = {
      {{"Profile_alice.vhdx"}, ""},
      {{"Profile_alice.vhdx", "RW.VHDX"}, "RW.VHDX"},
      {{"profile_bob.VHD", "rw.vhd"}, "rw.vhd"},
      {{"Profile_carol.vhdx", "ODFC_carol.vhdx", "Profile_carol.vhdx.lock", "notes.txt"}, ""},
      {{"Profile_dan.vhdx", "Profile_dan.vhd"}, "Profile_dan.vhd"},
  };
  for (const Case &c : cases) {
    for (const char *file : c.files) Write(file, "");
    std::string beside;
    EXPECT_TRUE(containers::DiskBeside(folder_ + "/" + c.files[0], beside));
    EXPECT_EQ(beside, c.beside) << c.files[0];
    for (const char *file : c.files) unlink((folder_ + "/" + file).c_str());
  }
  for (const char *name : {"Profile_alice.vhdx", "PROFILE_x.VHD", "profile_S-1-5-21-1_bob.vhdx"})
    EXPECT_TRUE(containers::IsContainerName(name)) << name;
  for (const char *name : {"ODFC_alice.vhdx", "Profile_alice.vhdx.lock", "RW.VHDX", "alice.vhdx", "Profile_a.vmdk"})
    EXPECT_FALSE(containers::IsContainerName(name)) << name;
}

TEST_F(ContainersTest, TheLeaseFailsWhileTheFileIsOpenAndBreaksWhenItIsOpened) {
  std::string path = Write("Profile_u.vhdx", "disk");
  int fd = open(path.c_str(), O_RDWR);
  int other = open(path.c_str(), O_RDONLY);
  EXPECT_EQ(containers::TakeLease(fd), EAGAIN);
  close(other);
  ASSERT_EQ(containers::TakeLease(fd), 0);
  EXPECT_FALSE(containers::LeaseBroken(fd));
  // An opener that does not wait is refused, and the holder told.
  EXPECT_EQ(open(path.c_str(), O_RDONLY | O_NONBLOCK), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  EXPECT_TRUE(containers::LeaseBroken(fd));
  containers::GiveUpLease(fd);
  other = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_GE(other, 0);
  close(other);
  close(fd);
}

TEST(SambaListing, NamesTheContainersItsClientsHold) {
  const std::string listing =
      "\nLocked files:\n"
      "Pid          User(ID)   DenyMode   Access      R/W        Oplock           SharePath   Name   Time\n"
      "-------------------------------------------------------------------------------------------------\n"
      "4242         10001      DENY_NONE  0x12019f    RDWR       LEASE(RWH)       /srv/profiles   "
      "S-1-5-21-1_alice/Profile_alice.vhdx   Tue Dec  8 04:00:00 2026\n"
      "4243         10002      DENY_WRITE 0x120089    RDONLY     NONE             /srv   "
      "profiles/bob smith/Profile_bob.vhdx   Tue Dec  8 04:00:01 2026\n";
  struct Case {
    const char *path;
    bool listed;
  };
  const Case cases[] = {
      {"/srv/profiles/S-1-5-21-1_alice/Profile_alice.vhdx", true},
      {"/srv/profiles/bob smith/Profile_bob.vhdx", true},
      {"/srv/profiles/S-1-5-21-1_alice/Profile_al.vhdx", false},
      {"/srv/profiles/carol/Profile_carol.vhdx", false},
      {"/other/S-1-5-21-1_alice/Profile_alice.vhdx", false},
  };
  for (const Case &c : cases) EXPECT_EQ(containers::ListedOpen(listing, c.path), c.listed) << c.path;
  EXPECT_FALSE(containers::ListedOpen("No locked files\n", cases[0].path));
}

}  // namespace
