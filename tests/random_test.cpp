// Random source and destination trees with random injected failures,
// checked against a model of what the run must do: the exact output lines,
// the verdict, the resulting registry, an untouched source and every handle
// closed once.
#include <random>
#include <set>
#include <string>
#include <vector>

#include "regfile/names.h"
#include "registry/text.h"
#include "tests/support.h"

namespace {

using standin::Fault;
using standin::Op;

constexpr int kRounds = 400;
constexpr std::size_t kNameCapacity = 512;
constexpr std::size_t kDataCapacity = 2048;
constexpr int kMaxDepth = 512;

// Text travels as UTF-16: twice the room, counted in units.
bool DataFits(const regfile::Value &value) {
  if (!regtext::IsTextType(value.type())) return value.data().size() <= kDataCapacity;
  return 2 * regfile::CountUtf16Units(value.data()) <= 2 * kDataCapacity;
}
const std::string kSourceRoot = "HKEY_USERS\\.DEFAULT\\Software";
const std::string kDestinationRoot = "HKEY_CURRENT_USER\\Software";

class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool OneIn(int n) { return Below(n) == 0; }

  std::string Name(bool forKey) {
    static const int lengths[] = {1, 2, 3, 5, 8, 511, 512, 600};
    std::size_t length = static_cast<std::size_t>(lengths[OneIn(8) ? Below(8) : Below(5)]);
    if (!forKey && OneIn(10)) return "";
    // Few letters in both cases, so that names meet again differing in case.
    static const char letters[] = "aAbBcC_\\ ";
    std::string name;
    for (std::size_t i = 0; i < length; ++i) name.push_back(letters[Below(forKey ? 7 : 9)]);
    return name;
  }

  std::string Data() {
    static const int sizes[] = {0, 1, 4, 7, 2047, 2048, 2049, 4000};
    std::string data(static_cast<std::size_t>(sizes[OneIn(6) ? Below(8) : Below(5)]), '\0');
    for (char &c : data) c = static_cast<char>(Below(256));
    return data;
  }

  std::uint32_t Type() {
    static const std::uint32_t types[] = {0, 1, 2, 3, 4, 7, 11, 0xFFFFFFFFu};
    return OneIn(5) ? static_cast<std::uint32_t>(rng_()) : types[Below(8)];
  }

  void Fill(regfile::Key &key, int depth) {
    for (int i = Below(4); i > 0; --i) key.SetValue(Name(false), Type(), Data());
    if (depth >= 4) return;
    for (int i = Below(depth == 1 ? 4 : 3); i > 0; --i) Fill(regfile::FindOrAddSubkey(key, Name(true)), depth + 1);
  }

 private:
  std::mt19937 rng_;
};

// What the run must do, given the trees and the injected failures.
class Model {
 public:
  Model(const std::vector<Fault> &faults, regfile::Key &top) : faults_(faults), top_(top) {}

  std::string Run(bool &failed) {
    regfile::Key *users = regfile::FindSubkey(top_, "HKEY_USERS");
    regfile::Key *sourceRoot = users ? regfile::FindKeyPath(*users, ".DEFAULT\\Software") : nullptr;
    if (!sourceRoot || Fails(Op::Open, kSourceRoot)) {
      Line("Error " + std::to_string(sourceRoot ? Status(Op::Open, kSourceRoot) : 2) +
           " occurred opening Software key for .DEFAULT user");
      return Finish(true);
    }
    regfile::Key *destinationRoot = regfile::FindKeyPath(top_, "HKEY_CURRENT_USER\\Software");
    if (!destinationRoot || Fails(Op::Open, kDestinationRoot)) {
      Line("Error " + std::to_string(destinationRoot ? Status(Op::Open, kDestinationRoot) : 2) +
           " occurred opening Current User Software key");
      failed = true;
    } else {
      if (!Fails(Op::Create, kDestinationRoot + "\\Norvane")) regfile::FindOrAddSubkey(*destinationRoot, "Norvane");
      Copy(*sourceRoot, kSourceRoot, *destinationRoot, kDestinationRoot, "Norvane\\Kelvaro", 1);
    }
    if (Fails(Op::Close, kSourceRoot))
      Line("Error " + std::to_string(Status(Op::Close, kSourceRoot)) + " occurred closing Default User key");
    if (destinationRoot && !failed && Fails(Op::Close, kDestinationRoot))
      Line("Error " + std::to_string(Status(Op::Close, kDestinationRoot)) + " occurred closing current user key");
    return Finish(failed || !lines_.empty());
  }

 private:
  const Fault *Find(Op op, const std::string &path, const std::string *valueName = nullptr, long index = -1) const {
    for (const Fault &f : faults_) {
      if (f.op != op || !regfile::EqualNoCase(f.keyPath, path)) continue;
      if (f.valueName && !(valueName && regfile::EqualNoCase(*f.valueName, *valueName))) continue;
      if (f.index >= 0 && f.index != index) continue;
      return &f;
    }
    return nullptr;
  }
  bool Fails(Op op, const std::string &path, const std::string *valueName = nullptr, long index = -1) const {
    return Find(op, path, valueName, index) != nullptr;
  }
  LONG Status(Op op, const std::string &path) const { return Find(op, path)->status; }

  void Line(const std::string &text) { lines_ += text + "\n"; }

  std::string Finish(bool failed) { return testsupport::Expected(lines_, failed); }

  void Copy(regfile::Key &sourceParent, const std::string &sourceParentPath, regfile::Key &destinationParent,
            const std::string &destinationParentPath, const std::string &name, int depth) {
    std::string sourcePath = sourceParentPath + "\\" + name;
    std::string destinationPath = destinationParentPath + "\\" + name;
    std::vector<std::string_view> names;
    regfile::SplitKeyPath(name, names);
    regfile::Key *source = regfile::FindKeyPath(sourceParent, names);
    if (depth > kMaxDepth || !source || Fails(Op::Open, sourcePath)) {
      Line("Error opening source key " + name);
      return;
    }
    if (Fails(Op::Create, destinationPath)) {
      Line("Error creating destination key " + name);
      return;
    }
    regfile::Key *destination = &destinationParent;
    for (std::string_view part : names) destination = &regfile::FindOrAddSubkey(*destination, part);
    CopyValues(*source, sourcePath, *destination, destinationPath, depth);
    for (std::size_t index = 0;; ++index) {
      if (Fails(Op::EnumKey, sourcePath, nullptr, static_cast<long>(index)) ||
          (index < source->subkeys.size() && source->subkeys[index]->name.size() >= kNameCapacity)) {
        Line("Error enumerating value at index " + std::to_string(index));
        break;
      }
      if (index >= source->subkeys.size()) break;
      Copy(*source, sourcePath, *destination, destinationPath, source->subkeys[index]->name, depth + 1);
    }
  }

  void CopyValues(const regfile::Key &source, const std::string &sourcePath, regfile::Key &destination,
                  const std::string &destinationPath, int depth) {
    for (std::size_t index = 0;; ++index) {
      bool exists = index < source.values().size();
      if (Fails(Op::EnumValue, sourcePath, nullptr, static_cast<long>(index)) ||
          (exists && (source.values()[index].name().size() >= kNameCapacity || !DataFits(source.values()[index])))) {
        Line("Error enumerating value at index " + std::to_string(index));
        return;
      }
      if (!exists) return;
      const regfile::Value &value = source.values()[index];
      const std::string name(value.name());
      if (Fails(Op::SetValue, destinationPath, &name)) {
        Line(std::string(2 * static_cast<std::size_t>(depth), ' ') + "Error writing value " + name);
        return;
      }
      destination.SetValue(value.name(), value.type(), value.data());
    }
  }

  const std::vector<Fault> &faults_;
  regfile::Key &top_;
  std::string lines_;
};

void CollectPaths(const regfile::Key &key, const std::string &path, std::vector<std::string> &paths) {
  paths.push_back(path);
  for (const auto &subkey : key.subkeys) CollectPaths(*subkey, path + "\\" + subkey->name, paths);
}

std::vector<Fault> RandomFaults(Generator &random, const regfile::Key &top) {
  std::vector<std::string> sources, destinations;
  const regfile::Key *source = regfile::FindSubkey(top, "HKEY_USERS");
  CollectPaths(*source, "HKEY_USERS", sources);
  for (std::string &path : std::vector<std::string>(sources)) {
    if (path.rfind(kSourceRoot, 0) == 0) destinations.push_back(kDestinationRoot + path.substr(kSourceRoot.size()));
  }
  static const LONG statuses[] = {2, 5, 6, 87, 234, 1015, 1016};
  std::vector<Fault> faults;
  for (int i = random.Below(5) - 1; i > 0; --i) {
    Fault fault;
    fault.op = static_cast<Op>(random.Below(static_cast<int>(Op::Save)));
    bool onDestination =
        fault.op == Op::Create || fault.op == Op::SetValue || (fault.op == Op::Close && random.OneIn(2));
    const auto &paths = onDestination ? destinations : sources;
    fault.keyPath = paths[static_cast<std::size_t>(random.Below(static_cast<int>(paths.size())))];
    fault.status = statuses[random.Below(7)];
    if (fault.op == Op::EnumValue || fault.op == Op::EnumKey) fault.index = random.Below(3);
    if (fault.op == Op::SetValue && random.OneIn(2)) fault.valueName = random.OneIn(3) ? "" : random.Name(false);
    faults.push_back(fault);
  }
  return faults;
}

class RandomRunTest : public testsupport::RegistryTest {};

TEST_F(RandomRunTest, EveryRunDoesExactlyWhatItsFailuresCallFor) {
  Generator random(20261207);
  int successes = 0, failures = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    regfile::Key top;
    regfile::Key &software = regfile::FindOrAddSubkey(
        regfile::FindOrAddSubkey(regfile::FindOrAddSubkey(top, "HKEY_USERS"), ".DEFAULT"), "Software");
    if (!random.OneIn(10))
      random.Fill(regfile::FindOrAddSubkey(regfile::FindOrAddSubkey(software, "Norvane"), "Kelvaro"), 1);
    regfile::FindOrAddSubkey(software, "Other").SetValue("keep", 1, std::string("x\0", 2));
    regfile::Key &current = regfile::FindOrAddSubkey(regfile::FindOrAddSubkey(top, "HKEY_CURRENT_USER"), "Software");
    if (random.OneIn(2))
      random.Fill(regfile::FindOrAddSubkey(regfile::FindOrAddSubkey(current, "NORVANE"), "kelvaro"), 2);
    testsupport::WriteFile(file_, regfile::Write(top));

    std::vector<Fault> faults = RandomFaults(random, top);
    standin::Reset();
    for (const Fault &fault : faults) standin::InjectFault(fault);
    auto result = Run();

    bool failed = false;
    std::string expected = Model(faults, top).Run(failed);
    ASSERT_EQ(result.output, expected);
    EXPECT_EQ(result.status, expected.find("with errors") != std::string::npos ? 1 : 0);
    EXPECT_EQ(standin::OpenHandleCount(), 0u);
    EXPECT_EQ(standin::PredefinedCloseCount(), 0u);
    EXPECT_EQ(standin::InvalidCloseCount(), 0u);
    regfile::Key after = OnDisk();
    EXPECT_EQ(testsupport::DumpTree(after, "HKEY_USERS"), testsupport::DumpTree(top, "HKEY_USERS"));
    ASSERT_EQ(testsupport::DumpTree(after, kDestinationRoot), testsupport::DumpTree(top, kDestinationRoot));
    (result.status == 0 ? successes : failures) += 1;
  }
  // Both verdicts must be well represented, or the rounds prove little.
  EXPECT_GT(successes, kRounds / 4);
  EXPECT_GT(failures, kRounds / 4);
}

}  // namespace
