#include "tests/support.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>

#include "app/update.h"
#include "regfile/names.h"

namespace {

std::size_t failingFrom = SIZE_MAX;  // see FailingAllocations

void *TryAllocate(std::size_t size) noexcept {
  return size < failingFrom ? std::malloc(size == 0 ? 1 : size) : nullptr;
}

void *Allocate(std::size_t size) {
  void *block = TryAllocate(size);
  if (!block) throw std::bad_alloc();
  return block;
}

}  // namespace

// Every form of new and delete but the aligned ones, so that each block is
// let go by the allocator that made it (a sanitizer's own forms would
// take a block of malloc's for a mismatch).
void *operator new(std::size_t size) { return Allocate(size); }
void *operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void *block) noexcept { std::free(block); }
void operator delete[](void *block) noexcept { std::free(block); }
void operator delete(void *block, std::size_t) noexcept { std::free(block); }
void operator delete[](void *block, std::size_t) noexcept { std::free(block); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept { return TryAllocate(size); }
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept { return TryAllocate(size); }
void operator delete(void *block, const std::nothrow_t &) noexcept { std::free(block); }
void operator delete[](void *block, const std::nothrow_t &) noexcept { std::free(block); }

namespace testsupport {

FailingAllocations::FailingAllocations(std::size_t bytes) { failingFrom = bytes; }
FailingAllocations::~FailingAllocations() { failingFrom = SIZE_MAX; }

std::string Banner() {
  return "\nKelvaro for Windows 95/NT\nlorimex - Configure roaming user\n\n"
         "This program copies Kelvaro information from the .DEFAULT\n"
         "user profile to the current user profile.\n\n"
         "It is useful for adding Kelvaro information to a roaming user profile\n"
         "that was not present on the PC when Kelvaro was installed.\n\n"
         "Updating roaming user.\n";
}

std::string Expected(const std::string &lines, bool failed) {
  return Banner() + lines + "\n" + (failed ? "lorimex completed with errors\n" : "lorimex completed successfully\n");
}

Capture::Capture(int fd) : fd_(fd) {
  char path[] = "/tmp/lorimex-capture-XXXXXX";
  file_ = mkstemp(path);
  unlink(path);
}

Capture::~Capture() {
  Text();
  close(file_);
}

void Capture::Start() {
  std::fflush(fd_ == 1 ? stdout : stderr);
  saved_ = dup(fd_);
  dup2(file_, fd_);
}

std::string Capture::Text() {
  if (saved_ < 0) return {};
  std::fflush(fd_ == 1 ? stdout : stderr);
  dup2(saved_, fd_);
  close(saved_);
  saved_ = -1;
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = pread(file_, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  if (ftruncate(file_, 0) != 0 || lseek(file_, 0, SEEK_SET) != 0) text += "(capture not reset)";
  return text;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

std::string HexBytes(const std::string &data) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (char c : data) {
    auto byte = static_cast<unsigned char>(c);
    if (!hex.empty()) hex.push_back(' ');
    hex.push_back(digits[byte >> 4]);
    hex.push_back(digits[byte & 15]);
  }
  return hex;
}

static void DumpKey(const regfile::Key &key, const std::string &path, std::string &out) {
  out += path + "\n";
  for (const regfile::Value &value : key.values())
    out += "  " + std::string(value.name()) + " = " + std::to_string(value.type()) + ": " +
           HexBytes(std::string(value.data())) + "\n";
  for (const auto &subkey : key.subkeys) DumpKey(*subkey, path + "\\" + subkey->name, out);
}

std::string DumpTree(const regfile::Key &top, const std::string &path) {
  const regfile::Key *key = regfile::FindKeyPath(top, path);
  if (!key) return "(missing)\n";
  std::string out;
  DumpKey(*key, path, out);
  return out;
}

// A test may start afresh by calling SetUp and TearDown itself, a pair for
// each case: the folder of a SetUp that had no TearDown of its own goes
// when the next one comes.
void RegistryTest::SetUp() {
  RemoveFolder();
  char pattern[] = "/tmp/lorimex-test-XXXXXX";
  folder_ = mkdtemp(pattern);
  file_ = folder_ + "/registry.reg";
  setenv("LORIMEX_REGISTRY", file_.c_str(), 1);
  standin::Reset();
}

void RegistryTest::TearDown() {
  standin::Reset();
  RemoveFolder();
}

void RegistryTest::RemoveFolder() {
  if (!folder_.empty()) std::filesystem::remove_all(folder_);
  folder_.clear();
}

void RegistryTest::Load(const std::string &regText) { WriteFile(file_, "REGEDIT4\n\n" + regText); }

RunResult RegistryTest::Run() {
  Capture out(1);
  out.Start();
  int status = RunUpdate();
  return {out.Text(), status};
}

regfile::Key RegistryTest::OnDisk() {
  regfile::Key top;
  regfile::FileForm form;
  regfile::ParseError error;
  EXPECT_TRUE(regfile::Parse(ReadFile(file_), top, form, error)) << error.line << ": " << error.reason;
  return top;
}

}  // namespace testsupport
