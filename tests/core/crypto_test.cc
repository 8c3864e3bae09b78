// EncryptionKey: hex parsing rules and messages, the sealed container, tamper and key detection.
#include "core/storage/crypto.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <thread>
#include <vector>

namespace tarnwell_core {
namespace {

const std::string kHex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

std::shared_ptr<const EncryptionKey> key_of(const std::string& hex) {
  auto k = EncryptionKey::from_hex(hex);
  EXPECT_TRUE(k.has_value()) << (k ? "" : k.error().message());
  return k ? *k : nullptr;
}

std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> unhex(std::string_view h) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

std::string with_pair_at(size_t pos, std::string_view replacement) {
  std::string s = kHex;
  s.replace(pos, replacement.size(), replacement);
  return s;
}

TEST(EncryptionKeyFromHex, AcceptsAndRejects) {
  const std::string len_msg = "encryption key must be 64 hex characters (32 bytes), got ";
  const std::string hex_msg = ": invalid digit found in string";
  struct Case {
    std::string name;
    std::string text;
    std::string error;  // empty: accepted
  };
  const std::string e_acute = "\xC3\xA9";   // 2 bytes
  const std::string euro = "\xE2\x82\xAC";  // 3 bytes
  const std::vector<Case> cases = {
      {"plain", kHex, ""},
      {"upper case", "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F", ""},
      {"ascii white space around", " \t" + kHex + "\r\n", ""},
      {"vertical tab and form feed", "\x0B\x0C" + kHex + "\x0B", ""},
      {"next line and no-break space", "\xC2\x85" + kHex + "\xC2\xA0", ""},
      {"ideographic space and line separator", "\xE3\x80\x80" + kHex + "\xE2\x80\xA8", ""},
      {"en quad .. hair space", "\xE2\x80\x80\xE2\x80\x8A" + kHex + "\xE2\x81\x9F", ""},
      {"ogham space mark", "\xE1\x9A\x80" + kHex, ""},
      {"plus before one digit", with_pair_at(0, "+0"), ""},
      {"63 characters", kHex.substr(1), len_msg + "63"},
      {"65 characters", kHex + "0", len_msg + "65"},
      {"empty", "", len_msg + "0"},
      {"white space only", " \n\xE3\x80\x80", len_msg + "0"},
      // U+200B is not white space: it stays and counts its 3 bytes.
      {"zero width space", "\xE2\x80\x8B" + kHex, len_msg + "67"},
      {"inner space is not trimmed", kHex.substr(0, 32) + " " + kHex.substr(33),
       "invalid hex at position 32" + hex_msg},
      {"zz at 10", with_pair_at(10, "zz"), "invalid hex at position 10" + hex_msg},
      {"bad low digit", with_pair_at(62, "1g"), "invalid hex at position 62" + hex_msg},
      {"minus sign", with_pair_at(4, "-1"), "invalid hex at position 4" + hex_msg},
      {"two plus signs", with_pair_at(6, "++"), "invalid hex at position 6" + hex_msg},
      {"plus in second place", with_pair_at(8, "1+"), "invalid hex at position 8" + hex_msg},
      {"0x prefix", with_pair_at(0, "0x"), "invalid hex at position 0" + hex_msg},
      {"two-byte character on a pair", with_pair_at(10, e_acute),
       "invalid hex at position 10" + hex_msg},
      {"two-byte character across pairs", with_pair_at(11, e_acute),
       "invalid hex at position 10" + hex_msg},
      {"three-byte character at the end", with_pair_at(61, euro),
       "invalid hex at position 60" + hex_msg},
      {"NUL byte",
       with_pair_at(20, std::string("\0"
                                    "1",
                                    2)),
       "invalid hex at position 20" + hex_msg},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto k = EncryptionKey::from_hex(c.text);
    if (c.error.empty()) {
      EXPECT_TRUE(k.has_value()) << k.error().message();
    } else {
      ASSERT_FALSE(k.has_value());
      EXPECT_EQ(k.error().code(), StatusCode::kInvalidArgument);
      EXPECT_EQ(k.error().message(), c.error);
    }
  }
}

TEST(EncryptionKeyFromHex, EquivalentSpellingsAreOneKey) {
  // Upper case, lower case, surrounding white space and "+a" for "0a" give the same key bytes.
  const std::string lower = "0a" + kHex.substr(2, 60) + "ff";
  const std::vector<std::string> spellings = {"0A" + kHex.substr(2, 60) + "FF",
                                              "\n " + lower + "\xE3\x80\x80",
                                              "+a" + kHex.substr(2, 60) + "fF"};
  auto base = key_of(lower);
  auto sealed = base->encrypt(bytes_of("same key"));
  ASSERT_TRUE(sealed.has_value());
  for (const std::string& s : spellings) {
    SCOPED_TRACE(s);
    auto k = key_of(s);
    auto opened = k->decrypt(*sealed);
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    EXPECT_EQ(*opened, bytes_of("same key"));
    auto back = k->encrypt(bytes_of("other way"));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*base->decrypt(*back), bytes_of("other way"));
  }
}

TEST(EncryptionKeySeal, RoundTripsEverySize) {
  auto key = key_of(kHex);
  for (size_t n : {0, 1, 15, 16, 17, 255, 4096, 1 << 20}) {
    SCOPED_TRACE(n);
    std::vector<uint8_t> plain(n);
    for (size_t i = 0; i < n; ++i) plain[i] = static_cast<uint8_t>(i * 31 + 7);
    auto sealed = key->encrypt(plain);
    ASSERT_TRUE(sealed.has_value());
    EXPECT_EQ(sealed->size(), n + 28);
    auto opened = key->decrypt(*sealed);
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(*opened, plain);

    // In place: plaintext laid at offset 12 of the container, opened back at the same place.
    std::vector<uint8_t> box(n + 28);
    std::copy(plain.begin(), plain.end(), box.begin() + 12);
    ASSERT_TRUE(key->encrypt_in_place(box).ok());
    auto view = key->decrypt_in_place(box);
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->data(), box.data() + 12);
    EXPECT_EQ(std::vector<uint8_t>(view->begin(), view->end()), plain);
  }
}

TEST(EncryptionKeySeal, FreshNonceEveryCall) {
  auto key = key_of(kHex);
  auto a = key->encrypt(bytes_of("twice"));
  auto b = key->encrypt(bytes_of("twice"));
  ASSERT_TRUE(a && b);
  EXPECT_NE(std::vector<uint8_t>(a->begin(), a->begin() + 12),
            std::vector<uint8_t>(b->begin(), b->begin() + 12));
  EXPECT_NE(*a, *b);
  EXPECT_EQ(*key->decrypt(*a), bytes_of("twice"));
  EXPECT_EQ(*key->decrypt(*b), bytes_of("twice"));
}

TEST(EncryptionKeySeal, OpensStandardAesGcmVectors) {
  // Published AES-256-GCM test vector without associated data, laid out as nonce ‖ ct ‖ tag.
  auto key = key_of("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
  std::vector<uint8_t> sealed = unhex(
      "cafebabefacedbaddecaf888"
      "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
      "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad"
      "b094dac5d93471bdec1a502270e3cc6c");
  auto opened = key->decrypt(sealed);
  ASSERT_TRUE(opened.has_value()) << opened.error().message();
  EXPECT_EQ(*opened, unhex("d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
                           "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255"));
}

TEST(EncryptionKeyOpen, RejectsTamperingShortInputAndOtherKeys) {
  const std::string fail = "decryption failed: wrong key or corrupted data";
  auto key = key_of(kHex);
  auto other = key_of(std::string(64, 'a'));
  auto sealed = key->encrypt(bytes_of("a payload of forty bytes, give or take.."));
  ASSERT_TRUE(sealed.has_value());

  for (size_t i = 0; i < sealed->size(); ++i) {
    for (uint8_t mask : {0x01, 0x80, 0xFF}) {
      std::vector<uint8_t> bad = *sealed;
      bad[i] ^= mask;
      auto r = key->decrypt(bad);
      ASSERT_FALSE(r.has_value()) << "byte " << i;
      EXPECT_EQ(r.error().code(), StatusCode::kInvalidData);
      EXPECT_EQ(r.error().message(), fail);
    }
  }
  auto wrong = other->decrypt(*sealed);
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().message(), fail);

  for (size_t cut : {1, 16, 27}) {
    std::vector<uint8_t> shorter(sealed->begin(), sealed->end() - cut);
    EXPECT_FALSE(key->decrypt(shorter).has_value()) << cut;
  }
  for (size_t n : {0, 1, 27}) {
    auto r = key->decrypt(std::vector<uint8_t>(n));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().code(), StatusCode::kInvalidData);
    EXPECT_EQ(r.error().message(),
              "encrypted data too short: " + std::to_string(n) + " bytes (minimum 28)");
  }
  auto empty = key->encrypt({});
  ASSERT_TRUE(empty.has_value());
  ASSERT_EQ(empty->size(), 28u);
  auto opened = key->decrypt(*empty);
  ASSERT_TRUE(opened.has_value());
  EXPECT_TRUE(opened->empty());
}

TEST(EncryptionKeyOpen, FailedInPlaceOpenLeavesNoPlaintext) {
  auto key = key_of(kHex);
  std::vector<uint8_t> box(28 + 64, 0x5A);
  ASSERT_TRUE(key->encrypt_in_place(box).ok());
  box.back() ^= 1;  // tag damaged: the ciphertext decrypts, but must not be left readable
  auto r = key->decrypt_in_place(box);
  ASSERT_FALSE(r.has_value());
  for (size_t i = 12; i < 12 + 64; ++i) ASSERT_EQ(box[i], 0) << i;
}

TEST(EncryptionKeySeal, RefusesMisshapenBuffersAndOversizedInput) {
  auto key = key_of(kHex);
  std::vector<uint8_t> plain(10), sealed(37);
  EXPECT_EQ(key->encrypt_into(plain, sealed).code(), StatusCode::kInvalidArgument);
  std::vector<uint8_t> box(60);
  // Overlapping but not at the in-place offset would read bytes already overwritten.
  EXPECT_EQ(key->encrypt_into(std::span(box).subspan(2, 32), box).code(),
            StatusCode::kInvalidArgument);
  EXPECT_EQ(key->encrypt_in_place(std::span(box).first(27)).code(), StatusCode::kInvalidArgument);

  // Sizes past GCM's per-nonce limit are refused before a byte is touched: the spans lie over
  // reserved, inaccessible address space.
  const size_t reserve = (size_t{1} << 36) + 64;
  void* region =
      ::mmap(nullptr, reserve, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  auto* base = static_cast<uint8_t*>(region);
  auto too_big =
      key->encrypt(std::span<const uint8_t>(base, EncryptionKey::kMaxPlaintextBytes + 1));
  ASSERT_FALSE(too_big.has_value());
  EXPECT_EQ(too_big.error().message(), "AES-GCM encryption should not fail");
  auto open_big =
      key->decrypt(std::span<const uint8_t>(base, EncryptionKey::kMaxPlaintextBytes + 29));
  ASSERT_FALSE(open_big.has_value());
  EXPECT_EQ(open_big.error().message(), "decryption failed: wrong key or corrupted data");
  ::munmap(region, reserve);
}

TEST(EncryptionKeySeal, OneKeyServesManyThreads) {
  auto key = key_of(kHex);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> plain(static_cast<size_t>(i + t), static_cast<uint8_t>(t));
        auto sealed = key->encrypt(plain);
        auto opened = sealed ? key->decrypt(*sealed) : Result<std::vector<uint8_t>>();
        if (!sealed || !opened || *opened != plain) ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace tarnwell_core
