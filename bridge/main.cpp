#include "bridge/process.h"

// The bridge takes no arguments and reads no configuration or environment.
int main() { return scanbridge::bridge_main(); }
