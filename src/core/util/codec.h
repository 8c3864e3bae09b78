// The one binary encoding of the system, shared by snapshot bodies and log payloads:
// little-endian fixed-width integers, u64 counts before strings/sequences/maps, a UUID as the
// u64 16 and its bytes, enums as a u32 variant index, options as a 0/1 tag byte, bools as one
// 0/1 byte, floats as their IEEE bytes. The Decoder trusts nothing it reads: every failure is
// a kInvalidData Status, and no count can make it reserve more than the input could hold.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/util/status.h"
#include "core/util/uuid.h"

namespace tarnwell_core {

// Advance reservation caps for maps rebuilt while decoding (about 1 MiB each): a corrupt count
// is caught by the bytes running out, not by an allocation the size of the count.
inline constexpr size_t METADATA_RESERVE_CAP = 21845;
inline constexpr size_t UUID_MAP_RESERVE_CAP = 52428;

// Exact encoded sizes, for callers that size their buffer before encoding.
inline constexpr size_t ENCODED_COUNT_SIZE = 8;
inline constexpr size_t ENCODED_UUID_SIZE = 8 + 16;
inline constexpr size_t encoded_string_size(std::string_view s) { return 8 + s.size(); }
template <class T>
inline constexpr size_t encoded_array_size(size_t n) {
  return 8 + n * sizeof(T);
}

// True when `s` is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view s);

class Encoder {
 public:
  // Appends to `out`, which the caller owns and normally reserves to the exact final size.
  explicit Encoder(std::vector<uint8_t>& out) : out_(&out) {}

  void put_u8(uint8_t v) { out_->push_back(v); }
  void put_u32(uint32_t v) { put_le(v); }
  void put_u64(uint64_t v) { put_le(v); }
  void put_i64(int64_t v) { put_le(static_cast<uint64_t>(v)); }
  void put_f32(float v) { put_le(std::bit_cast<uint32_t>(v)); }
  void put_f64(double v) { put_le(std::bit_cast<uint64_t>(v)); }
  void put_bool(bool v) { out_->push_back(v ? 1 : 0); }
  void put_count(size_t n) { put_le(static_cast<uint64_t>(n)); }
  void put_enum(uint32_t variant_index) { put_le(variant_index); }
  void put_option_tag(bool present) { out_->push_back(present ? 1 : 0); }
  void put_string(std::string_view s);
  void put_uuid(const Uuid& u);
  // Bytes with no count in front.
  void put_raw(std::span<const uint8_t> bytes);
  // Sequences: the u64 count, then the elements.
  void put_byte_array(std::span<const uint8_t> v);
  void put_u32_array(std::span<const uint32_t> v);
  void put_f32_array(std::span<const float> v);

  size_t size() const { return out_->size(); }

 private:
  template <class T>
  void put_le(T v) {
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    size_t at = grow(sizeof v);
    std::memcpy(out_->data() + at, &v, sizeof v);
  }
  size_t grow(size_t n) {
    size_t at = out_->size();
    out_->resize(at + n);
    return at;
  }

  std::vector<uint8_t>* out_;
};

class Decoder {
 public:
  explicit Decoder(std::span<const uint8_t> in) : in_(in) {}

  size_t remaining() const { return in_.size() - pos_; }
  size_t position() const { return pos_; }
  std::span<const uint8_t> rest() const { return in_.subspan(pos_); }

  Result<uint8_t> u8();
  Result<uint32_t> u32();
  Result<uint64_t> u64();
  Result<int64_t> i64();
  Result<float> f32();
  Result<double> f64();
  Result<bool> boolean();
  // Whether an optional value follows.
  Result<bool> option_tag();
  // A u32 variant index, refused unless below `variant_count`.
  Result<uint32_t> enum_index(uint32_t variant_count);
  // A u64 element count, refused unless `count * min_element_size` bytes are still available,
  // so the caller may size containers from it (with reserve_hint for maps).
  Result<uint64_t> count(size_t min_element_size);
  Result<std::string> string();
  // As string(), viewing the input instead of copying it.
  Result<std::string_view> string_view();
  Result<Uuid> uuid();
  // `n` bytes with no count in front; the span points into the input.
  Result<std::span<const uint8_t>> raw(size_t n);
  // Sequences written by the Encoder's array methods; copied in bulk.
  Result<std::vector<uint8_t>> byte_array();
  Result<std::vector<uint32_t>> u32_array();
  Result<std::vector<float>> f32_array();
  // A sequence of bool bytes, each checked to be 0 or 1, returned as those bytes.
  Result<std::vector<uint8_t>> bool_array();

  // How many entries to reserve for a map of `count` entries (already checked by count()).
  static size_t reserve_hint(uint64_t count, size_t cap) {
    return count < cap ? static_cast<size_t>(count) : cap;
  }

 private:
  Status need(size_t n) const;
  template <class T>
  Result<T> get_le();
  template <class T>
  Result<std::vector<T>> array_of();

  std::span<const uint8_t> in_;
  size_t pos_ = 0;
};

}  // namespace tarnwell_core
