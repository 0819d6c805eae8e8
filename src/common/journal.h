// journal.h: the layout of the journal that an in-place write keeps beside
// its file, and the checks that tell a complete journal, and a file it may
// finish, from anything else. The same bytes on every host.
// Layout, little-endian: the magic "FCJOURNL", the version (u32, 1), the
// block size (u32, 4096), the new length and the old length (u64 each);
// then the complete new bytes; then one XXH3-128 checksum (low then high
// half, u64 each) per 4096-byte block of the old file's first
// min(old, new) bytes, the last block cut there; then the new bytes'
// checksum; last the checksum of everything before it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

constexpr size_t kJournalHeaderSize = 32;
constexpr int64_t kJournalBlock = 4096;

// The running checksums of a journal as it is written.
struct JournalSums;
struct JournalSumsDeleter {
  void operator()(JournalSums* sums) const;
};
using JournalSumsPtr = std::unique_ptr<JournalSums, JournalSumsDeleter>;

// Starts a journal of a write of new_size bytes over old_size: its header
// goes in header, and the checksums start with it.
JournalSumsPtr StartJournal(int64_t new_size, int64_t old_size, unsigned char (&header)[kJournalHeaderSize]);

// Adds bytes of the new file, in order.
void AddToJournal(JournalSums& sums, const void* data, size_t size);

// The journal's end: the old file's block checksums, the new bytes' and the
// whole journal's.
std::string EndJournal(JournalSums& sums, std::span<const unsigned char> old);

// A journal that is complete: its own checksum holds and its lengths agree
// with its size.
struct JournalView {
  std::span<const unsigned char> new_bytes;
  int64_t old_size = 0;
  std::span<const unsigned char> old_sums;
};
bool ReadJournal(std::span<const unsigned char> journal, JournalView& view);

// Whether file is what the journal's write may have left of it: its length
// between the two lengths, and each block of its first min(old, new) bytes
// holding either its old or its new bytes.
bool JournalCanFinish(const JournalView& view, std::span<const unsigned char> file);
