// Prints COUNT distinct names, one a line, that all fall into one slot of
// a name index hashed with plain FNV-1a over UTF-16 units (the low 52 bits
// of the state agree, so every table of up to 2^20 slots puts them
// together): what a hostile file could hold against an index whose hash is
// known. The names are CJK ideographs, which have no case. With "plain",
// names as long, of the same characters, chosen at random: their measure.
//   crafted_names COUNT [plain]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kPrime = 1099511628211ull;
constexpr std::uint64_t kLow52 = (std::uint64_t{1} << 52) - 1;

std::uint64_t Step(std::uint64_t state, char16_t unit) { return (state ^ unit) * kPrime; }

struct Block {
  char16_t a[3], b[3];  // two spellings that leave the same low 52 bits
};

// Two pairs of units after which the states differ only in their low 12
// bits (below bit 52), found by the birthday paradox; a third unit each
// then cancels that difference.
Block FindBlock(std::uint64_t state, std::mt19937 &random) {
  std::uniform_int_distribution<int> unit(0x4E00, 0x9FFF);
  struct Sample {
    std::uint64_t key;
    char16_t first, second;
  };
  std::vector<Sample> samples(std::size_t{1} << 21);
  for (Sample &s : samples) {
    s.first = static_cast<char16_t>(unit(random));
    s.second = static_cast<char16_t>(unit(random));
    s.key = (Step(Step(state, s.first), s.second) & kLow52) >> 12;
  }
  std::sort(samples.begin(), samples.end(), [](const Sample &x, const Sample &y) { return x.key < y.key; });
  for (std::size_t i = 1; i < samples.size(); ++i) {
    const Sample &x = samples[i - 1], &y = samples[i];
    if (x.key != y.key || (x.first == y.first && x.second == y.second)) continue;
    std::uint64_t diff = (Step(Step(state, x.first), x.second) ^ Step(Step(state, y.first), y.second)) & 0xFFF;
    char16_t third = 0x5000;
    return {{x.first, x.second, third}, {y.first, y.second, static_cast<char16_t>(third ^ diff)}};
  }
  std::fprintf(stderr, "no pair found\n");
  std::exit(1);
}

void AppendUtf8(std::string &out, char16_t unit) {
  out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
  out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
  out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
}

}  // namespace

int main(int argc, char **argv) {
  long count = argc >= 2 ? std::atol(argv[1]) : 0;
  bool plain = argc == 3 && std::string(argv[2]) == "plain";
  if (count <= 0 || argc > 3 || (argc == 3 && !plain)) {
    std::fprintf(stderr, "usage: crafted_names COUNT [plain]\n");
    return 2;
  }
  std::mt19937 random(1);
  std::vector<Block> blocks;
  std::uint64_t state = 14695981039346656037ull;
  std::size_t length = 0;
  while ((long{1} << length) < count) ++length;
  if (plain) {
    std::uniform_int_distribution<int> unit(0x4E00, 0x9FFF);
    for (long i = 0; i < count; ++i) {
      std::string name;
      for (std::size_t u = 0; u < 3 * length; ++u) AppendUtf8(name, static_cast<char16_t>(unit(random)));
      std::puts(name.c_str());
    }
    return 0;
  }
  while (blocks.size() < length) {
    blocks.push_back(FindBlock(state, random));
    for (char16_t unit : blocks.back().a) state = Step(state, unit);
  }
  for (long i = 0; i < count; ++i) {
    std::string name;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
      for (char16_t unit : (i >> b & 1) ? blocks[b].b : blocks[b].a) AppendUtf8(name, unit);
    }
    std::puts(name.c_str());
  }
  return 0;
}
