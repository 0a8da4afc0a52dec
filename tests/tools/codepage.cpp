// Prints the process's active code page: 65001 when the manifest that the
// program and these tools carry is honoured.
#include <windows.h>

#include <cstdio>

int main() {
  std::printf("%u\n", GetACP());
  return 0;
}
