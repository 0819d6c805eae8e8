// system.cpp: the terminal, and the system's words for a failure.
#include "common/system.h"

#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

bool InputIsTerminal() { return isatty(fileno(stdin)) != 0; }

// Note: the terminal stays line-buffered, so the read ends with the line.
void WaitForKey() { std::getchar(); }

std::string ErrnoText(int error) { return std::strerror(error); }
