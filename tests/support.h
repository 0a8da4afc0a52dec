// Shared helpers: a private registry file per test, a run of the update
// with its output captured, and a readable dump of what the file holds.
#ifndef LORIMEX_TESTS_SUPPORT_H
#define LORIMEX_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "standin/testing/control.h"
#include "regfile/reg_format.h"

namespace testsupport {

struct RunResult {
  std::string output;
  int status;
};

// The ten banner lines and the progress line every run starts with.
std::string Banner();
// A whole run's output: banner, the given lines, an empty line, the verdict.
std::string Expected(const std::string &lines, bool failed);

// What is written to descriptor 1 or 2 from Start() to Text(), kept in a
// temporary file that stands in for the descriptor meanwhile. The file is
// opened before it is needed, so that a test may use up descriptors.
class Capture {
 public:
  explicit Capture(int fd);
  Capture(const Capture &) = delete;
  Capture &operator=(const Capture &) = delete;
  ~Capture();
  void Start();
  std::string Text();  // stops the capture

 private:
  int fd_, saved_ = -1, file_ = -1;
};

// While it lives, every allocation of `bytes` or more fails with
// std::bad_alloc, as when memory runs out.
class FailingAllocations {
 public:
  explicit FailingAllocations(std::size_t bytes);
  FailingAllocations(const FailingAllocations &) = delete;
  FailingAllocations &operator=(const FailingAllocations &) = delete;
  ~FailingAllocations();
};

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &text);

// "key path" lines, each followed by "  name = type: hex bytes" lines, for
// the subtree at `path`; "(missing)" when it is not there.
std::string DumpTree(const regfile::Key &top, const std::string &path);
std::string HexBytes(const std::string &data);

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  void Load(const std::string &regText);  // "REGEDIT4\n" is put in front
  RunResult Run();
  // Parses the registry file as it is on disk now.
  regfile::Key OnDisk();
  std::string Dump(const std::string &path) { return DumpTree(OnDisk(), path); }

  std::string folder_;
  std::string file_;

 private:
  void RemoveFolder();
};

}  // namespace testsupport

#endif
