// main.cpp: the program entry.
#include "driver/run.h"

int main(int argc, char** argv) { return RunFlatcull(argc, argv); }
