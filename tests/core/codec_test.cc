#include "core/util/codec.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

namespace tarnwell_core {
namespace {

std::vector<uint8_t> bytes_of(std::initializer_list<int> v) {
  return std::vector<uint8_t>(v.begin(), v.end());
}

std::vector<uint8_t> u64_le(uint64_t v) {
  std::vector<uint8_t> out;
  Encoder(out).put_u64(v);
  return out;
}

TEST(Codec, WritesTheDocumentedByteLayout) {
  std::vector<uint8_t> out;
  Encoder enc(out);
  enc.put_u8(0xAB);
  enc.put_u32(0x01020304);
  enc.put_u64(0x1122334455667788ULL);
  enc.put_i64(-2);
  enc.put_f32(1.0f);
  enc.put_f64(-0.0);
  enc.put_bool(true);
  enc.put_option_tag(false);
  enc.put_enum(2);
  enc.put_string("hé");
  Uuid u;
  for (int i = 0; i < 16; ++i) u.bytes[i] = static_cast<uint8_t>(i);
  enc.put_uuid(u);
  const std::vector<float> floats = {1.5f};
  enc.put_f32_array(floats);

  // clang-format off
  std::vector<uint8_t> expected = bytes_of({
      0xAB,                                            // u8
      0x04, 0x03, 0x02, 0x01,                          // u32
      0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // u64
      0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // i64 -2
      0x00, 0x00, 0x80, 0x3F,                          // f32 1.0
      0, 0, 0, 0, 0, 0, 0, 0x80,                       // f64 -0.0
      1,                                               // bool
      0,                                               // option tag
      2, 0, 0, 0,                                      // enum index
      3, 0, 0, 0, 0, 0, 0, 0, 'h', 0xC3, 0xA9,         // string: byte count, UTF-8
      16, 0, 0, 0, 0, 0, 0, 0,                         // uuid length, then its bytes
      0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
      1, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0xC0, 0x3F,  // f32 sequence
  });
  // clang-format on
  EXPECT_EQ(out, expected);
  EXPECT_EQ(encoded_string_size("hé"), 11u);
  EXPECT_EQ(ENCODED_UUID_SIZE, 24u);
  EXPECT_EQ(encoded_array_size<float>(1), 12u);

  Decoder dec(out);
  EXPECT_EQ(*dec.u8(), 0xAB);
  EXPECT_EQ(*dec.u32(), 0x01020304u);
  EXPECT_EQ(*dec.u64(), 0x1122334455667788ULL);
  EXPECT_EQ(*dec.i64(), -2);
  EXPECT_EQ(*dec.f32(), 1.0f);
  EXPECT_TRUE(std::signbit(*dec.f64()));
  EXPECT_EQ(*dec.boolean(), true);
  EXPECT_EQ(*dec.option_tag(), false);
  EXPECT_EQ(*dec.enum_index(3), 2u);
  EXPECT_EQ(*dec.string(), "hé");
  EXPECT_EQ(*dec.uuid(), u);
  EXPECT_EQ(*dec.f32_array(), floats);
  EXPECT_EQ(dec.remaining(), 0u);
}

TEST(Codec, BulkArraysRoundTripBitForBit) {
  std::vector<float> f = {0.0f, -0.0f, std::numeric_limits<float>::infinity(),
                          std::bit_cast<float>(0x7FC01234u), std::bit_cast<float>(0x00000001u)};
  std::vector<uint32_t> w = {0, 1, 0xFFFFFFFFu, 0x80000000u};
  std::vector<uint8_t> b = {0, 255, 7};
  std::vector<uint8_t> flags = {0, 1, 1, 0};
  std::vector<uint8_t> out;
  Encoder enc(out);
  enc.put_f32_array(f);
  enc.put_u32_array(w);
  enc.put_byte_array(b);
  enc.put_byte_array(flags);
  enc.put_f32_array({});
  EXPECT_EQ(out.size(), encoded_array_size<float>(5) + encoded_array_size<uint32_t>(4) +
                            encoded_array_size<uint8_t>(3) + encoded_array_size<uint8_t>(4) +
                            encoded_array_size<float>(0));

  Decoder dec(out);
  auto f2 = dec.f32_array();
  ASSERT_TRUE(f2.has_value());
  ASSERT_EQ(f2->size(), f.size());
  for (size_t i = 0; i < f.size(); ++i) {
    EXPECT_EQ(std::bit_cast<uint32_t>((*f2)[i]), std::bit_cast<uint32_t>(f[i])) << i;
  }
  EXPECT_EQ(*dec.u32_array(), w);
  EXPECT_EQ(*dec.byte_array(), b);
  EXPECT_EQ(*dec.bool_array(), flags);
  EXPECT_TRUE(dec.f32_array()->empty());
}

// Every read that runs out of input fails with the same kInvalidData error, whatever was read
// partially; the same bytes, one longer, decode (all zeros is a valid encoding of each).
TEST(Codec, EveryReadFailsCleanlyAtEndOfInput) {
  struct Read {
    const char* name;
    size_t needs;
    std::function<Status(Decoder&)> read;
  };
  auto st = [](auto r) { return r.has_value() ? Status() : r.error(); };
  const Read reads[] = {
      {"u8", 1, [&](Decoder& d) { return st(d.u8()); }},
      {"u32", 4, [&](Decoder& d) { return st(d.u32()); }},
      {"u64", 8, [&](Decoder& d) { return st(d.u64()); }},
      {"i64", 8, [&](Decoder& d) { return st(d.i64()); }},
      {"f32", 4, [&](Decoder& d) { return st(d.f32()); }},
      {"f64", 8, [&](Decoder& d) { return st(d.f64()); }},
      {"bool", 1, [&](Decoder& d) { return st(d.boolean()); }},
      {"option", 1, [&](Decoder& d) { return st(d.option_tag()); }},
      {"enum", 4, [&](Decoder& d) { return st(d.enum_index(4)); }},
      {"count", 8, [&](Decoder& d) { return st(d.count(4)); }},
      {"string", 8, [&](Decoder& d) { return st(d.string()); }},
      {"f32 array", 8, [&](Decoder& d) { return st(d.f32_array()); }},
      {"bool array", 8, [&](Decoder& d) { return st(d.bool_array()); }},
  };
  for (const Read& r : reads) {
    for (size_t len = 0; len <= r.needs; ++len) {
      std::vector<uint8_t> in(len, 0);
      Decoder d(in);
      Status s = r.read(d);
      if (len == r.needs) {
        EXPECT_TRUE(s.ok()) << r.name;
      } else {
        EXPECT_EQ(s.code(), StatusCode::kInvalidData) << r.name << " from " << len;
        EXPECT_EQ(s.message(), "unexpected end of input") << r.name << " from " << len;
      }
    }
  }
  // Counted reads whose count promises one byte more than is there.
  std::vector<uint8_t> promise = u64_le(16);
  promise.resize(8 + 15, 'a');
  EXPECT_FALSE(Decoder(promise).string().has_value());
  EXPECT_FALSE(Decoder(promise).uuid().has_value());
  EXPECT_FALSE(Decoder(promise).byte_array().has_value());
}

TEST(Codec, RefusesOutOfRangeTagsAndFlags) {
  struct Case {
    std::vector<uint8_t> in;
    std::function<Status(Decoder&)> read;
    std::string message;
  };
  auto status_of = [](auto r) { return r.has_value() ? Status() : r.error(); };
  const Case cases[] = {
      {bytes_of({2}), [&](Decoder& d) { return status_of(d.boolean()); },
       "invalid value: integer `2`, expected a boolean"},
      {bytes_of({255}), [&](Decoder& d) { return status_of(d.option_tag()); },
       "invalid value: integer `255`, expected an option tag 0 or 1"},
      {bytes_of({4, 0, 0, 0}), [&](Decoder& d) { return status_of(d.enum_index(4)); },
       "invalid value: integer `4`, expected variant index 0 <= i < 4"},
      {bytes_of({6, 0, 0, 0}), [&](Decoder& d) { return status_of(d.enum_index(6)); },
       "invalid value: integer `6`, expected variant index 0 <= i < 6"},
      {bytes_of({3, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2}),
       [&](Decoder& d) { return status_of(d.bool_array()); },
       "invalid value: integer `2`, expected a boolean"},
  };
  for (const Case& c : cases) {
    Decoder d(c.in);
    Status s = c.read(d);
    EXPECT_EQ(s.code(), StatusCode::kInvalidData) << c.message;
    EXPECT_EQ(s.message(), c.message);
  }
  std::vector<uint8_t> ok = bytes_of({3, 0, 0, 0});
  Decoder d(ok);
  EXPECT_EQ(*d.enum_index(4), 3u);
}

TEST(Codec, UuidLengthMustBeSixteen) {
  for (uint64_t len : {0ULL, 15ULL, 17ULL, 1ULL << 40}) {
    std::vector<uint8_t> in = u64_le(len);
    in.resize(in.size() + 32, 0xAA);
    Decoder d(in);
    auto u = d.uuid();
    ASSERT_FALSE(u.has_value()) << len;
    EXPECT_EQ(u.error().code(), StatusCode::kInvalidData);
    EXPECT_EQ(
        u.error().message(),
        "UUID parsing failed: invalid length: expected 16 bytes, found " + std::to_string(len));
  }
}

TEST(Codec, Utf8ValidationMatchesTheStandard) {
  struct Case {
    std::string s;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii text, longer than eight bytes", true},
      {"h\xC3\xA9llo", true},                  // é
      {"\xE2\x82\xAC", true},                  // €
      {"\xF0\x9F\x98\x80", true},              // emoji
      {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", true},  // U+FFFF, U+10FFFF
      {"\x80", false},                         // lone continuation
      {"\xC3", false},                         // truncated
      {"abcdefgh\xC3", false},                 // truncated after the fast skip
      {"\xC0\xAF", false},                     // overlong '/'
      {"\xC1\xBF", false},                     // overlong
      {"\xE0\x80\xAF", false},                 // overlong
      {"\xE0\x9F\xBF", false},                 // overlong (below U+0800)
      {"\xED\xA0\x80", false},                 // surrogate U+D800
      {"\xED\xBF\xBF", false},                 // surrogate U+DFFF
      {"\xF0\x8F\xBF\xBF", false},             // overlong 4-byte
      {"\xF4\x90\x80\x80", false},             // above U+10FFFF
      {"\xF5\x80\x80\x80", false},             // invalid lead
      {"\xFF", false},
      {"\xE2\x82"
       "A",
       false},                         // continuation replaced by ASCII
      {std::string("a\0b", 3), true},  // NUL is valid UTF-8
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_valid_utf8(c.s), c.valid) << testing::PrintToString(c.s);
    std::vector<uint8_t> in;
    Encoder(in).put_string(c.s);
    Decoder d(in);
    auto r = d.string();
    EXPECT_EQ(r.has_value(), c.valid) << testing::PrintToString(c.s);
    if (!r) {
      EXPECT_EQ(r.error().code(), StatusCode::kInvalidData);
    }
  }
}

// A count is checked against the bytes left before anything is sized from it, and the check
// cannot overflow: were these counts allocated, the vectors would throw instead.
TEST(Codec, CountsBeyondTheInputFailWithoutAllocating) {
  const uint64_t counts[] = {std::numeric_limits<uint64_t>::max(), 1ULL << 62, 1ULL << 61,
                             (1ULL << 62) + 1, 5};
  for (uint64_t n : counts) {
    std::vector<uint8_t> in = u64_le(n);
    in.resize(in.size() + 16, 0);  // room for 16 bytes, 4 floats
    auto check = [&](auto read) {
      Decoder d(in);
      auto r = read(d);
      ASSERT_FALSE(r.has_value()) << n;
      EXPECT_EQ(r.error().code(), StatusCode::kInvalidData);
    };
    check([](Decoder& d) { return d.f32_array(); });
    check([](Decoder& d) { return d.u32_array(); });
    if (n > 16) {
      check([](Decoder& d) { return d.byte_array(); });
      check([](Decoder& d) { return d.string(); });
    }
    check([](Decoder& d) { return d.count(24); });
  }
  // The boundary itself is accepted: exactly count * size bytes left.
  std::vector<uint8_t> in = u64_le(4);
  in.resize(in.size() + 16, 0);
  Decoder d(in);
  EXPECT_EQ(*d.count(4), 4u);
  Decoder d2(in);
  EXPECT_FALSE(d2.count(5).has_value());

  EXPECT_EQ(Decoder::reserve_hint(1ULL << 40, METADATA_RESERVE_CAP), 21845u);
  EXPECT_EQ(Decoder::reserve_hint(1ULL << 40, UUID_MAP_RESERVE_CAP), 52428u);
  EXPECT_EQ(Decoder::reserve_hint(7, UUID_MAP_RESERVE_CAP), 7u);
}

TEST(Codec, RawAndRestViewTheInput) {
  std::vector<uint8_t> in = bytes_of({1, 2, 3, 4, 5});
  Decoder d(in);
  auto head = d.raw(2);
  ASSERT_TRUE(head.has_value());
  EXPECT_EQ(head->data(), in.data());
  EXPECT_EQ(d.position(), 2u);
  EXPECT_EQ(d.rest().size(), 3u);
  EXPECT_FALSE(d.raw(4).has_value());
  EXPECT_TRUE(d.raw(3).has_value());
  EXPECT_EQ(d.remaining(), 0u);
}

}  // namespace
}  // namespace tarnwell_core
