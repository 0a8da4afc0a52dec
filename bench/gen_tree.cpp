// Writes a registry file with a product subtree of the chosen size in the
// default profile and an empty current user, from a fixed seed.
//   gen_tree KEYS FANOUT VALUES_PER_KEY [SEED] > tree.reg
// Keys fill a tree breadth first, FANOUT subkeys per key, so its depth
// follows from KEYS and FANOUT. Each key has the default value and
// VALUES_PER_KEY - 1 named values: strings, DWORDs, QWORDs, multi-strings and
// binary data up to 2048 bytes, mostly small, as settings are.
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <random>
#include <string>

#include "regfile/reg_format.h"

namespace {

std::string RandomText(std::mt19937 &rng, std::size_t length) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ._-";
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text.push_back(letters[rng() % (sizeof letters - 1)]);
  return text;
}

void AddValue(regfile::Key &key, std::mt19937 &rng, const std::string &name) {
  std::string data;
  std::uint32_t type;
  unsigned pick = rng() % 100;
  if (pick < 40) {
    type = 1;
    data = RandomText(rng, 1 + rng() % 40) + '\0';
  } else if (pick < 65) {
    type = 4;
    data = std::string(4, '\0');
  } else if (pick < 70) {
    type = 11;
    data = std::string(8, '\0');
  } else if (pick < 75) {
    type = 7;
    data = RandomText(rng, 1 + rng() % 20) + '\0' + RandomText(rng, 1 + rng() % 20) + '\0' + '\0';
  } else {
    type = 3;
    data = std::string(pick < 98 ? rng() % 256 : 1 + rng() % 2048, '\0');
  }
  for (char &c : data) {
    if (type != 1 && type != 7) c = static_cast<char>(rng());
  }
  key.SetValue(name, type, data);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: gen_tree KEYS FANOUT VALUES_PER_KEY [SEED]\n");
    return 2;
  }
  long keys = std::atol(argv[1]);
  long fanout = std::atol(argv[2]);
  long values = std::atol(argv[3]);
  std::mt19937 rng(argc > 4 ? static_cast<unsigned>(std::atol(argv[4])) : 1u);

  regfile::Key top;
  regfile::Key *product = &regfile::FindOrAddSubkey(top, "HKEY_USERS");
  for (const char *name : {".DEFAULT", "Software", "Norvane", "Kelvaro"})
    product = &regfile::FindOrAddSubkey(*product, name);
  regfile::FindOrAddSubkey(regfile::FindOrAddSubkey(top, "HKEY_CURRENT_USER"), "Software");

  auto fill = [&](regfile::Key &key) {
    for (long v = 0; v < values; ++v) AddValue(key, rng, v == 0 ? "" : "Setting" + std::to_string(v));
  };
  fill(*product);
  std::deque<regfile::Key *> parents{product};
  for (long made = 1; made < keys; ++made) {
    regfile::Key &key = regfile::FindOrAddSubkey(*parents.front(), "Key" + std::to_string(made));
    fill(key);
    parents.push_back(&key);
    if (static_cast<long>(parents.front()->subkeys.size()) >= fanout) parents.pop_front();
  }
  std::string text = regfile::Write(top);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}
