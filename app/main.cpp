#include "app/update.h"
#include "registry/registry.h"

// Arguments are ignored: the run is always the same.
int main() {
  PrepareProcess();
  return RunUpdate();
}
