// Log record payloads: the exact bytes of every variant, the framed DeleteDocument record, round
// trips, and the decoder's refusals (short payloads, unknown tags, truncation anywhere, counts
// larger than the payload).
#include "core/storage/wal_entry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <limits>

#include "core/storage/wal.h"
#include "core/util/crc32.h"
#include "core/util/file.h"

namespace tarnwell_core {
namespace {

using Bytes = std::vector<uint8_t>;

// Little-endian byte builder for expected payloads, written independently of the Encoder.
struct B {
  Bytes b;
  B& u8(uint8_t v) {
    b.push_back(v);
    return *this;
  }
  B& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  B& u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  B& f32(float v) { return u32(std::bit_cast<uint32_t>(v)); }
  B& str(std::string_view s) {
    u64(s.size());
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  B& id(const Uuid& u) {
    u64(16);
    b.insert(b.end(), u.bytes.begin(), u.bytes.end());
    return *this;
  }
  B& bytes(const Bytes& x) {
    b.insert(b.end(), x.begin(), x.end());
    return *this;
  }
};

Uuid uuid_of(uint8_t first) {
  Uuid u;
  for (int i = 0; i < 16; ++i) u.bytes[i] = static_cast<uint8_t>(first + i);
  return u;
}

HnswConfig sample_config() {
  HnswConfig c;
  c.m = 8;
  c.m_max0 = 16;
  c.ef_construction = 100;
  c.ef_search = 40;
  c.max_layers = 16;
  c.distance_metric = DistanceMetric::Euclidean;
  c.pq_subspaces = 4;
  c.store_raw_vectors = true;
  return c;
}

Bytes config_bytes(const HnswConfig& c) {
  return B{}
      .u64(c.m)
      .u64(c.m_max0)
      .u64(c.ef_construction)
      .u64(c.ef_search)
      .u64(c.max_layers)
      .u32(static_cast<uint32_t>(c.distance_metric))
      .u64(c.pq_subspaces)
      .u8(c.store_raw_vectors)
      .b;
}

// A document with one Int metadata entry ("k" → 7): 24 + 10 + 8 + 9 + 4 + 8 = 63 bytes.
Document sample_document(uint8_t first) {
  return Document(uuid_of(first), "hi", {{"k", int64_t{7}}});
}
Bytes document_bytes(const Document& d) {
  return B{}.id(d.id).str(d.text).u64(1).str("k").u32(1).u64(7).b;
}

TEST(WalEntryEncodingTest, PayloadOfEveryVariant) {
  const Document doc = sample_document(0x10);
  const Document doc2 = sample_document(0x40);
  const std::vector<float> emb = {1.0f, -2.5f};
  const Bytes emb_bytes = B{}.u64(2).f32(1.0f).f32(-2.5f).b;
  struct Case {
    const char* what;
    Bytes got;
    Bytes want;
  };
  const std::vector<DocumentWithEmbedding> batch = {{doc, emb}, {doc2, {}}};
  const Case cases[] = {
      {"create", encode_create_collection_record("c", 3, sample_config()),
       B{}.u32(0).str("c").u64(3).bytes(config_bytes(sample_config())).b},
      {"delete collection", encode_delete_collection_record("coll"), B{}.u32(1).str("coll").b},
      {"insert", encode_insert_record("c", doc, emb),
       B{}.u32(2).str("c").bytes(document_bytes(doc)).bytes(emb_bytes).b},
      {"delete document", encode_delete_document_record("c", uuid_of(0x20)),
       B{}.u32(3).str("c").id(uuid_of(0x20)).b},
      {"batch", encode_batch_insert_record("c", batch),
       B{}.u32(4)
           .str("c")
           .u64(2)
           .bytes(document_bytes(doc))
           .bytes(emb_bytes)
           .bytes(document_bytes(doc2))
           .u64(0)
           .b},
      {"empty batch", encode_batch_insert_record("c", {}), B{}.u32(4).str("c").u64(0).b},
      {"update", encode_update_record("c", uuid_of(0x30), doc, emb),
       B{}.u32(5).str("c").id(uuid_of(0x30)).bytes(document_bytes(doc)).bytes(emb_bytes).b},
      // Option tags (one byte each) say which of text and metadata follow.
      {"patch text", encode_patch_record("c", uuid_of(0x50), std::string("hi"), std::nullopt),
       B{}.u32(6).str("c").id(uuid_of(0x50)).u8(1).str("hi").u8(0).b},
      {"patch metadata", encode_patch_record("c", uuid_of(0x50), std::nullopt, Metadata{}),
       B{}.u32(6).str("c").id(uuid_of(0x50)).u8(0).u8(1).u64(0).b},
      {"delete many", encode_delete_many_record("c", std::vector{uuid_of(1), uuid_of(2)}),
       B{}.u32(7).str("c").u64(2).id(uuid_of(1)).id(uuid_of(2)).b},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.got, c.want) << c.what;
    // The encoders size their buffer exactly: no slack capacity was ever needed.
    EXPECT_EQ(c.got.capacity(), c.got.size()) << c.what;
  }
  EXPECT_EQ(cases[0].want.size(), 4u + 9 + 8 + 53);
  EXPECT_EQ(cases[5].want.size(), 21u);
}

TEST(WalEntryEncodingTest, DeleteDocumentRecordIs45BytesInTheLog) {
  std::string dir = ::testing::TempDir() + "tw_walentry_XXXXXX";
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  const Bytes payload = encode_delete_document_record("c", uuid_of(0xA0));
  ASSERT_EQ(payload.size(), 37u);
  {
    auto wal = SyncWriteAheadLog::open(dir, nullptr);
    ASSERT_TRUE(wal.has_value());
    ASSERT_TRUE((*wal)->append(payload).ok());
  }
  auto file = read_file(join_path(dir, WAL_FILE_NAME));
  ASSERT_TRUE(file.has_value());
  const uint32_t crc = crc32_ieee(payload);
  Bytes want = {0,
                0,
                0,
                37,
                static_cast<uint8_t>(crc >> 24),
                static_cast<uint8_t>(crc >> 16),
                static_cast<uint8_t>(crc >> 8),
                static_cast<uint8_t>(crc)};
  want.insert(want.end(), payload.begin(), payload.end());
  EXPECT_EQ(*file, want);
  EXPECT_EQ(file->size(), 45u);
  std::filesystem::remove_all(dir);
}

std::vector<WalEntry> one_of_each() {
  Document doc = sample_document(1);
  doc.metadata["f"] = std::numeric_limits<double>::quiet_NaN();
  doc.metadata["s"] = std::string("é");
  doc.metadata["b"] = true;
  return {
      {WalEntry::CreateCollection{"docs", 128, sample_config()}},
      {WalEntry::DeleteCollection{"docs"}},
      {WalEntry::InsertDocument{"docs", doc, {0.5f, -0.0f, 3e38f}}},
      {WalEntry::DeleteDocument{"docs", uuid_of(9)}},
      {WalEntry::BatchInsert{"docs", {{doc, {1.0f}}, {sample_document(50), {}}}}},
      {WalEntry::UpdateDocument{"docs", uuid_of(1), doc, {2.0f, 3.0f}}},
      {WalEntry::PatchDocument{"docs", uuid_of(2), std::string("new"), std::nullopt}},
      {WalEntry::PatchDocument{"docs", uuid_of(3), std::nullopt, doc.metadata}},
      {WalEntry::PatchDocument{"docs", uuid_of(4), std::string(), Metadata{}}},
      {WalEntry::DeleteDocuments{"docs", {uuid_of(5), uuid_of(6)}}},
      {WalEntry::DeleteDocuments{"docs", {}}},
  };
}

TEST(WalEntryDecodingTest, EveryVariantRoundTrips) {
  for (const WalEntry& entry : one_of_each()) {
    const Bytes payload = encode_wal_entry(entry);
    auto decoded = decode_wal_entry(payload);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
    EXPECT_EQ(decoded->tag(), entry.tag());
    EXPECT_EQ(*decoded, entry) << static_cast<int>(entry.tag());
    // Bytes after the last field are ignored.
    Bytes longer = payload;
    longer.push_back(0xEE);
    auto again = decode_wal_entry(longer);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(*again, entry);
  }
}

TEST(WalEntryDecodingTest, EveryTruncationFails) {
  for (const WalEntry& entry : one_of_each()) {
    const Bytes payload = encode_wal_entry(entry);
    for (size_t n = 0; n < payload.size(); ++n) {
      auto decoded = decode_wal_entry(std::span(payload).first(n));
      EXPECT_FALSE(decoded.has_value())
          << "tag " << static_cast<int>(entry.tag()) << " cut to " << n;
      if (!decoded) {
        EXPECT_EQ(decoded.error().code(), StatusCode::kInvalidData);
      }
    }
  }
}

TEST(WalEntryDecodingTest, RefusesUnknownTagsAndBadFields) {
  const Bytes good_create = encode_create_collection_record("c", 3, sample_config());
  Bytes bad_metric = good_create;
  bad_metric[4 + 9 + 8 + 40] = 3;  // distance_metric is the sixth config field
  Bytes bad_flag = good_create;
  bad_flag.back() = 2;  // store_raw_vectors
  Bytes bad_uuid_len = encode_delete_document_record("c", uuid_of(0));
  bad_uuid_len[4 + 9] = 15;
  Bytes bad_utf8 = encode_delete_collection_record("ab");
  bad_utf8[4 + 8] = 0xC3;
  struct Case {
    const char* what;
    Bytes payload;
    const char* message_part;
  };
  const Case cases[] = {
      {"tag 8", B{}.u32(8).str("c").b, "variant index 0 <= i < 8"},
      {"tag 2^32-1", B{}.u32(0xFFFFFFFF).b, "variant index 0 <= i < 8"},
      {"huge delete count", B{}.u32(7).str("c").u64(uint64_t{1} << 60).b, "unexpected end"},
      {"metric 3", bad_metric, "variant index 0 <= i < 3"},
      {"bool 2", bad_flag, "boolean"},
      {"uuid length 15", bad_uuid_len, "UUID parsing failed"},
      {"invalid UTF-8 name", bad_utf8, "UTF-8"},
      // Counts beyond what the payload holds fail before anything is reserved for them.
      {"huge batch count", B{}.u32(4).str("c").u64(uint64_t{1} << 60).b, "unexpected end"},
      {"huge embedding count",
       B{}.u32(2).str("c").bytes(document_bytes(sample_document(0))).u64(~uint64_t{0}).b,
       "unexpected end"},
      {"huge name length", B{}.u32(1).u64(uint64_t{1} << 62).b, "unexpected end"},
  };
  for (const Case& c : cases) {
    auto decoded = decode_wal_entry(c.payload);
    ASSERT_FALSE(decoded.has_value()) << c.what;
    EXPECT_EQ(decoded.error().code(), StatusCode::kInvalidData) << c.what;
    EXPECT_NE(decoded.error().message().find(c.message_part), std::string::npos)
        << c.what << ": " << decoded.error().message();
  }
}

}  // namespace
}  // namespace tarnwell_core
