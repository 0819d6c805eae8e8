// journal.cpp: building and checking a journal's bytes. The checksum is
// XXH3-128, built into this file from its header, so that every host has
// the same one without a library to ship.
#include "common/journal.h"

#include <algorithm>
#include <cstring>

#define XXH_INLINE_ALL
#include <xxhash.h>

struct JournalSums {
  XXH3_state_t whole;      // every byte of the journal so far
  XXH3_state_t new_bytes;  // the new file's bytes
  int64_t new_size = 0;
};

void JournalSumsDeleter::operator()(JournalSums* sums) const { delete sums; }

namespace {

constexpr unsigned char kMagic[8] = {'F', 'C', 'J', 'O', 'U', 'R', 'N', 'L'};
constexpr uint32_t kVersion = 1;
constexpr size_t kSumSize = 16;

void PutLE(unsigned char* at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t GetLE(const unsigned char* at, int bytes) {
  uint64_t value = 0;
  for (int i = bytes; i-- > 0;) value = value << 8 | at[i];
  return value;
}

void PutSum(std::string& out, XXH128_hash_t sum) {
  unsigned char bytes[kSumSize];
  PutLE(bytes, sum.low64, 8);
  PutLE(bytes + 8, sum.high64, 8);
  out.append(reinterpret_cast<const char*>(bytes), kSumSize);
}

bool SumIs(const unsigned char* at, XXH128_hash_t sum) {
  return GetLE(at, 8) == sum.low64 && GetLE(at + 8, 8) == sum.high64;
}

// The number of old blocks that carry a checksum.
int64_t BlockCount(int64_t new_size, int64_t old_size) {
  return (std::min(new_size, old_size) + kJournalBlock - 1) / kJournalBlock;
}

}  // namespace

JournalSumsPtr StartJournal(int64_t new_size, int64_t old_size, unsigned char (&header)[kJournalHeaderSize]) {
  JournalSumsPtr sums(new JournalSums);
  XXH3_128bits_reset(&sums->whole);
  XXH3_128bits_reset(&sums->new_bytes);
  sums->new_size = new_size;
  std::memcpy(header, kMagic, sizeof kMagic);
  PutLE(header + 8, kVersion, 4);
  PutLE(header + 12, kJournalBlock, 4);
  PutLE(header + 16, static_cast<uint64_t>(new_size), 8);
  PutLE(header + 24, static_cast<uint64_t>(old_size), 8);
  XXH3_128bits_update(&sums->whole, header, kJournalHeaderSize);
  return sums;
}

void AddToJournal(JournalSums& sums, const void* data, size_t size) {
  XXH3_128bits_update(&sums.whole, data, size);
  XXH3_128bits_update(&sums.new_bytes, data, size);
}

std::string EndJournal(JournalSums& sums, std::span<const unsigned char> old) {
  std::string end;
  const auto shared = static_cast<size_t>(std::min<int64_t>(sums.new_size, static_cast<int64_t>(old.size())));
  for (size_t at = 0; at < shared; at += kJournalBlock)
    PutSum(end, XXH3_128bits(old.data() + at, std::min<size_t>(kJournalBlock, shared - at)));
  PutSum(end, XXH3_128bits_digest(&sums.new_bytes));
  XXH3_128bits_update(&sums.whole, end.data(), end.size());
  PutSum(end, XXH3_128bits_digest(&sums.whole));
  return end;
}

bool ReadJournal(std::span<const unsigned char> journal, JournalView& view) {
  const size_t size = journal.size();
  const unsigned char* at = journal.data();
  if (size < kJournalHeaderSize + 2 * kSumSize || std::memcmp(at, kMagic, sizeof kMagic) != 0 ||
      GetLE(at + 8, 4) != kVersion || GetLE(at + 12, 4) != kJournalBlock)
    return false;
  const uint64_t new_size = GetLE(at + 16, 8), old_size = GetLE(at + 24, 8);
  if (new_size > INT32_MAX || old_size > INT32_MAX) return false;
  const auto blocks = static_cast<size_t>(
      BlockCount(static_cast<int64_t>(new_size), static_cast<int64_t>(old_size)));
  if (size != kJournalHeaderSize + new_size + (blocks + 2) * kSumSize) return false;
  if (!SumIs(at + size - kSumSize, XXH3_128bits(at, size - kSumSize))) return false;
  view.new_bytes = journal.subspan(kJournalHeaderSize, static_cast<size_t>(new_size));
  view.old_size = static_cast<int64_t>(old_size);
  view.old_sums = journal.subspan(kJournalHeaderSize + new_size, blocks * kSumSize);
  return SumIs(at + size - 2 * kSumSize, XXH3_128bits(view.new_bytes.data(), view.new_bytes.size()));
}

// Note: a file system may make the truncation durable before the bytes
// written over the file, so a file cut to the new length that still holds
// old blocks is one of the states the write leaves.
bool JournalCanFinish(const JournalView& view, std::span<const unsigned char> file) {
  const auto new_size = static_cast<int64_t>(view.new_bytes.size());
  const auto length = static_cast<int64_t>(file.size());
  if (length < std::min(new_size, view.old_size) || length > std::max(new_size, view.old_size)) return false;
  const auto shared = static_cast<size_t>(std::min(new_size, view.old_size));
  for (size_t at = 0, block = 0; at < shared; at += kJournalBlock, ++block) {
    const size_t size = std::min<size_t>(kJournalBlock, shared - at);
    if (std::memcmp(file.data() + at, view.new_bytes.data() + at, size) != 0 &&
        !SumIs(view.old_sums.data() + block * kSumSize, XXH3_128bits(file.data() + at, size)))
      return false;
  }
  return true;
}
