// journal.cpp: building and checking the marker and the journal. The
// checksum is XXH3-128, built into this file from its header, so that every
// host has the same one without a library to ship.
#include "save/journal.h"

#include <cstring>
#include <random>

#define XXH_INLINE_ALL
#include <xxhash.h>

struct JournalSums {
  XXH3_state_t new_bytes;
};

void JournalSumsDeleter::operator()(JournalSums* sums) const { delete sums; }

namespace {

constexpr unsigned char kJournalMagic[8] = {'F', 'C', 'J', 'O', 'U', 'R', 'N', 'L'};
constexpr unsigned char kMarkerMagic[8] = {'F', 'C', 'M', 'A', 'R', 'K', 'E', 'D'};
constexpr uint32_t kVersion = 2;

void PutLE(unsigned char* at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t GetLE(const unsigned char* at, int bytes) {
  uint64_t value = 0;
  for (int i = bytes; i-- > 0;) value = value << 8 | at[i];
  return value;
}

void PutSum(unsigned char* at, XXH128_hash_t sum) {
  PutLE(at, sum.low64, 8);
  PutLE(at + 8, sum.high64, 8);
}

bool SumIs(const unsigned char* at, XXH128_hash_t sum) {
  return GetLE(at, 8) == sum.low64 && GetLE(at + 8, 8) == sum.high64;
}

}  // namespace

Nonce NewNonce() {
  std::random_device random;
  Nonce nonce;
  for (size_t i = 0; i < nonce.size(); i += 4) PutLE(nonce.data() + i, random(), 4);
  return nonce;
}

std::string NonceText(const Nonce& nonce) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : nonce) text += {kHex[byte >> 4], kHex[byte & 15]};
  return text;
}

NameHash HashOfName(const std::string& name) {
  NameHash hash;
  PutSum(hash.data(), XXH3_128bits(name.data(), name.size()));
  return hash;
}

Marker MakeMarker(const Nonce& nonce, const NameHash& name) {
  Marker marker;
  std::memcpy(marker.data(), kMarkerMagic, 8);
  std::memcpy(marker.data() + 8, nonce.data(), nonce.size());
  std::memcpy(marker.data() + 16, name.data(), name.size());
  return marker;
}

bool ReadMarker(std::span<const unsigned char> head, Nonce& nonce, NameHash& name) {
  if (head.size() < kMarkerSize || std::memcmp(head.data(), kMarkerMagic, 8) != 0) return false;
  std::memcpy(nonce.data(), head.data() + 8, nonce.size());
  std::memcpy(name.data(), head.data() + 16, name.size());
  return true;
}

JournalSumsPtr StartJournal() {
  JournalSumsPtr sums(new JournalSums);
  XXH3_128bits_reset(&sums->new_bytes);
  return sums;
}

void AddToJournal(JournalSums& sums, const void* data, size_t size) {
  XXH3_128bits_update(&sums.new_bytes, data, size);
}

JournalHeader EndJournal(JournalSums& sums, const Nonce& nonce, int64_t new_size) {
  JournalHeader header{};
  unsigned char* at = header.data();
  std::memcpy(at, kJournalMagic, 8);
  PutLE(at + 8, kVersion, 4);
  PutLE(at + 12, kJournalHeaderSize, 4);
  std::memcpy(at + 16, nonce.data(), nonce.size());
  PutLE(at + 24, static_cast<uint64_t>(new_size), 8);
  PutSum(at + 32, XXH3_128bits_digest(&sums.new_bytes));
  PutSum(at + 48, XXH3_128bits(at, 48));
  return header;
}

std::string ReadJournalHeader(std::span<const unsigned char, kJournalHeaderSize> header, JournalView& view) {
  const unsigned char* at = header.data();
  if (std::memcmp(at, kJournalMagic, 8) != 0) return "it is not a journal";
  if (GetLE(at + 8, 4) != kVersion || GetLE(at + 12, 4) != kJournalHeaderSize)
    return "it is a journal of another version (" + std::to_string(GetLE(at + 8, 4)) + ")";
  if (!SumIs(at + 48, XXH3_128bits(at, 48))) return "its header fails its checksum";
  const uint64_t size = GetLE(at + 24, 8);
  if (size > static_cast<uint64_t>(kJournalLargest)) return "it claims " + std::to_string(size) + " new bytes";
  std::memcpy(view.nonce.data(), at + 16, view.nonce.size());
  view.new_size = static_cast<int64_t>(size);
  std::memcpy(view.new_sum.data(), at + 32, view.new_sum.size());
  return "";
}

bool NewBytesHold(const JournalView& view, std::span<const unsigned char> new_bytes) {
  return new_bytes.size() == static_cast<size_t>(view.new_size) &&
         SumIs(view.new_sum.data(), XXH3_128bits(new_bytes.data(), new_bytes.size()));
}
