#include "app/update.h"
#include "regcopy/report.h"

// Arguments are ignored: the run is always the same.
int main() {
  SetUpProcess();
  return RunUpdate();
}
