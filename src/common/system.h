// system.h: what the tool needs of the host system beyond standard C++: the
// terminal and standard output. Implemented by system_posix.cpp or
// system_windows.cpp, whichever the build picks; what only the Windows files
// share is in system_windows.h.
#pragma once

#include <functional>
#include <string>

// Whether standard input and standard output are both a terminal (a console
// on Windows), so that a person sees a prompt and can answer it. Never fails.
bool ConsoleIsInteractive();

// Shows the prompt (calls show_prompt) once one key will do, then waits until
// the user presses any one key, without Enter, at a terminal or a console;
// returns at once at the end of input. Whoever sees the prompt can press the
// key at once: a POSIX terminal is already out of line mode, and does not
// echo it. A POSIX terminal is left in
// the mode it had, also when a signal ends the process during the wait; a
// stop (Ctrl-Z) gives the terminal its mode back for the time of the stop,
// and the one-key mode returns when the process is continued. Every signal
// action it replaced is given back before it returns.
void WaitForKey(const std::function<void()>& show_prompt);

// Writes UTF-8 text to standard output and flushes it. A Windows console is
// given the text as UTF-16 with '\n' as CRLF, so that it shows every name;
// anything else (a terminal elsewhere, a file, a pipe) gets the bytes as
// they are. Returns false when the write failed because the reader has gone
// (EPIPE: SIGPIPE is ignored, run.cpp), true otherwise; another failure is
// not reported, as console output is unchecked.
bool WriteToStandardOutput(const std::string& text);
