// Prints a hive's tree as libhivex reads it, one line a key and a value,
// for the tests to compare the hives the program writes with reference
// hives, read by a library apart from the program's own reader:
//   hivexdump FILE
#include <hivex.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Dump(hive_h *h, hive_node_h node, const std::string &path) {
  std::printf("[%s]\n", path.c_str());
  hive_value_h *values = hivex_node_values(h, node);
  for (hive_value_h *value = values; value && *value; ++value) {
    char *name = hivex_value_key(h, *value);
    hive_type type{};
    std::size_t size = 0;
    char *data = hivex_value_value(h, *value, &type, &size);
    std::printf("  \"%s\" %d:", name ? name : "?", static_cast<int>(type));
    for (std::size_t i = 0; data && i < size; ++i) std::printf(" %02x", static_cast<unsigned char>(data[i]));
    std::printf("\n");
    std::free(name);
    std::free(data);
  }
  std::free(values);
  hive_node_h *children = hivex_node_children(h, node);
  for (hive_node_h *child = children; child && *child; ++child) {
    char *name = hivex_node_name(h, *child);
    Dump(h, *child, path + "\\" + (name ? name : "?"));
    std::free(name);
  }
  std::free(children);
}

}  // namespace

int main(int argc, char **argv) {
  hive_h *h = argc == 2 ? hivex_open(argv[1], 0) : nullptr;
  if (!h) {
    std::fprintf(stderr, "usage: hivexdump FILE (a hive libhivex opens)\n");
    return 2;
  }
  Dump(h, hivex_root(h), "");
  hivex_close(h);
  return 0;
}
