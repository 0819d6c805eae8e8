// main_posix.cpp: the program entry on POSIX. The arguments arrive as the
// bytes the shell gave, which the program takes as UTF-8.
#include "driver/run.h"

int main(int argc, char** argv) { return RunFlatcull(argc, argv); }
