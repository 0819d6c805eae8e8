// signals_posix.cpp: the signals that end the process, on POSIX.
// The handlers read only lock-free atomics: the interrupt noted, and the new
// file to remove (a folder's descriptor and a name in it).
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <iterator>

#include "common/signals.h"

namespace {

// Every signal whose default action ends the process (the real-time ones
// are added where they are taken). SIGPIPE and SIGXFSZ are ignored instead,
// so that such a write fails like any other.
const int kEnding[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,
                       SIGUSR1, SIGSEGV, SIGUSR2,   SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF,
                       SIGIO,   SIGPWR,  SIGSTKFLT, SIGSYS};

std::atomic<int> interrupt{0};
std::atomic<int> new_folder[kRecordedFiles];
std::atomic<const char*> new_name[kRecordedFiles];
bool taken[NSIG];

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<const char*>::is_always_lock_free);

bool IsInterrupt(int signo) { return signo == SIGINT || signo == SIGTERM || signo == SIGHUP; }

// Note: only async-signal-safe calls here. A first interrupt is only noted;
// anything else removes the new file and ends the process by the signal.
// (A process that a signal ends writes no coverage data: the tests that run
// these lines can't count them.)
// GCOVR_EXCL_START
void OnSignal(int signo) {
  int none = 0;
  if (IsInterrupt(signo) && interrupt.compare_exchange_strong(none, signo)) return;
  for (int slot = 0; slot < kRecordedFiles; ++slot)
    if (const char* name = new_name[slot].load()) unlinkat(new_folder[slot].load(), name, 0);
  signal(signo, SIG_DFL);
  raise(signo);
}
// GCOVR_EXCL_STOP

template <typename Take>
void ForEachEndingSignal(Take take) {
  for (int signo : kEnding) take(signo);
  for (int signo = SIGRTMIN; signo <= SIGRTMAX; ++signo) take(signo);
}

// Replaces a signal's default action only: one inherited ignored stays so,
// and a handler that a program embedding the tool set stays its own.
void IgnoreIfDefault(int signo) {
  struct sigaction old {};
  if (sigaction(signo, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) signal(signo, SIG_IGN);
}

}  // namespace

void ArmSignals() {
  IgnoreIfDefault(SIGXFSZ);
  IgnoreIfDefault(SIGPIPE);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ForEachEndingSignal([&](int signo) {
    struct sigaction old {};
    taken[signo] = sigaction(signo, nullptr, &old) == 0 && old.sa_handler == SIG_DFL &&
                   sigaction(signo, &action, nullptr) == 0;
  });
}

void DisarmSignals() {
  ForEachEndingSignal([](int signo) {
    if (taken[signo]) signal(signo, SIG_DFL);
    taken[signo] = false;
  });
}

int PendingInterrupt() { return interrupt.load(); }

// Its process ends here, writing no coverage data (see OnSignal).
// GCOVR_EXCL_START
void EndByInterrupt(int signo) {
  signal(signo, SIG_DFL);
  sigset_t just;
  sigemptyset(&just);
  sigaddset(&just, signo);
  sigprocmask(SIG_UNBLOCK, &just, nullptr);
  raise(signo);
  // Not reached: an interrupt's default action ends the process.
  // cppcheck-suppress unreachableCode
  _exit(128 + signo);
}
// GCOVR_EXCL_STOP

// Note: only the main thread records, so a free slot stays free until its
// name is stored, after its folder.
int RecordNewFile(intptr_t folder, const char* name) {
  for (int slot = 0; slot < kRecordedFiles; ++slot) {
    if (new_name[slot].load()) continue;
    new_folder[slot].store(static_cast<int>(folder));
    new_name[slot].store(name);
    return slot;
  }
  return -1;
}

void ForgetNewFile(int slot) {
  if (slot >= 0) new_name[slot].store(nullptr);
}

static_assert(sizeof(sigset_t) <= 256);

SignalHold::SignalHold() {
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, reinterpret_cast<sigset_t*>(saved_));
}

SignalHold::~SignalHold() { sigprocmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(saved_), nullptr); }
