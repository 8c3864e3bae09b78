// Snapshot files: exact bytes of an empty collection in both containers, round trips with and
// without a key, every loader message, the container rules under flipped and truncated bytes,
// raw vectors dropped when the configuration does not keep them, and the file-name rules.
#include "collection_test_util.h"
#include "core/storage/snapshot.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "core/storage/snapshot_codec.h"
#include "core/util/crc32.h"
#include "core/util/file.h"

namespace tarnwell_core {
namespace {

using Bytes = std::vector<uint8_t>;

const char kKeyHex[] = "8f1e6a0b3c5d7e9f11223344556677889900aabbccddeeff0123456789abcdef";
const char kOtherKeyHex[] = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

std::shared_ptr<const EncryptionKey> key_of(const char* hex) {
  return *EncryptionKey::from_hex(hex);
}

void put_le(Bytes& b, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Uuid uuid_of(uint8_t seed) {
  Uuid u;
  for (int i = 0; i < 16; ++i) u.bytes[i] = static_cast<uint8_t>(seed * 17 + i);
  return u;
}

std::vector<float> vec(uint64_t dim, float base) {
  std::vector<float> v(dim);
  for (uint64_t i = 0; i < dim; ++i) v[i] = base + 0.25f * static_cast<float>(i);
  return v;
}

// A collection with documents of every metadata type, one of them deleted.
std::shared_ptr<Collection> sample_collection(bool raw_vectors, uint64_t dim = 4) {
  HnswConfig config;
  config.m = 4;
  config.m_max0 = 8;
  config.ef_construction = 16;
  config.store_raw_vectors = raw_vectors;
  auto c = std::make_shared<Collection>("sample", dim, config);
  for (uint8_t i = 0; i < 12; ++i) {
    Metadata md{
        {"n", int64_t{-i}}, {"f", i * 0.5}, {"s", std::string(i % 3, 'x')}, {"b", i % 2 == 0}};
    c->insert_document(Document(uuid_of(i), "text number " + std::to_string(i) + " alpha", md),
                       vec(dim, i));
  }
  c->delete_document(uuid_of(3));
  return c;
}

// Field-by-field equality of two collections' state (map orders aside).
void expect_same_state(const Collection& a, const Collection& b) {
  a.read([&](const CollectionData& x) {
    b.read([&](const CollectionData& y) {
      EXPECT_EQ(x.name, y.name);
      EXPECT_EQ(x.dimension, y.dimension);
      EXPECT_EQ(testing_util::live_documents(x), testing_util::live_documents(y));
      EXPECT_TRUE(x.hnsw.to_fields() == y.hnsw.to_fields());
      EXPECT_EQ(x.bm25.postings, y.bm25.postings);
      EXPECT_EQ(x.bm25.doc_lengths, y.bm25.doc_lengths);
      EXPECT_EQ(x.bm25.doc_count, y.bm25.doc_count);
      EXPECT_EQ(x.bm25.total_length, y.bm25.total_length);
      EXPECT_EQ(x.ids.uuids(), y.ids.uuids());
    });
  });
}

class SnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "tw_snap_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string& file) const { return join_path(dir_, file); }
  Bytes read(const std::string& file) const { return *read_file(path(file)); }
  void write(const std::string& file, const Bytes& bytes) const {
    std::ofstream(path(file), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  Result<std::shared_ptr<Collection>> load(const std::string& file,
                                           const EncryptionKey* key = nullptr) const {
    return load_collection(path(file), key);
  }

  std::string dir_;
};

TEST_F(SnapshotTest, EmptyCollectionBytesInBothContainers) {
  HnswConfig config;  // defaults: 16, 32, 200, 50, 16, cosine, 0, false
  Collection c("c", 3, config);
  Bytes body;
  put_le(body, 1, 8);
  body.push_back('c');
  put_le(body, 3, 8);  // dimension
  put_le(body, 0, 8);  // documents
  for (uint64_t v : {16, 32, 200, 50, 16}) put_le(body, v, 8);
  put_le(body, 0, 4);                              // cosine
  put_le(body, 0, 8);                              // pq_subspaces
  body.push_back(0);                               // store_raw_vectors
  for (int i = 0; i < 7; ++i) put_le(body, 0, 8);  // vector_data .. deleted
  body.push_back(0);                               // no codebook
  put_le(body, 0, 8);                              // pq_codes
  body.push_back(0);                               // no entry point
  put_le(body, 0, 8);                              // max_level
  put_le(body, 3, 8);                              // dimension
  put_le(body, 0, 4);                              // node_count
  put_le(body, 0, 8);                              // postings
  put_le(body, 0, 8);                              // doc_lengths
  put_le(body, 0, 4);                              // doc_count
  put_le(body, 0, 8);                              // total_length
  put_le(body, 0, 8);                              // uuid_to_internal
  put_le(body, 0, 8);                              // internal_to_uuid
  ASSERT_EQ(body.size(), 208u);

  ASSERT_TRUE(save_collection(c, dir_, nullptr).ok());
  Bytes plain = body;
  plain.insert(plain.end(), {'T', 'C', 'R', '1'});
  const uint32_t crc = crc32_ieee(body);
  for (int shift = 24; shift >= 0; shift -= 8) plain.push_back(static_cast<uint8_t>(crc >> shift));
  EXPECT_EQ(read("c.twl"), plain);

  auto key = key_of(kKeyHex);
  ASSERT_TRUE(save_collection(c, dir_, key.get()).ok());
  Bytes sealed = read("c.twl");
  ASSERT_EQ(sealed.size(), 4 + 12 + body.size() + 16);
  EXPECT_EQ(Bytes(sealed.begin(), sealed.begin() + 4), (Bytes{'T', 'C', 'E', '1'}));
  auto opened = key->decrypt(std::span(sealed).subspan(4));
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(*opened, body);
}

TEST_F(SnapshotTest, RoundTripsWithAndWithoutKey) {
  auto key = key_of(kKeyHex);
  for (bool raw : {false, true}) {
    for (const EncryptionKey* k : {static_cast<const EncryptionKey*>(nullptr), key.get()}) {
      auto c = sample_collection(raw);
      ASSERT_TRUE(save_collection(*c, dir_, k).ok());
      auto loaded = load("sample.twl", k);
      ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
      expect_same_state(*c, **loaded);
      (*loaded)->read([&](const CollectionData& d) {
        EXPECT_EQ(d.hnsw.raw_vectors().size(), raw ? 12u * 4 : 0u);
        EXPECT_EQ(d.documents.size(), 11u);
      });
    }
  }
}

TEST_F(SnapshotTest, FileModesAndReplacement) {
  const std::string sub = path("a/b");
  auto c = sample_collection(false);
  ASSERT_TRUE(save_collection(*c, sub, nullptr).ok());
  struct stat st;
  ASSERT_EQ(::stat(sub.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(join_path(sub, "sample.twl").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // A leftover temporary file neither disturbs a load nor a later save, which replaces the file.
  write("a/b/sample.twl.tmp", Bytes(100, 0x5A));
  ASSERT_TRUE(load_collection(join_path(sub, "sample.twl"), nullptr).has_value());
  c->delete_document(uuid_of(4));
  ASSERT_TRUE(save_collection(*c, sub, nullptr).ok());
  auto again = load_collection(join_path(sub, "sample.twl"), nullptr);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ((*again)->document_count(), 10u);
  EXPECT_FALSE(std::filesystem::exists(join_path(sub, "sample.twl.tmp")));
}

TEST_F(SnapshotTest, LoaderMessages) {
  auto key = key_of(kKeyHex);
  auto other = key_of(kOtherKeyHex);
  auto c = sample_collection(false);
  ASSERT_TRUE(save_collection(*c, dir_, key.get()).ok());
  std::filesystem::rename(path("sample.twl"), path("sealed.twl"));
  ASSERT_TRUE(save_collection(*c, dir_, nullptr).ok());
  Bytes plain = read("sample.twl");
  Bytes flipped = plain;
  flipped[20] ^= 0x01;
  write("flipped.twl", flipped);
  const uint32_t stored = crc32_ieee(std::span(plain).first(plain.size() - 8));
  const uint32_t computed = crc32_ieee(std::span(flipped).first(flipped.size() - 8));
  char crc_text[128];
  std::snprintf(crc_text, sizeof crc_text,
                "Snapshot CRC32 mismatch: expected 0x%08x, got 0x%08x. File may be corrupted: ",
                stored, computed);
  write("short.twl", {'T', 'C', 'E'});
  write("tiny.twl", Bytes{'T', 'C', 'E', '1', 1, 2});

  struct Case {
    std::string file;
    const EncryptionKey* key;
    StatusCode code;
    std::string message;
  };
  const Case cases[] = {
      {"sealed.twl", nullptr, StatusCode::kInvalidData,
       "snapshot \"" + path("sealed.twl") + "\" is encrypted but no encryption key was provided"},
      {"sealed.twl", other.get(), StatusCode::kInvalidData,
       "decryption failed: wrong key or corrupted data"},
      {"tiny.twl", key.get(), StatusCode::kInvalidData,
       "encrypted data too short: 2 bytes (minimum 28)"},
      {"flipped.twl", nullptr, StatusCode::kInvalidData,
       std::string(crc_text) + "\"" + path("flipped.twl") + "\""},
      {"short.twl", nullptr, StatusCode::kInvalidData, "unexpected end of input"},
      {"missing.twl", nullptr, StatusCode::kIoError,
       "No such file or directory (os error 2): '" + path("missing.twl") + "'"},
  };
  for (const Case& t : cases) {
    auto r = load(t.file, t.key);
    ASSERT_FALSE(r.has_value()) << t.file;
    EXPECT_EQ(r.error().code(), t.code) << t.file;
    EXPECT_EQ(r.error().message(), t.message) << t.file;
  }
  // Files of 0 to 3 bytes are bare bodies that end at once.
  for (size_t n = 0; n < 4; ++n) {
    write("small.twl", Bytes(n, 'T'));
    auto r = load("small.twl");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "unexpected end of input") << n;
  }
}

TEST_F(SnapshotTest, ValidationFailureIsReportedWithItsCheck) {
  // The collection's dimension changed in the file: the data decodes and is then refused.
  HnswConfig config;
  config.m = 4;
  config.m_max0 = 8;
  Collection two("two", 4, config);
  two.insert_document(Document(uuid_of(1), "one", {}), vec(4, 1));
  two.insert_document(Document(uuid_of(2), "two", {}), vec(4, 2));
  auto bytes = encode_snapshot(two, nullptr);
  ASSERT_TRUE(bytes.has_value());
  Bytes body(bytes->begin(), bytes->end() - 8);
  const size_t at = 8 + 3;  // after the name
  ASSERT_EQ(body[at], 4);
  body[at] = 5;
  write("two.twl", body);
  auto r = load("two.twl");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code(), StatusCode::kInvalidData);
  EXPECT_EQ(r.error().message(),
            "snapshot validation failed: HNSW dimension 4 != collection dimension 5");
}

// The offset of the config's store_raw_vectors byte in a body.
size_t raw_flag_offset(const CollectionData& d) {
  size_t at = 8 + d.name.size() + 8 + 8;
  for (const Document& doc : testing_util::live_documents(d)) at += 24 + encoded_size(doc);
  return at + ENCODED_HNSW_CONFIG_SIZE - 1;
}

TEST_F(SnapshotTest, RawVectorsDroppedWhenTheConfigurationDoesNotKeepThem) {
  auto c = sample_collection(true);
  auto bytes = encode_snapshot(*c, nullptr);
  ASSERT_TRUE(bytes.has_value());
  Bytes body(bytes->begin(), bytes->end() - 8);
  const size_t at = c->read([](const CollectionData& d) { return raw_flag_offset(d); });
  ASSERT_EQ(body[at], 1);
  body[at] = 0;
  write("bare.twl", body);  // bare: no trailer, no check
  auto loaded = load("bare.twl");
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  (*loaded)->read([](const CollectionData& d) {
    EXPECT_TRUE(d.hnsw.raw_vectors().empty());
    EXPECT_FALSE(d.hnsw.config().store_raw_vectors);
  });
}

TEST_F(SnapshotTest, EveryFlippedByteOfAPlainSnapshot) {
  HnswConfig config;
  config.m = 2;
  config.m_max0 = 4;
  Collection c("f", 2, config);
  c.insert_document(Document(uuid_of(1), "ab", {{"k", true}}), vec(2, 1));
  c.insert_document(Document(uuid_of(2), "cd", {}), vec(2, 2));
  ASSERT_TRUE(save_collection(c, dir_, nullptr).ok());
  const Bytes good = read("f.twl");
  const size_t body = good.size() - 8;
  for (size_t i = 0; i < good.size(); ++i) {
    Bytes b = good;
    b[i] ^= 0x40;
    write("x.twl", b);
    auto r = load("x.twl");
    if (i >= body && i < body + 4) {
      // A damaged marker leaves a bare body followed by 8 ignored bytes.
      ASSERT_TRUE(r.has_value()) << "marker byte " << i;
      expect_same_state(c, **r);
    } else {
      ASSERT_FALSE(r.has_value()) << "byte " << i;
      EXPECT_NE(r.error().message().find("Snapshot CRC32 mismatch"), std::string::npos);
    }
  }
}

TEST_F(SnapshotTest, EveryFlippedByteOfASealedSnapshotFails) {
  auto key = key_of(kKeyHex);
  Collection c("f", 2, HnswConfig{});
  c.insert_document(Document(uuid_of(1), "ab", {}), vec(2, 1));
  ASSERT_TRUE(save_collection(c, dir_, key.get()).ok());
  const Bytes good = read("f.twl");
  for (size_t i = 0; i < good.size(); ++i) {
    Bytes b = good;
    b[i] ^= 0x01;
    write("x.twl", b);
    auto r = load("x.twl", key.get());
    ASSERT_FALSE(r.has_value()) << "byte " << i;
    EXPECT_EQ(r.error().code(), StatusCode::kInvalidData);
  }
}

TEST_F(SnapshotTest, EveryTruncation) {
  Collection c("t", 2, HnswConfig{});
  c.insert_document(Document(uuid_of(1), "some text", {{"s", std::string("v")}}), vec(2, 1));
  ASSERT_TRUE(save_collection(c, dir_, nullptr).ok());
  const Bytes good = read("t.twl");
  const size_t body = good.size() - 8;
  for (size_t n = 0; n < good.size(); ++n) {
    write("x.twl", Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)));
    auto r = load("x.twl");
    // A whole body, with or without part of its trailer, is a bare snapshot that loads.
    EXPECT_EQ(r.has_value(), n >= body) << n;
    if (!r) {
      EXPECT_EQ(r.error().code(), StatusCode::kInvalidData);
    }
  }
}

TEST_F(SnapshotTest, CountsLargerThanTheFileFailWithoutReserving) {
  Collection c("h", 2, HnswConfig{});
  auto bytes = encode_snapshot(c, nullptr);
  Bytes body(bytes->begin(), bytes->end() - 8);
  // The documents count sits right after the name and the dimension.
  for (uint64_t count : {uint64_t{1} << 40, ~uint64_t{0}}) {
    Bytes b = body;
    std::memcpy(b.data() + 9 + 8, &count, 8);
    write("h.twl", b);
    auto r = load("h.twl");
    ASSERT_FALSE(r.has_value());
    EXPECT_NE(r.error().message().find("unexpected end of input"), std::string::npos);
  }
}

TEST_F(SnapshotTest, SaveRefusesNamesThatAreNotFileNames) {
  Collection c("../escape", 2, HnswConfig{});
  Status s = save_collection(c, dir_, nullptr);
  EXPECT_EQ(s.code(), StatusCode::kInvalidArgument);
  EXPECT_FALSE(std::filesystem::exists(join_path(dir_, "../escape.twl")));
}

TEST(SnapshotNamesTest, ExtensionAndNameRules) {
  struct Ext {
    const char* file;
    bool snapshot;
  };
  for (const Ext& e : {Ext{"a.twl", true}, Ext{"..twl", true}, Ext{"a.b.twl", true},
                       Ext{".twl", false}, Ext{"a.twl.tmp", false}, Ext{"a.TWL", false},
                       Ext{"a.twl.bak", false}, Ext{"twl", false}, Ext{"a.twlx", false}}) {
    EXPECT_EQ(has_snapshot_extension(e.file), e.snapshot) << e.file;
  }
  EXPECT_EQ(snapshot_file_name("x"), "x.twl");
  const std::string longest(247, 'n');
  for (std::string_view ok : {std::string_view("a"), std::string_view("..."),
                              std::string_view(longest), std::string_view("ünï code")}) {
    EXPECT_TRUE(validate_collection_name(ok).ok()) << ok;
  }
  for (std::string_view bad :
       {std::string_view(""), std::string_view("."), std::string_view(".."),
        std::string_view("a/b"), std::string_view("/"), std::string_view("a\0b", 3)}) {
    Status s = validate_collection_name(bad);
    EXPECT_EQ(s.code(), StatusCode::kInvalidArgument) << bad;
  }
  EXPECT_EQ(validate_collection_name(std::string(248, 'n')).message(),
            "collection name is 248 bytes long; at most 247 are allowed");
}

}  // namespace
}  // namespace tarnwell_core
