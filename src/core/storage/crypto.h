// EncryptionKey: a 256-bit AES key parsed from 64 hex characters, sealing and opening byte strings
// with AES-256-GCM (96-bit nonce, 128-bit tag, no associated data). A sealed value is
// nonce(12) ‖ ciphertext(n) ‖ tag(16), exactly 28 bytes longer than its plaintext, with a fresh
// random nonce per call. Keys are immutable, safe to use from many threads at once, and wipe
// their raw bytes when destroyed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/util/status.h"

namespace tarnwell_core {

class EncryptionKey {
 public:
  static constexpr size_t kKeyBytes = 32;
  static constexpr size_t kNonceBytes = 12;
  static constexpr size_t kTagBytes = 16;
  static constexpr size_t kOverhead = kNonceBytes + kTagBytes;  // 28
  // The most GCM can seal under one nonce: 2^32 - 2 counter blocks of 16 bytes.
  static constexpr uint64_t kMaxPlaintextBytes = (uint64_t{1} << 36) - 32;

  // Parses 64 hex characters, ignoring Unicode white space at both ends. Errors (kInvalidArgument):
  // "encryption key must be 64 hex characters (32 bytes), got {}" (length in bytes after
  // trimming) and "invalid hex at position {}: invalid digit found in string" (the offset of the
  // first two-byte pair that is not a hex number; a '+' before one digit is admitted).
  static Result<std::shared_ptr<const EncryptionKey>> from_hex(std::string_view text);

  ~EncryptionKey();
  EncryptionKey(const EncryptionKey&) = delete;
  EncryptionKey& operator=(const EncryptionKey&) = delete;

  // Seals `plaintext` into a new buffer of plaintext.size() + 28 bytes.
  Result<std::vector<uint8_t>> encrypt(std::span<const uint8_t> plaintext) const;

  // Seals `plaintext` into `sealed`, which must be exactly plaintext.size() + 28 bytes and either
  // not overlap `plaintext` or hold it at offset 12 (sealing in place: the caller builds the
  // plaintext where the ciphertext goes and saves a copy of a large buffer).
  Status encrypt_into(std::span<const uint8_t> plaintext, std::span<uint8_t> sealed) const;

  // Seals the plaintext found at bytes [12, size - 16) of `container` in place.
  Status encrypt_in_place(std::span<uint8_t> container) const {
    if (container.size() < kOverhead) {
      return Status::invalid_argument("encryption container smaller than 28 bytes");
    }
    return encrypt_into(container.subspan(kNonceBytes, container.size() - kOverhead), container);
  }

  // Whether both hold the same 32 key bytes (compared in constant time).
  bool same_key(const EncryptionKey& other) const;

  // Opens a sealed value. Errors (kInvalidData): "encrypted data too short: {} bytes (minimum 28)"
  // and "decryption failed: wrong key or corrupted data". No plaintext is returned, and none is
  // left in memory, when the tag does not match.
  Result<std::vector<uint8_t>> decrypt(std::span<const uint8_t> sealed) const;

  // Opens `sealed` in place; on success the plaintext is the returned span, which lies at offset
  // 12 of `sealed`. On failure the plaintext area is wiped.
  Result<std::span<uint8_t>> decrypt_in_place(std::span<uint8_t> sealed) const;

 private:
  explicit EncryptionKey(const std::array<uint8_t, kKeyBytes>& bytes);

  Status open_into(std::span<const uint8_t> sealed, uint8_t* out) const;

  std::array<uint8_t, kKeyBytes> key_;
};

}  // namespace tarnwell_core
