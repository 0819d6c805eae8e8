// signals.h: the signals (on Windows, the console events) that end the
// process, while maps are being saved. An interrupt (Ctrl-C, SIGTERM,
// SIGHUP; on Windows Ctrl-C, Ctrl-Break, a closed console) is only noted,
// so that the map being saved is finished and the driver ends the batch; a
// second one, or any other signal that ends the process, removes the
// recorded new file first and ends it at once. Implemented by
// signals_posix.cpp or signals_windows.cpp.
#pragma once

#include <cstdint>

// Takes the signals that end the process, for the rest of the run, except
// those the process inherited ignored (under nohup, say). Also makes a write
// past a file-size limit, or to a reader that has gone, fail like any other
// write instead of ending the process.
void ArmSignals();

// Gives every signal that ArmSignals took its default action back (before
// the pause, where Ctrl-C simply ends the wait and the process).
void DisarmSignals();

// The interrupt noted since ArmSignals, or 0 for none.
int PendingInterrupt();

// Ends the process by the interrupt's default action, so that its parent
// sees it (130 in a shell for Ctrl-C; on Windows STATUS_CONTROL_C_EXIT).
[[noreturn]] void EndByInterrupt(int interrupt);

// The most new files recorded at once: a batch's window of saves, and one more.
constexpr int kRecordedFiles = 65;

// Records a new file that a signal ending the process removes: a name in the
// folder a handle is open on (on Windows, folder is unused and name is the
// full name). name must last until the record is forgotten. Returns the
// record's slot, or -1 when every slot is taken (the file is then not
// removed). Safe from the handler's point of view: it reads each slot as one
// atomic pair.
int RecordNewFile(intptr_t folder, const char* name);

// Forgets the record in slot (-1: none).
void ForgetNewFile(int slot);

// While it lives, every signal that would end the process waits, so that a
// step is never cut off half done; it arrives as the hold ends, on every way
// out.
class SignalHold {
 public:
  SignalHold();
  ~SignalHold();
  SignalHold(const SignalHold&) = delete;
  SignalHold& operator=(const SignalHold&) = delete;

 private:
  alignas(16) unsigned char saved_[256];  // the host's record of the mask before
};
