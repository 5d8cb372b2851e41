#include "cli/driver.h"
int main(int argc, char** argv) { return run_pvrcopy(argc, argv); }
