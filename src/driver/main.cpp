// zelk: deletes the paths listed in zelk.lst beside the executable, then the list itself.
#include "driver/run_driver.h"

int main(int argc, char** argv) { return run_driver(argc, argv); }
