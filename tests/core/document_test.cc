#include "core/document.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

namespace tarnwell_core {
namespace {

Uuid sample_id() { return *Uuid::parse("67e55044-10b1-426f-9247-bb680e5fe0c8"); }

std::vector<uint8_t> encode(const Document& doc) {
  std::vector<uint8_t> out;
  out.reserve(encoded_size(doc));
  Encoder enc(out);
  encode_document(doc, enc);
  return out;
}

// Hand-assembled document bytes, for shapes the encoder never writes.
struct Bytes {
  std::vector<uint8_t> v;
  Encoder enc{v};
  Bytes& u8(uint8_t x) { return enc.put_u8(x), *this; }
  Bytes& u32(uint32_t x) { return enc.put_u32(x), *this; }
  Bytes& u64(uint64_t x) { return enc.put_u64(x), *this; }
  Bytes& i64(int64_t x) { return enc.put_i64(x), *this; }
  Bytes& str(std::string_view s) { return enc.put_string(s), *this; }
  Bytes& id() { return enc.put_uuid(sample_id()), *this; }
};

Status decode_status(const std::vector<uint8_t>& bytes) {
  Decoder dec(bytes);
  auto r = decode_document(dec);
  return r.has_value() ? Status() : r.error();
}

TEST(Document, EmptyDocumentIsFortyBytes) {
  Document doc(sample_id(), "", {});
  std::vector<uint8_t> bytes = encode(doc);
  ASSERT_EQ(bytes.size(), 40u);
  EXPECT_EQ(encoded_size(doc), 40u);
  EXPECT_EQ(bytes[0], 16);  // the UUID's length prefix
  EXPECT_EQ(bytes[8], 0x67);
  EXPECT_EQ(bytes[23], 0xc8);
  Decoder dec(bytes);
  auto back = decode_document(dec);
  ASSERT_TRUE(back.has_value()) << back.error().message();
  EXPECT_EQ(*back, doc);
  EXPECT_EQ(dec.remaining(), 0u);
}

TEST(Document, EveryMetadataVariantSurvivesBitForBit) {
  const double nan_payload = std::bit_cast<double>(0x7FF8DEADBEEF0001ULL);
  const double signalling = std::bit_cast<double>(0xFFF0000000000001ULL);
  Metadata md = {
      {"flag", true},
      {"off", false},
      {"neg", int64_t{-42}},
      {"min", std::numeric_limits<int64_t>::min()},
      {"max", std::numeric_limits<int64_t>::max()},
      {"nan", nan_payload},
      {"snan", signalling},
      {"negzero", -0.0},
      {"inf", -std::numeric_limits<double>::infinity()},
      {"empty", std::string()},
      {"text", std::string("città Ωμέγα 😀")},
      {"", std::string("empty key")},
  };
  Document doc(sample_id(), "some text", md);
  std::vector<uint8_t> bytes = encode(doc);
  EXPECT_EQ(bytes.size(), encoded_size(doc));
  Decoder dec(bytes);
  auto back = decode_document(dec);
  ASSERT_TRUE(back.has_value()) << back.error().message();
  ASSERT_EQ(back->metadata.size(), md.size());
  for (const auto& [key, value] : md) {
    ASSERT_TRUE(back->metadata.contains(key)) << key;
    EXPECT_TRUE(identical(back->metadata.at(key), value)) << key;
  }
  EXPECT_EQ(std::bit_cast<uint64_t>(std::get<double>(back->metadata.at("nan"))),
            0x7FF8DEADBEEF0001ULL);
  EXPECT_EQ(*back, doc);
}

TEST(Document, EntrySizesMatchTheLayout) {
  // key length + 8, + 4 for the tag, + 1 (Bool), 8 (Int, Float) or 8 + length (String).
  struct Case {
    MetadataValue value;
    size_t size;
  };
  const Case cases[] = {{true, 3 + 8 + 4 + 1},
                        {int64_t{1}, 3 + 8 + 4 + 8},
                        {2.5, 3 + 8 + 4 + 8},
                        {std::string("abcd"), 3 + 8 + 4 + 8 + 4}};
  for (const Case& c : cases) {
    Document doc(sample_id(), "", {{"key", c.value}});
    EXPECT_EQ(encoded_size(doc), 40 + c.size) << c.value.index();
    EXPECT_EQ(encode(doc).size(), 40 + c.size) << c.value.index();
  }
}

TEST(Document, RefusesMalformedEncodings) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    std::string message;  // empty: any unexpected-end error
  };
  const Case cases[] = {
      {"id length 15", Bytes().u64(15).u64(0).u64(0).u64(0).u64(0).v,
       "UUID parsing failed: invalid length: expected 16 bytes, found 15"},
      {"id length 17", Bytes().u64(17).u64(0).u64(0).u64(0).u64(0).v,
       "UUID parsing failed: invalid length: expected 16 bytes, found 17"},
      {"tag 4", Bytes().id().str("").u64(1).str("k").u32(4).u8(0).v,
       "invalid value: integer `4`, expected variant index 0 <= i < 4"},
      {"bool byte 2", Bytes().id().str("").u64(1).str("k").u32(0).u8(2).v,
       "invalid value: integer `2`, expected a boolean"},
      {"text not UTF-8", Bytes().id().str("ab\xff").u64(0).v, "invalid value: string is not UTF-8"},
      {"key not UTF-8", Bytes().id().str("").u64(1).str("\xc3").u32(0).u8(1).v,
       "invalid value: string is not UTF-8"},
      {"string value not UTF-8", Bytes().id().str("").u64(1).str("k").u32(3).str("\xed\xa0\x80").v,
       "invalid value: string is not UTF-8"},
      {"metadata count beyond the input", Bytes().id().str("").u64(1ULL << 60).v, ""},
      {"text length beyond the input", Bytes().id().u64(~0ULL).v, ""},
      {"second entry missing", Bytes().id().str("").u64(2).str("k").u32(1).i64(5).v, ""},
  };
  for (const Case& c : cases) {
    Status s = decode_status(c.bytes);
    EXPECT_EQ(s.code(), StatusCode::kInvalidData) << c.what;
    if (c.message.empty()) {
      EXPECT_TRUE(s.message().starts_with("unexpected end of input")) << c.what << s.message();
    } else {
      EXPECT_EQ(s.message(), c.message) << c.what;
    }
  }
}

TEST(Document, EveryTruncationIsAnError) {
  Document doc(sample_id(), "text é",
               {{"b", true}, {"i", int64_t{-7}}, {"f", 0.5}, {"s", std::string("xyz")}});
  std::vector<uint8_t> bytes = encode(doc);
  for (size_t len = 0; len < bytes.size(); ++len) {
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(len));
    Status s = decode_status(cut);
    ASSERT_FALSE(s.ok()) << "decoded from " << len << " of " << bytes.size() << " bytes";
    EXPECT_EQ(s.code(), StatusCode::kInvalidData) << len;
    EXPECT_TRUE(s.message().starts_with("unexpected end of input")) << len << ": " << s.message();
  }
  EXPECT_TRUE(decode_status(bytes).ok());
}

TEST(Document, LaterDuplicateKeyWins) {
  Bytes b;
  b.id().str("t").u64(3);
  b.str("k").u32(1).i64(1);
  b.str("other").u32(0).u8(1);
  b.str("k").u32(3).str("last");
  const std::vector<uint8_t>& bytes = b.v;
  Decoder dec(bytes);
  auto doc = decode_document(dec);
  ASSERT_TRUE(doc.has_value()) << doc.error().message();
  EXPECT_EQ(doc->metadata.size(), 2u);
  EXPECT_TRUE(identical(doc->metadata.at("k"), MetadataValue(std::string("last"))));
}

TEST(Document, CreateDrawsFreshVersion4Ids) {
  auto a = Document::create("a", {});
  auto b = Document::create("a", {});
  ASSERT_TRUE(a.has_value() && b.has_value());
  EXPECT_NE(a->id, b->id);
  std::string text = a->id.to_string();
  EXPECT_EQ(text[14], '4');
  EXPECT_NE(std::string("89ab").find(text[19]), std::string::npos);
}

TEST(Document, CloneIsIndependentOfItsSource) {
  auto source = std::make_unique<Document>(
      sample_id(), std::string(100, 'x'),
      Metadata{{"s", std::string(100, 'y')}, {"n", std::bit_cast<double>(0x7FF0000000000123ULL)}});
  Document copy = source->clone();
  EXPECT_EQ(copy, *source);  // NaN payloads compare by bits
  std::get<std::string>(source->metadata["s"]).assign("changed");
  source->text.assign("changed");
  EXPECT_EQ(std::get<std::string>(copy.metadata.at("s")), std::string(100, 'y'));
  source.reset();
  EXPECT_EQ(copy.text, std::string(100, 'x'));
}

TEST(Document, IdenticalComparesFloatsByBits) {
  EXPECT_TRUE(identical(std::nan(""), std::nan("")));
  EXPECT_FALSE(identical(0.0, -0.0));
  EXPECT_FALSE(identical(int64_t{1}, 1.0));
  EXPECT_FALSE(identical(true, int64_t{1}));
  EXPECT_TRUE(identical(std::string("a"), std::string("a")));
}

}  // namespace
}  // namespace tarnwell_core
