// The document layer's own invariants: the id table and the store agree with a plain map under
// long random churn, removed records' space is reclaimed, compact metadata round-trips every
// value, and the same state always writes the same snapshot bytes.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "collection_test_util.h"
#include "core/collection/document_store.h"
#include "core/storage/snapshot.h"
#include "core/storage/snapshot_codec.h"

namespace tarnwell_core {
namespace {

using testing_util::doc;
using testing_util::uid;

Uuid random_id(std::mt19937_64& rng) {
  Uuid u;
  for (size_t i = 0; i < 16; i += 8) {
    const uint64_t v = rng();
    std::memcpy(u.bytes.data() + i, &v, 8);
  }
  return u;
}

TEST(IdTable, AgreesWithAMapUnderChurn) {
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    IdTable table;
    std::unordered_map<Uuid, uint32_t, UuidHash> want;
    uint32_t sequential = 0;
    const auto fresh = [&] {
      // Half the ids sequential (as callers may choose them), half random.
      Uuid u = seed % 2 == 0 ? uid(++sequential) : random_id(rng);
      while (want.contains(u)) u = random_id(rng);
      return u;
    };
    for (int step = 0; step < 20000; ++step) {
      if (table.empty() || rng() % 3 != 0) {
        table.reserve(1);
        const Uuid u = fresh();
        const uint32_t p = table.push_back(u);
        ASSERT_EQ(p, want.size());
        want.emplace(u, p);
      } else {
        const auto p = static_cast<uint32_t>(rng() % table.size());
        const Uuid u = fresh();
        want.erase(table[p]);
        table.rekey(p, u);
        want.emplace(u, p);
      }
    }
    ASSERT_EQ(table.size(), want.size());
    for (const auto& [u, p] : want) {
      ASSERT_EQ(table.find(u), p);
      ASSERT_EQ(table[p], u);
    }
    for (int i = 0; i < 1000; ++i) EXPECT_FALSE(table.contains(random_id(rng)));
    // Built at once from the same ids, the table answers alike.
    const IdTable rebuilt(table.uuids());
    for (const auto& [u, p] : want) ASSERT_EQ(rebuilt.find(u), p);
  }
}

Metadata random_metadata(std::mt19937_64& rng) {
  Metadata m;
  const size_t n = rng() % 4;
  for (size_t i = 0; i < n; ++i) {
    static const char* const KEYS[] = {"k0", "k1", "k2", "k3", "k4", "k5"};
    const std::string key = KEYS[rng() % 6];
    switch (rng() % 4) {
      case 0:
        m[key] = rng() % 2 == 0;
        break;
      case 1:
        m[key] = static_cast<int64_t>(rng());
        break;
      case 2:
        m[key] = std::bit_cast<double>(rng());
        break;
      default:
        m[key] = std::string(rng() % 40, 'v');
    }
  }
  return m;
}

bool same_metadata(const Metadata& a, const Metadata& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [k, v] : a) {
    const auto it = b.find(k);
    if (it == b.end() || !identical(v, it->second)) return false;
  }
  return true;
}

TEST(DocumentStore, AgreesWithAMapUnderChurnAndReclaimsSpace) {
  for (uint64_t seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    DocumentStore store;
    std::map<uint32_t, std::pair<std::string, Metadata>> want;
    uint32_t next = 0;
    for (int step = 0; step < 20000; ++step) {
      const uint64_t op = rng() % 10;
      if (op < 3 && !want.empty()) {
        auto it = want.begin();
        std::advance(it, static_cast<long>(rng() % want.size()));
        store.erase(it->first);
        want.erase(it);
        continue;
      }
      // New ids mostly; sometimes a live one is replaced in place.
      const uint32_t p = op < 5 && !want.empty() ? want.begin()->first : next++;
      std::string text(rng() % 200, static_cast<char>('a' + rng() % 26));
      Metadata m = random_metadata(rng);
      const std::string compact = encode_compact_metadata(m);
      store.reserve(size_t{next}, DocumentStore::record_size(text, compact));
      store.put(p, text, compact);
      want[p] = {std::move(text), std::move(m)};
    }
    ASSERT_EQ(store.size(), want.size());
    uint64_t live_bytes = 0;
    for (uint32_t p = 0; p < next; ++p) {
      const auto it = want.find(p);
      ASSERT_EQ(store.live(p), it != want.end()) << p;
      if (it == want.end()) continue;
      ASSERT_EQ(store.text(p), it->second.first) << p;
      ASSERT_TRUE(same_metadata(store.metadata(p), it->second.second)) << p;
      live_bytes += store.record(p).size();
    }
    // Making room reclaims removed records once they are half the arena.
    store.reserve(next, 0);
    EXPECT_LE(store.memory_bytes(), 16 * uint64_t{next} + 2 * live_bytes);
  }
}

TEST(CompactMetadata, RoundTripsEveryValueAndTranscodesToTheFileEncoding) {
  const Metadata m = {
      {"", true},
      {"int-min", std::numeric_limits<int64_t>::min()},
      {"int-max", std::numeric_limits<int64_t>::max()},
      {"neg", int64_t{-1}},
      {"nan", std::bit_cast<double>(uint64_t{0x7ff8000000000123})},
      {"minus-zero", -0.0},
      {"empty", std::string()},
      {"ключ", std::string(300, 'x')},
      {"f", false},
  };
  const std::string compact = encode_compact_metadata(m);
  EXPECT_TRUE(same_metadata(decode_compact_metadata(compact), m));
  EXPECT_TRUE(encode_compact_metadata({}).empty());
  EXPECT_TRUE(decode_compact_metadata("").empty());

  std::vector<uint8_t> bytes;
  Encoder enc(bytes);
  EXPECT_EQ(transcode_compact_metadata(compact, &enc), encoded_size(m));
  ASSERT_EQ(bytes.size(), encoded_size(m));
  Decoder dec(bytes);
  Result<Metadata> back = decode_metadata(dec);
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(same_metadata(*back, m));
  EXPECT_EQ(transcode_compact_metadata("", nullptr), encoded_size(Metadata{}));

  // Read from a file, a key stored twice keeps its later value, as decode_metadata does.
  std::vector<uint8_t> file;
  Encoder out(file);
  out.put_count(3);
  const std::pair<const char*, int64_t> entries[] = {{"b", 1}, {"a", 7}, {"b", 2}};
  for (const auto& [key, value] : entries) {
    out.put_string(key);
    out.put_enum(1);
    out.put_i64(value);
  }
  Decoder in(file);
  std::string read;
  CompactMetadataReader reader;
  ASSERT_TRUE(reader.read(in, read).ok());
  const Metadata m2 = decode_compact_metadata(read);
  ASSERT_EQ(m2.size(), 2u);
  EXPECT_EQ(std::get<int64_t>(m2.at("b")), 2);
  EXPECT_EQ(std::get<int64_t>(m2.at("a")), 7);
}

// Two collections given the same changes in the same order, and a collection loaded back from
// its own snapshot, write the same bytes (nothing depends on hash-map iteration order). An id
// inserted again after its deletion retires the earlier internal id under a random id, so only
// the loaded copy shares that.
TEST(CollectionSnapshot, TheSameStateWritesTheSameBytes) {
  const auto build = [](bool reinsert) {
    auto c = std::make_shared<Collection>([] {
      CollectionData data("same", 3, HnswConfig{});
      data.hnsw.set_level_seed(7);  // the graph's shape is part of the state
      return data;
    }());
    for (uint32_t i = 0; i < 60; ++i) {
      Metadata m = {{"n", int64_t{i}}, {"tag", std::string(i % 2 ? "odd" : "even")},
                    {"x", i * 0.5}, {"b", i % 3 == 0}};
      const std::string text = "text number " + std::to_string(i) + " word" + std::to_string(i % 7);
      c->insert_document(doc(i, text, m),
                         std::vector<float>{1.0f + i, 2.0f, 0.5f * i});
    }
    for (uint32_t i = 0; i < 60; i += 4) c->delete_document(uid(i));
    if (reinsert) c->insert_document(doc(8, "back again"), std::vector<float>{1, 1, 1});
    c->patch_document(uid(9), std::string("patched text"), Metadata{{"p", true}});
    return c;
  };
  const auto first = encode_snapshot(*build(false), nullptr);
  const auto second = encode_snapshot(*build(false), nullptr);
  ASSERT_TRUE(first && second);
  EXPECT_TRUE(*first == *second);

  const auto with_retired = encode_snapshot(*build(true), nullptr);
  ASSERT_TRUE(with_retired);

  std::vector<uint8_t> file = *with_retired;  // decoding may work in place
  auto loaded = decode_snapshot(file, "same.twl", nullptr);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  const auto again = encode_snapshot(**loaded, nullptr);
  ASSERT_TRUE(again.has_value());
  EXPECT_TRUE(*again == *with_retired);
}

// A snapshot written before documents were stored by internal id (data/written-before.twl: 40
// documents with every kind of metadata, deletions, an id inserted again, an update, an upsert,
// raw vectors) loads, and saved again holds the same documents, graph, postings and id tables.
TEST(CollectionSnapshot, AFileWrittenByAnEarlierLayoutLoadsAndSavesTheSameState) {
  const std::string path = std::string(TARNWELL_TEST_DATA_DIR) + "/written-before.twl";
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in.good()) << path;
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(file.size(), 8u);
  const auto fields_of_body = [](std::span<const uint8_t> with_trailer) {
    return decode_collection_body(with_trailer.first(with_trailer.size() - 8));
  };
  Result<CollectionFields> before = fields_of_body(file);
  ASSERT_TRUE(before.has_value()) << before.error().message();

  auto loaded = load_collection(path, nullptr);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
  EXPECT_EQ((*loaded)->document_count(), 34u);
  const auto saved = encode_snapshot(**loaded, nullptr);
  ASSERT_TRUE(saved.has_value());
  Result<CollectionFields> after = fields_of_body(*saved);
  ASSERT_TRUE(after.has_value()) << after.error().message();

  EXPECT_EQ(after->name, before->name);
  EXPECT_EQ(after->dimension, before->dimension);
  const auto docs_before = testing_util::document_map(before->documents);
  const auto docs_after = testing_util::document_map(after->documents);
  ASSERT_EQ(docs_after.size(), docs_before.size());
  for (const auto& [id, d] : docs_before) {
    ASSERT_TRUE(docs_after.contains(id)) << id.to_string();
    EXPECT_EQ(*docs_after.at(id), *d) << id.to_string();
  }
  EXPECT_TRUE(after->hnsw == before->hnsw);
  EXPECT_EQ(after->bm25.postings, before->bm25.postings);
  EXPECT_EQ(after->bm25.doc_lengths, before->bm25.doc_lengths);
  EXPECT_EQ(after->bm25.doc_count, before->bm25.doc_count);
  EXPECT_EQ(after->bm25.total_length, before->bm25.total_length);
  EXPECT_EQ(after->uuid_to_internal, before->uuid_to_internal);
  EXPECT_EQ(after->internal_to_uuid, before->internal_to_uuid);
}

}  // namespace
}  // namespace tarnwell_core
