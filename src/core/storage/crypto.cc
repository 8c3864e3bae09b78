// AES-256-GCM through OpenSSL's EVP interface. Every call builds its own cipher context, so one
// key serves any number of threads; contexts are freed (and their key schedules wiped by
// OpenSSL) before the call returns, leaving the raw bytes in the key object the only copy.
#include "core/storage/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "core/util/os_random.h"

namespace tarnwell_core {
namespace {

// Unicode White_Space characters in UTF-8. Trimming compares whole encoded characters, and a
// continuation byte can never begin one of these sequences, so a suffix match in valid UTF-8 is
// always a whole character.
constexpr std::string_view kWhiteSpace[] = {
    "\x09",         "\x0A",         "\x0B",         "\x0C",         "\x0D",
    "\x20",         "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80",
    "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

std::string_view trim_white_space(std::string_view s) {
  for (bool trimmed = true; trimmed && !s.empty();) {
    trimmed = false;
    for (std::string_view ws : kWhiteSpace) {
      if (s.starts_with(ws)) {
        s.remove_prefix(ws.size());
        trimmed = true;
        break;
      }
    }
  }
  for (bool trimmed = true; trimmed && !s.empty();) {
    trimmed = false;
    for (std::string_view ws : kWhiteSpace) {
      if (s.ends_with(ws)) {
        s.remove_suffix(ws.size());
        trimmed = true;
        break;
      }
    }
  }
  return s;
}

int hex_digit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One two-byte pair as an unsigned base-16 number. Integer parsing admits a leading '+', so "+7"
// is 7; any byte of a multi-byte character is simply not a digit.
int parse_pair(unsigned char a, unsigned char b) {
  int lo = hex_digit(b);
  if (lo < 0) return -1;
  if (a == '+') return lo;
  int hi = hex_digit(a);
  return hi < 0 ? -1 : hi * 16 + lo;
}

const EVP_CIPHER* aes_256_gcm() {
  // Fetched once: an implicit fetch on every init would look the algorithm up each time.
  static const EVP_CIPHER* const CIPHER = [] {
    const EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    return c != nullptr ? c : EVP_aes_256_gcm();
  }();
  return CIPHER;
}

struct CtxDeleter {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CtxDeleter>;

CipherCtx new_ctx() {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) throw std::bad_alloc();
  return ctx;
}

// EVP takes int lengths: feed large buffers in pieces. `out` may equal `in`.
bool update_all(EVP_CIPHER_CTX* ctx, bool encrypting, const uint8_t* in, uint8_t* out, size_t n) {
  constexpr size_t kChunk = size_t{1} << 30;
  while (n > 0) {
    int len = static_cast<int>(std::min(n, kChunk));
    int outl = 0;
    int ok = encrypting ? EVP_EncryptUpdate(ctx, out, &outl, in, len)
                        : EVP_DecryptUpdate(ctx, out, &outl, in, len);
    if (ok != 1 || outl != len) return false;  // GCM is a stream mode: output = input length
    in += len;
    out += len;
    n -= static_cast<size_t>(len);
  }
  return true;
}

Status decryption_failed() {
  return Status::invalid_data("decryption failed: wrong key or corrupted data");
}

}  // namespace

EncryptionKey::EncryptionKey(const std::array<uint8_t, kKeyBytes>& bytes) : key_(bytes) {}

EncryptionKey::~EncryptionKey() { OPENSSL_cleanse(key_.data(), key_.size()); }

Result<std::shared_ptr<const EncryptionKey>> EncryptionKey::from_hex(std::string_view text) {
  std::string_view hex = trim_white_space(text);
  if (hex.size() != 2 * kKeyBytes) {
    return Err(Status::invalid_argument(
        "encryption key must be 64 hex characters (32 bytes), got " + std::to_string(hex.size())));
  }
  std::array<uint8_t, kKeyBytes> bytes;
  for (size_t i = 0; i < kKeyBytes; ++i) {
    int v = parse_pair(static_cast<unsigned char>(hex[2 * i]),
                       static_cast<unsigned char>(hex[2 * i + 1]));
    if (v < 0) {
      OPENSSL_cleanse(bytes.data(), bytes.size());
      return Err(Status::invalid_argument("invalid hex at position " + std::to_string(2 * i) +
                                          ": invalid digit found in string"));
    }
    bytes[i] = static_cast<uint8_t>(v);
  }
  std::shared_ptr<const EncryptionKey> key(new EncryptionKey(bytes));
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return key;
}

Status EncryptionKey::encrypt_into(std::span<const uint8_t> plaintext,
                                   std::span<uint8_t> sealed) const {
  const size_t n = plaintext.size();
  if (sealed.size() != n + kOverhead) {
    return Status::invalid_argument("sealed buffer must be 28 bytes longer than the plaintext");
  }
  uint8_t* ct = sealed.data() + kNonceBytes;
  const bool in_place = plaintext.data() == ct;
  if (!in_place && n > 0 && plaintext.data() < sealed.data() + sealed.size() &&
      sealed.data() < plaintext.data() + n) {
    return Status::invalid_argument("plaintext overlaps the sealed buffer");
  }
  if (n > kMaxPlaintextBytes) return Status::io_error("AES-GCM encryption should not fail");

  Status random = fill_os_random(sealed.first(kNonceBytes));
  if (!random.ok()) return Status::io_error("Error: " + random.message(), random.sys_errno());

  CipherCtx ctx = new_ctx();
  int outl = 0;
  bool ok =
      EVP_EncryptInit_ex2(ctx.get(), aes_256_gcm(), key_.data(), sealed.data(), nullptr) == 1 &&
      update_all(ctx.get(), true, plaintext.data(), ct, n) &&
      EVP_EncryptFinal_ex(ctx.get(), ct + n, &outl) == 1 && outl == 0 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes), ct + n) ==
          1;
  if (!ok) {
    // Never hand out a half-sealed buffer that could be mistaken for output.
    OPENSSL_cleanse(sealed.data(), sealed.size());
    return Status::io_error("AES-GCM encryption should not fail");
  }
  return Status();
}

Result<std::vector<uint8_t>> EncryptionKey::encrypt(std::span<const uint8_t> plaintext) const {
  if (plaintext.size() > kMaxPlaintextBytes) {
    return Err(Status::io_error("AES-GCM encryption should not fail"));
  }
  std::vector<uint8_t> sealed(plaintext.size() + kOverhead);
  RETURN_IF_ERROR(encrypt_into(plaintext, sealed));
  return sealed;
}

Status EncryptionKey::open_into(std::span<const uint8_t> sealed, uint8_t* out) const {
  const size_t n = sealed.size() - kOverhead;
  if (n > kMaxPlaintextBytes) return decryption_failed();
  // The tag is copied out first: EVP wants a writable pointer, and nothing of `sealed` may be
  // read after `out` (which can alias the ciphertext) has been written.
  uint8_t tag[kTagBytes];
  std::memcpy(tag, sealed.data() + kNonceBytes + n, kTagBytes);
  CipherCtx ctx = new_ctx();
  int outl = 0;
  bool ok =
      EVP_DecryptInit_ex2(ctx.get(), aes_256_gcm(), key_.data(), sealed.data(), nullptr) == 1 &&
      update_all(ctx.get(), false, sealed.data() + kNonceBytes, out, n) &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes), tag) == 1 &&
      // The tag comparison inside the final step is constant-time.
      EVP_DecryptFinal_ex(ctx.get(), out + n, &outl) == 1 && outl == 0;
  if (!ok) {
    OPENSSL_cleanse(out, n);
    return decryption_failed();
  }
  return Status();
}

bool EncryptionKey::same_key(const EncryptionKey& other) const {
  return CRYPTO_memcmp(key_.data(), other.key_.data(), key_.size()) == 0;
}

Result<std::vector<uint8_t>> EncryptionKey::decrypt(std::span<const uint8_t> sealed) const {
  if (sealed.size() < kOverhead) {
    return Err(Status::invalid_data("encrypted data too short: " + std::to_string(sealed.size()) +
                                    " bytes (minimum 28)"));
  }
  // Checked before allocating: a length GCM could never have produced is not worth the memory.
  if (sealed.size() - kOverhead > kMaxPlaintextBytes) return Err(decryption_failed());
  std::vector<uint8_t> plain(sealed.size() - kOverhead);
  RETURN_IF_ERROR(open_into(sealed, plain.data()));
  return plain;
}

Result<std::span<uint8_t>> EncryptionKey::decrypt_in_place(std::span<uint8_t> sealed) const {
  if (sealed.size() < kOverhead) {
    return Err(Status::invalid_data("encrypted data too short: " + std::to_string(sealed.size()) +
                                    " bytes (minimum 28)"));
  }
  RETURN_IF_ERROR(open_into(sealed, sealed.data() + kNonceBytes));
  return sealed.subspan(kNonceBytes, sealed.size() - kOverhead);
}

}  // namespace tarnwell_core
