// system.h: what the tool needs of the host system beyond standard C++: the
// terminal, and the system's words for a failure.
#pragma once

#include <string>

// Whether standard input is a terminal (a console on Windows), where a user
// can answer a prompt.
bool InputIsTerminal();

// Waits until the user presses a key at the terminal; returns at once at the
// end of input.
void WaitForKey();

// The system's text for an errno value.
std::string ErrnoText(int error);
