// Encoder and Decoder bodies, and the UTF-8 check applied to every decoded string.
// Fixed-size sequences are copied with one memcpy on little-endian hosts.
#include "core/util/codec.h"

#include <limits>

namespace tarnwell_core {
namespace {

constexpr bool LITTLE_ENDIAN_HOST = std::endian::native == std::endian::little;

Status unexpected_end() { return Status::invalid_data("unexpected end of input"); }

Status invalid_integer(uint64_t value, std::string_view expected) {
  return Status::invalid_data("invalid value: integer `" + std::to_string(value) + "`, expected " +
                              std::string(expected));
}

template <class T>
T byteswap_if_big(T v) {
  if constexpr (!LITTLE_ENDIAN_HOST) v = std::byteswap(v);
  return v;
}

template <class T>
void put_array(std::vector<uint8_t>& out, std::span<const T> v) {
  uint64_t n = byteswap_if_big(static_cast<uint64_t>(v.size()));
  size_t at = out.size();
  out.resize(at + sizeof n + v.size() * sizeof(T));
  uint8_t* p = out.data() + at;
  std::memcpy(p, &n, sizeof n);
  p += sizeof n;
  if constexpr (LITTLE_ENDIAN_HOST || sizeof(T) == 1) {
    if (!v.empty()) std::memcpy(p, v.data(), v.size() * sizeof(T));
  } else {
    for (const T& x : v) {
      auto bits =
          byteswap_if_big(std::bit_cast<std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>(x));
      std::memcpy(p, &bits, sizeof bits);
      p += sizeof bits;
    }
  }
}

}  // namespace

bool is_valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    // Texts are mostly ASCII: skip eight bytes at a time while no high bit is set.
    while (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // overlong
      if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;  // overlong
      if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

void Encoder::put_string(std::string_view s) {
  put_count(s.size());
  put_raw(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

void Encoder::put_uuid(const Uuid& u) {
  put_count(u.bytes.size());
  put_raw(u.bytes);
}

void Encoder::put_raw(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  size_t at = grow(bytes.size());
  std::memcpy(out_->data() + at, bytes.data(), bytes.size());
}

void Encoder::put_byte_array(std::span<const uint8_t> v) { put_array(*out_, v); }
void Encoder::put_u32_array(std::span<const uint32_t> v) { put_array(*out_, v); }
void Encoder::put_f32_array(std::span<const float> v) { put_array(*out_, v); }

Status Decoder::need(size_t n) const { return n <= remaining() ? Status() : unexpected_end(); }

template <class T>
Result<T> Decoder::get_le() {
  RETURN_IF_ERROR(need(sizeof(T)));
  T v;
  std::memcpy(&v, in_.data() + pos_, sizeof v);
  pos_ += sizeof v;
  return byteswap_if_big(v);
}

Result<uint8_t> Decoder::u8() { return get_le<uint8_t>(); }
Result<uint32_t> Decoder::u32() { return get_le<uint32_t>(); }
Result<uint64_t> Decoder::u64() { return get_le<uint64_t>(); }

Result<int64_t> Decoder::i64() {
  ASSIGN_OR_RETURN(uint64_t v, get_le<uint64_t>());
  return static_cast<int64_t>(v);
}

Result<float> Decoder::f32() {
  ASSIGN_OR_RETURN(uint32_t v, get_le<uint32_t>());
  return std::bit_cast<float>(v);
}

Result<double> Decoder::f64() {
  ASSIGN_OR_RETURN(uint64_t v, get_le<uint64_t>());
  return std::bit_cast<double>(v);
}

Result<bool> Decoder::boolean() {
  ASSIGN_OR_RETURN(uint8_t v, u8());
  if (v > 1) return Err(invalid_integer(v, "a boolean"));
  return v == 1;
}

Result<bool> Decoder::option_tag() {
  ASSIGN_OR_RETURN(uint8_t v, u8());
  if (v > 1) return Err(invalid_integer(v, "an option tag 0 or 1"));
  return v == 1;
}

Result<uint32_t> Decoder::enum_index(uint32_t variant_count) {
  ASSIGN_OR_RETURN(uint32_t v, u32());
  if (v >= variant_count) {
    return Err(invalid_integer(v, "variant index 0 <= i < " + std::to_string(variant_count)));
  }
  return v;
}

Result<uint64_t> Decoder::count(size_t min_element_size) {
  ASSIGN_OR_RETURN(uint64_t n, u64());
  // n * size > remaining, without forming the product.
  size_t size = min_element_size == 0 ? 1 : min_element_size;
  if (n > remaining() / size) {
    return Err(Status::invalid_data("unexpected end of input: " + std::to_string(n) +
                                    " elements cannot fit in the " + std::to_string(remaining()) +
                                    " bytes left"));
  }
  return n;
}

Result<std::span<const uint8_t>> Decoder::raw(size_t n) {
  RETURN_IF_ERROR(need(n));
  auto out = in_.subspan(pos_, n);
  pos_ += n;
  return out;
}

Result<std::string> Decoder::string() {
  ASSIGN_OR_RETURN(std::string_view s, string_view());
  return std::string(s);
}

Result<std::string_view> Decoder::string_view() {
  ASSIGN_OR_RETURN(uint64_t n, count(1));
  std::string_view s(reinterpret_cast<const char*>(in_.data() + pos_), static_cast<size_t>(n));
  if (!is_valid_utf8(s)) return Err(Status::invalid_data("invalid value: string is not UTF-8"));
  pos_ += s.size();
  return s;
}

Result<Uuid> Decoder::uuid() {
  ASSIGN_OR_RETURN(uint64_t n, u64());
  if (n != 16) {
    return Err(Status::invalid_data(
        "UUID parsing failed: invalid length: expected 16 bytes, found " + std::to_string(n)));
  }
  ASSIGN_OR_RETURN(auto bytes, raw(16));
  Uuid u;
  std::memcpy(u.bytes.data(), bytes.data(), 16);
  return u;
}

template <class T>
Result<std::vector<T>> Decoder::array_of() {
  ASSIGN_OR_RETURN(uint64_t n, count(sizeof(T)));
  std::vector<T> out(static_cast<size_t>(n));
  const uint8_t* p = in_.data() + pos_;
  if constexpr (LITTLE_ENDIAN_HOST || sizeof(T) == 1) {
    if (n > 0) std::memcpy(out.data(), p, out.size() * sizeof(T));
  } else {
    using Bits = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
    for (size_t i = 0; i < out.size(); ++i) {
      Bits b;
      std::memcpy(&b, p + i * sizeof(T), sizeof b);
      out[i] = std::bit_cast<T>(std::byteswap(b));
    }
  }
  pos_ += out.size() * sizeof(T);
  return out;
}

Result<std::vector<uint8_t>> Decoder::byte_array() { return array_of<uint8_t>(); }
Result<std::vector<uint32_t>> Decoder::u32_array() { return array_of<uint32_t>(); }
Result<std::vector<float>> Decoder::f32_array() { return array_of<float>(); }

Result<std::vector<uint8_t>> Decoder::bool_array() {
  ASSIGN_OR_RETURN(std::vector<uint8_t> v, array_of<uint8_t>());
  for (uint8_t b : v) {
    if (b > 1) return Err(invalid_integer(b, "a boolean"));
  }
  return v;
}

}  // namespace tarnwell_core
