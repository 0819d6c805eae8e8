// journal.h: the two records an in-place rewrite of a map leaves, the same
// bytes on every host, and the checks that tell them from anything else.
//
// The marker stands over the map's first bytes while it is rewritten, so that
// no reader, by any name, takes a torn map for a whole one. Little-endian:
// the magic "FCMARKED" (read as a version, no map's), the save's nonce (8
// bytes), and the XXH3-128 of the name the save was made under. Note: the
// name alone, so that a folder copied or moved after a crash still finishes;
// a run on a name in another folder finds no journal beside it, and refuses.
//
// The journal, NAME.flatcull-journal beside the map, holds the whole new map.
// Little-endian: the magic "FCJOURNL", the version (u32, 2), the header's size
// (u32, 64), the save's nonce (8 bytes), the new length (u64), the XXH3-128 of
// the new bytes, the XXH3-128 of the 48 header bytes before it; then the new
// bytes. Each checksum is its low then its high half (u64 each).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

constexpr size_t kJournalHeaderSize = 64;
constexpr size_t kMarkerSize = 32;
// The largest new map a journal may hold: a map is smaller than 2 GiB.
constexpr int64_t kJournalLargest = INT32_MAX;

using Nonce = std::array<unsigned char, 8>;
using NameHash = std::array<unsigned char, 16>;
using Marker = std::array<unsigned char, kMarkerSize>;
using JournalHeader = std::array<unsigned char, kJournalHeaderSize>;

// A fresh random nonce, and its 16 lower-case hex digits.
Nonce NewNonce();
std::string NonceText(const Nonce& nonce);

// The hash of a file's name in its folder.
NameHash HashOfName(const std::string& name);

Marker MakeMarker(const Nonce& nonce, const NameHash& name);

// Whether a file's first bytes are a marker; nonce and name get its fields.
bool ReadMarker(std::span<const unsigned char> head, Nonce& nonce, NameHash& name);

// The running checksum of a journal's new bytes as they are written.
struct JournalSums;
struct JournalSumsDeleter {
  void operator()(JournalSums* sums) const;
};
using JournalSumsPtr = std::unique_ptr<JournalSums, JournalSumsDeleter>;

JournalSumsPtr StartJournal();
void AddToJournal(JournalSums& sums, const void* data, size_t size);
// The header of a journal of new_size bytes, once they are all added.
JournalHeader EndJournal(JournalSums& sums, const Nonce& nonce, int64_t new_size);

// A journal's header that holds: its magic, version, size and checksum.
struct JournalView {
  Nonce nonce{};
  int64_t new_size = 0;
  std::array<unsigned char, 16> new_sum{};
};
// Reads a header; returns why it does not hold ("" when it does).
std::string ReadJournalHeader(std::span<const unsigned char, kJournalHeaderSize> header, JournalView& view);

// Whether new_bytes are those whose checksum the header holds.
bool NewBytesHold(const JournalView& view, std::span<const unsigned char> new_bytes);
