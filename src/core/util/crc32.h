// CRC-32/IEEE (zlib's, Ethernet's) over a byte span. Protects snapshot bodies and log payloads.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <span>

namespace tarnwell_core {

inline uint32_t crc32_ieee(std::span<const uint8_t> bytes) {
  uLong crc = ::crc32(0L, Z_NULL, 0);
  // zlib takes a uInt length; feed large inputs in pieces.
  const uint8_t* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    uInt chunk = left > (1u << 30) ? (1u << 30) : static_cast<uInt>(left);
    crc = ::crc32(crc, p, chunk);
    p += chunk;
    left -= chunk;
  }
  return static_cast<uint32_t>(crc);
}

}  // namespace tarnwell_core
