// system_posix.cpp: the host system on POSIX: the terminal and standard
// output.
// While the pause waits for a key the terminal is out of its line mode; the
// mode it had, the one-key mode and the signal actions the wait replaced are
// kept for the signal handlers, the only state outside the functions, so that
// whatever ends or stops the wait leaves the terminal as it found it.
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <utility>

#include "common/system.h"

namespace {

// Every signal whose default action ends the process.
const int kEnding[] = {
    SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1, SIGSEGV,
    SIGUSR2, SIGPIPE, SIGALRM,   SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef __linux__
    SIGIO,   SIGPWR,  SIGSTKFLT,
#endif
};

termios mode_before;
termios one_key;
struct sigaction action_before[NSIG];
bool taken[NSIG];

// Note: only async-signal-safe calls here. The signal stays blocked until the
// handler returns, and is then delivered again to the action it had before
// the wait: the default one ends the process, the save's own cleans up first.
// Its process ends, writing no coverage data.
// GCOVR_EXCL_START
void RestoreModeOnSignal(int signo) {
  tcsetattr(STDIN_FILENO, TCSANOW, &mode_before);
  sigaction(signo, &action_before[signo], nullptr);
  raise(signo);
}
// GCOVR_EXCL_STOP

// Note: only async-signal-safe calls here. The shell keeps the stopped job's
// terminal in whatever mode it finds, so the mode is given back before the
// stop; SIGTSTP is then raised again under its former action, and is
// delivered as the handler returns (it stays blocked until then).
void RestoreModeOnStop(int signo) {
  int saved_errno = errno;
  tcsetattr(STDIN_FILENO, TCSANOW, &mode_before);
  sigaction(signo, &action_before[signo], nullptr);
  raise(signo);
  // raise returns here: the stop waits until this handler has returned.
  // cppcheck-suppress unreachableCode
  errno = saved_errno;
}

// Note: only async-signal-safe calls here. On continue (fg) the one-key mode
// is applied again, and the stop handler taken again for the next Ctrl-Z.
// Also runs on a SIGCONT that follows no stop, where it changes nothing.
void ResumeOneKeyOnContinue(int) {
  int saved_errno = errno;
  tcsetattr(STDIN_FILENO, TCSANOW, &one_key);
  if (taken[SIGTSTP]) {
    struct sigaction stop {};
    stop.sa_handler = RestoreModeOnStop;
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTSTP, &stop, nullptr);
  }
  errno = saved_errno;
}

// Calls take(signo) for each signal in kEnding and the real-time ones.
template <typename Take>
void ForEachEndingSignal(Take take) {
  for (int signo : kEnding) take(signo);
#ifdef SIGRTMIN
  for (int signo = SIGRTMIN; signo <= SIGRTMAX; ++signo) take(signo);
#endif
}

// Takes every ending signal that is not ignored. Note: one the save armed
// (or a program embedding the tool) is taken too, and given back in the
// handler: without it, Ctrl-C after a map was saved would leave the terminal
// without echo.
void TakeEndingSignals() {
  struct sigaction restore {};
  restore.sa_handler = RestoreModeOnSignal;
  sigemptyset(&restore.sa_mask);
  ForEachEndingSignal([&](int signo) { sigaddset(&restore.sa_mask, signo); });
  ForEachEndingSignal([&](int signo) {
    taken[signo] = sigaction(signo, nullptr, &action_before[signo]) == 0 &&
                   action_before[signo].sa_handler != SIG_IGN && sigaction(signo, &restore, nullptr) == 0;
  });
}

// Takes SIGTSTP (unless ignored: no job control) and SIGCONT. SA_RESTART, so
// that the read of the key goes on after the stop instead of failing.
void TakeStopSignals() {
  const std::pair<int, void (*)(int)> handlers[] = {{SIGTSTP, RestoreModeOnStop}, {SIGCONT, ResumeOneKeyOnContinue}};
  for (const auto& [signo, handler] : handlers) {
    struct sigaction take {};
    take.sa_handler = handler;
    take.sa_flags = SA_RESTART;
    sigemptyset(&take.sa_mask);
    // Neither handler may interrupt the other half way.
    sigaddset(&take.sa_mask, SIGTSTP);
    sigaddset(&take.sa_mask, SIGCONT);
    taken[signo] = sigaction(signo, nullptr, &action_before[signo]) == 0 &&
                   action_before[signo].sa_handler != SIG_IGN && sigaction(signo, &take, nullptr) == 0;
  }
}

void GiveBackStopSignals() {
  for (int signo : {SIGCONT, SIGTSTP}) {
    if (taken[signo]) sigaction(signo, &action_before[signo], nullptr);
    taken[signo] = false;
  }
}

void GiveBackEndingSignals() {
  ForEachEndingSignal([](int signo) {
    if (taken[signo]) sigaction(signo, &action_before[signo], nullptr);
    taken[signo] = false;
  });
}

}  // namespace

bool ConsoleIsInteractive() { return isatty(STDIN_FILENO) != 0 && isatty(STDOUT_FILENO) != 0; }

// Any key ends the wait as it is pressed: the terminal is put in
// non-canonical mode without echo, one byte at a time, and back as it was on
// the way out. A signal that arrives meanwhile restores the mode first and
// then has its usual effect; one the process survives ends the wait, as do
// the end of input and a hang-up. A stop and continue (Ctrl-Z, fg) does not.
void WaitForKey(const std::function<void()>& show_prompt) {
  bool terminal = tcgetattr(STDIN_FILENO, &mode_before) == 0;
  if (terminal) {
    one_key = mode_before;
    one_key.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    one_key.c_cc[VMIN] = 1;
    one_key.c_cc[VTIME] = 0;
    TakeEndingSignals();
    TakeStopSignals();
    tcsetattr(STDIN_FILENO, TCSANOW, &one_key);
  }
  show_prompt();
  std::getchar();
  if (terminal) {
    // Note: this order. A SIGCONT after the mode is given back would put
    // the one-key mode on again, and an ending signal before it would leave
    // the terminal without echo.
    GiveBackStopSignals();
    tcsetattr(STDIN_FILENO, TCSANOW, &mode_before);
    GiveBackEndingSignals();
  }
}

bool WriteToStandardOutput(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0) return true;
  return errno != EPIPE;
}
