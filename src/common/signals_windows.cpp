// signals_windows.cpp: the console events that end the process, on Windows.
// The system runs the console handler on a thread of its own, so the state
// it reads is guarded: the interrupt noted is an atomic, the new file's name
// sits behind record_lock, and hold_lock (shared by SignalHold) keeps the
// handler waiting while a step must not be cut off. Once the handler has
// decided to end the process it keeps both locks, so that the save cannot
// go on to use the file it removed while the process ends.
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "common/signals.h"
#include "common/system_windows.h"

// The console handler. Not static: the Windows test helper calls it for the
// events wine cannot send.
BOOL WINAPI OnConsoleEvent(DWORD event);

namespace {

std::atomic<int> interrupt{0};
SRWLOCK hold_lock = SRWLOCK_INIT;
SRWLOCK record_lock = SRWLOCK_INIT;
const char* new_file[kRecordedFiles] = {};  // the new files' full UTF-8 names, or null
thread_local int hold_depth = 0;  // SignalHolds alive on this thread

bool IsInterrupt(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT;
}

}  // namespace

// A first interrupt is only noted. Anything else waits for a held step,
// removes the new file and lets the system's default handler end the process.
// Note: the event is stored plus one, so that Ctrl-C (0) still reads as
// an interrupt.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  int none = 0;
  if (IsInterrupt(event) && interrupt.compare_exchange_strong(none, static_cast<int>(event) + 1)) return TRUE;
  AcquireSRWLockExclusive(&hold_lock);
  AcquireSRWLockExclusive(&record_lock);
  for (const char* name : new_file)
    if (name) DeleteFileW(FileApiName(name).c_str());
  return FALSE;
}

void ArmSignals() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

void DisarmSignals() { SetConsoleCtrlHandler(OnConsoleEvent, FALSE); }

int PendingInterrupt() { return interrupt.load(); }

// The status the system's default handler gives a process that an interrupt
// ends.
void EndByInterrupt(int) {
  std::fflush(nullptr);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

// The folder is unused on Windows: name is the new file's full name.
int RecordNewFile(intptr_t, const char* name) {
  AcquireSRWLockExclusive(&record_lock);
  int slot = 0;
  while (slot < kRecordedFiles && new_file[slot]) ++slot;
  if (slot < kRecordedFiles) new_file[slot] = name;
  ReleaseSRWLockExclusive(&record_lock);
  return slot < kRecordedFiles ? slot : -1;
}

void ForgetNewFile(int slot) {
  if (slot < 0) return;
  AcquireSRWLockExclusive(&record_lock);
  new_file[slot] = nullptr;
  ReleaseSRWLockExclusive(&record_lock);
}

// Note: an SRWLOCK is not recursive, so only the outermost hold of a thread
// takes it.
SignalHold::SignalHold() : saved_{} {
  if (hold_depth++ == 0) AcquireSRWLockShared(&hold_lock);
}

SignalHold::~SignalHold() {
  if (--hold_depth == 0) ReleaseSRWLockShared(&hold_lock);
}
