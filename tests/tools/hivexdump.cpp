// Prints a hive's tree as libhivex reads it, one line a key and a value,
// for the tests to compare the hives the program writes, read by a library
// apart from the program's own reader:
//   hivexdump FILE        the whole tree, values in the hive's order, data
//                         as its bytes: to compare with a reference hive
//   hivexdump FILE KEY    KEY's subtree (a path of names below the root) as
//                         regdump --wide prints a registry's: paths from
//                         KEY, values sorted by name, text data as UTF-8
//                         (as "(utf-16)" and its bytes when it is not
//                         UTF-16): to compare with what a .reg file says
#include <hivex.h>
#include <iconv.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Value {
  std::string name;
  int type;
  std::string data;
};

// Text of the types the registry holds as UTF-16 (REG_SZ, REG_EXPAND_SZ,
// REG_MULTI_SZ) in UTF-8, as regdump shows it; false when it is not UTF-16.
bool TextAsUtf8(const std::string &units, std::string &out) {
  if (units.size() % 2 != 0) return false;
  iconv_t convert = iconv_open("UTF-8", "UTF-16LE");
  if (convert == reinterpret_cast<iconv_t>(-1)) return false;
  std::string in = units;
  out.assign(units.size() * 2 + 4, '\0');
  char *from = in.data(), *to = out.data();
  std::size_t left = in.size(), room = out.size();
  bool whole = iconv(convert, &from, &left, &to, &room) != static_cast<std::size_t>(-1) && left == 0;
  iconv_close(convert);
  out.resize(out.size() - room);
  return whole;
}

std::vector<Value> Values(hive_h *h, hive_node_h node, bool shown) {
  std::vector<Value> values;
  hive_value_h *all = hivex_node_values(h, node);
  for (hive_value_h *value = all; value && *value; ++value) {
    char *name = hivex_value_key(h, *value);
    // Any 32-bit type a value holds, not only those the enumeration names.
    static_assert(sizeof(hive_type) == sizeof(std::uint32_t));
    std::uint32_t type = 0;
    std::size_t size = 0;
    char *data = hivex_value_value(h, *value, reinterpret_cast<hive_type *>(&type), &size);
    values.push_back({name ? name : "?", static_cast<int>(type), data ? std::string(data, size) : std::string()});
    std::free(name);
    std::free(data);
    Value &last = values.back();
    std::string text;
    bool isText = type == hive_t_REG_SZ || type == hive_t_REG_EXPAND_SZ || type == hive_t_REG_MULTI_SZ;
    if (shown && isText) last.data = TextAsUtf8(last.data, text) ? text : "(utf-16)" + last.data;
  }
  std::free(all);
  if (shown) std::sort(values.begin(), values.end(), [](const Value &a, const Value &b) { return a.name < b.name; });
  return values;
}

void Dump(hive_h *h, hive_node_h node, const std::string &path, bool shown) {
  std::printf(shown ? "%s\n" : "[%s]\n", path.c_str());
  for (const Value &value : Values(h, node, shown)) {
    std::printf("  \"%s\" %d:", value.name.c_str(), value.type);
    for (char byte : value.data) std::printf(" %02x", static_cast<unsigned char>(byte));
    std::printf("\n");
  }
  hive_node_h *children = hivex_node_children(h, node);
  for (hive_node_h *child = children; child && *child; ++child) {
    char *name = hivex_node_name(h, *child);
    Dump(h, *child, path + "\\" + (name ? name : "?"), shown);
    std::free(name);
  }
  std::free(children);
}

}  // namespace

int main(int argc, char **argv) {
  hive_h *h = argc == 2 || argc == 3 ? hivex_open(argv[1], 0) : nullptr;
  if (!h) {
    std::fprintf(stderr, "usage: hivexdump FILE [KEY] (a hive libhivex opens)\n");
    return 2;
  }
  hive_node_h node = hivex_root(h);
  std::string path = argc == 3 ? argv[2] : "";
  for (std::size_t start = 0; argc == 3 && node != 0 && start <= path.size();) {
    std::size_t end = std::min(path.find('\\', start), path.size());
    node = hivex_node_get_child(h, node, path.substr(start, end - start).c_str());
    start = end + 1;
  }
  if (node == 0) {
    std::printf("%s (no such key)\n", path.c_str());
  } else {
    Dump(h, node, path, argc == 3);
  }
  hivex_close(h);
  return 0;
}
