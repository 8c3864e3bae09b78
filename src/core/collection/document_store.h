// The document layer of a collection, laid out so that a document costs about what it holds:
//  - IdTable: the UUID of every internal id issued, and an open-addressing index from UUID back
//    to internal id whose slots hold internal ids only (no allocation per entry);
//  - DocumentStore: per internal id the 8-byte offset of its record in one byte arena: the
//    record's length, the document's metadata in a compact encoding, then its text.
// Both make room ahead (reserve) so that the steps of an insertion that must not fail do not
// allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/document.h"
#include "core/util/codec.h"
#include "core/util/uuid.h"

namespace tarnwell_core {

class IdTable {
 public:
  IdTable() = default;
  // The table of `uuids` (internal id = position), which must be distinct (validated data).
  explicit IdTable(std::vector<Uuid> uuids);

  size_t size() const { return uuids_.size(); }
  bool empty() const { return uuids_.empty(); }
  const Uuid& operator[](uint32_t p) const { return uuids_[p]; }
  const std::vector<Uuid>& uuids() const { return uuids_; }

  std::optional<uint32_t> find(const Uuid& id) const;
  bool contains(const Uuid& id) const { return find(id).has_value(); }

  // Room for `more` further ids: push_back cannot allocate until they are used. May throw
  // std::bad_alloc, changing nothing.
  void reserve(size_t more);
  // Issues the next internal id to `id`, which must be absent, within reserved room.
  uint32_t push_back(const Uuid& id) noexcept;
  // Gives internal id p the absent `id` instead of its current one.
  void rekey(uint32_t p, const Uuid& id) noexcept;

  // What the table occupies in touched memory (reserved, never written capacity is not counted).
  uint64_t memory_bytes() const { return 16 * uint64_t{uuids_.size()} + 4 * slots_.size(); }

 private:
  size_t home(const Uuid& id) const;
  void place(uint32_t p) noexcept;
  void unplace(const Uuid& id) noexcept;
  // Slot array of `capacity` slots holding every current id.
  void rehash(size_t capacity);

  std::vector<Uuid> uuids_;
  // Internal id + 1 per occupied slot, 0 when empty; linear probing, at most 4/5 full.
  std::vector<uint32_t> slots_;
};

// The compact encoding of metadata in the store: a varint count, then per entry in ascending key
// order a varint key length, the key, a tag byte (the MetadataValue index) and the value (bool one
// byte, int zigzag varint, float its 8 bytes, string varint length and bytes). Empty metadata is
// no bytes at all.
std::string encode_compact_metadata(const Metadata& metadata);
Metadata decode_compact_metadata(std::string_view bytes);
// The metadata in the file encoding (encode_metadata's bytes, keys ascending) appended to `enc`,
// or only measured when `enc` is null; returns its size.
size_t transcode_compact_metadata(std::string_view bytes, Encoder* enc);
// Reads metadata in the file encoding (as decode_metadata does: the same checks, a key stored
// twice keeps its later value) into the compact form, without building a Metadata. Keeps its
// scratch between calls: one reader serves a whole file without allocating per document.
class CompactMetadataReader {
 public:
  Status read(Decoder& dec, std::string& out);

  // One entry viewed in place: its key, its MetadataValue tag and the value as bits (bool, int,
  // float) or bytes (string).
  struct Entry {
    std::string_view key;
    uint32_t tag;
    uint64_t bits;
    std::string_view str;
    uint64_t order;  // position in the file, which breaks ties between equal keys
  };

 private:
  std::vector<Entry> entries_;
};

class DocumentStore {
 public:
  // Live documents.
  size_t size() const { return live_; }
  bool empty() const { return live_ == 0; }
  // Internal ids with a slot (live or not).
  size_t slot_count() const { return slots_.size(); }
  bool live(uint32_t p) const { return p < slots_.size() && slots_[p] != kDead; }

  std::string_view text(uint32_t p) const;
  // The compact metadata bytes of live id p.
  std::string_view metadata_bytes(uint32_t p) const;
  Metadata metadata(uint32_t p) const { return decode_compact_metadata(metadata_bytes(p)); }
  // Metadata and text of p as stored, without the length (equal records, equal documents).
  std::string_view record(uint32_t p) const;

  // Room for slots up to internal id `ids` - 1 and for `bytes` more arena bytes (the sum of
  // record_size of what will be put). May reclaim the space of removed documents first. May
  // throw std::bad_alloc, changing nothing a reader can see.
  void reserve(size_t ids, size_t bytes);
  static size_t record_size(std::string_view text, std::string_view compact_metadata) {
    const size_t inner = unprefixed_size(text, compact_metadata);
    return varint_size(inner) + inner;
  }
  // Stores the document of internal id p (below the reserved id bound), replacing a live one.
  void put(uint32_t p, std::string_view text, std::string_view compact_metadata) noexcept;
  // Removes the document of p, if live.
  void erase(uint32_t p) noexcept;
  // This store with record i under id target[i] (distinct ids) among `slots` slots; the records
  // stay where they are.
  DocumentStore renumbered(std::span<const uint32_t> target, size_t slots) &&;

  // As IdTable::memory_bytes.
  uint64_t memory_bytes() const { return 8 * uint64_t{slots_.size()} + arena_.size(); }

  static size_t varint_size(uint64_t v) {
    size_t n = 1;
    while (v >= 0x80) {
      v >>= 7;
      ++n;
    }
    return n;
  }

 private:
  static constexpr uint64_t kDead = ~uint64_t{0};
  // A record without its own length in front.
  static size_t unprefixed_size(std::string_view text, std::string_view compact_metadata) {
    return varint_size(compact_metadata.size()) + compact_metadata.size() + text.size();
  }
  // The record of a live slot with its length prefix.
  std::string_view stored(uint32_t p) const;
  // Copies the live records into a fresh arena with room for `extra` more bytes.
  void compact(size_t extra);

  std::vector<uint64_t> slots_;  // per internal id: its record's offset in arena_, or kDead
  std::string arena_;
  size_t live_ = 0;
  uint64_t garbage_ = 0;  // arena bytes of records no longer referenced
};

}  // namespace tarnwell_core
