// The floor of a run: load the registry file and write it back, with no
// copy in between.
//   load_save FILE
#include <cstdio>

#include "standin/registry_file.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: load_save FILE\n");
    return 2;
  }
  regfile::Key top;
  regfile::FileForm form;
  standin::RegistryLock lock;
  const std::string codePage = standin::ReadConfiguration().codePage;
  if (standin::LoadRegistry({argv[1], false}, codePage, lock, top, form) != ERROR_SUCCESS) return 1;
  return standin::SaveRegistry(lock, top, form) == ERROR_SUCCESS ? 0 : 1;
}
