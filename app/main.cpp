#include "app/update.h"

// Arguments are ignored: the run is always the same.
int main() { return RunUpdate(); }
