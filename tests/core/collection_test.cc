// The collection store's bookkeeping: internal ids, tombstones, keyword postings, the memory
// estimate, and re-used document ids (retired internal ids keep the tables consistent).
#include "core/collection/collection.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "collection_test_util.h"

namespace tarnwell_core {
namespace {

using testing_util::doc;
using testing_util::fields_of;
using testing_util::ids_of;
using testing_util::uid;

const std::vector<float> kE1 = {1.0f, 0.0f, 0.0f, 0.0f};
const std::vector<float> kE2 = {0.0f, 1.0f, 0.0f, 0.0f};

Collection make(uint64_t max_layers = 16, bool raw = false) {
  return Collection("c", 4, testing_util::config_with(DistanceMetric::Cosine, raw, max_layers));
}

TEST(CollectionStore, InternalIdsAreIssuedInOrderAndNeverReused) {
  Collection c = make();
  EXPECT_EQ(c.insert_document(doc(1, "first"), kE1), uid(1));
  ASSERT_TRUE(c.delete_document(uid(1)));
  c.insert_document(doc(2, "second"), kE2);
  c.read([](const CollectionData& d) {
    EXPECT_EQ(d.hnsw.node_count(), 2u);
    EXPECT_EQ(d.documents.size(), 1u);
    EXPECT_EQ(d.ids.find(uid(1)).value(), 0u);
    EXPECT_EQ(d.ids.find(uid(2)).value(), 1u);
    EXPECT_EQ(d.ids.uuids(), (std::vector<Uuid>{uid(1), uid(2)}));
    EXPECT_EQ(d.hnsw.deleted(), (std::vector<uint8_t>{1, 0}));
  });
  EXPECT_EQ(c.document_count(), 1u);
  EXPECT_EQ(c.get_document(uid(1)), nullptr);
  ASSERT_NE(c.get_document(uid(2)), nullptr);
  EXPECT_EQ(c.get_document(uid(2))->text, "second");
}

TEST(CollectionStore, DeleteReturnsTrueOnceAndUnknownIdsChangeNothing) {
  Collection c = make();
  c.insert_document(doc(1, "kept"), kE1);
  const uint64_t before = c.estimate_memory_bytes();
  EXPECT_FALSE(c.delete_document(uid(9)));
  EXPECT_EQ(c.estimate_memory_bytes(), before);
  EXPECT_TRUE(c.delete_document(uid(1)));
  EXPECT_FALSE(c.delete_document(uid(1)));
  EXPECT_EQ(c.document_count(), 0u);
}

TEST(CollectionStore, DeleteRemovesPostingsAndCounts) {
  Collection c = make();
  c.insert_document(doc(1, "shared apple"), kE1);
  c.insert_document(doc(2, "shared banana banana"), kE2);
  c.insert_document(doc(3, ""), kE2);
  c.read([](const CollectionData& d) {
    EXPECT_EQ(d.bm25.doc_count, 3u);
    EXPECT_EQ(d.bm25.total_length, 5u);
  });
  ASSERT_TRUE(c.delete_document(uid(2)));
  c.read([](const CollectionData& d) {
    EXPECT_FALSE(d.bm25.postings.contains("banana"));
    EXPECT_EQ(d.bm25.postings.at("shared"), (std::vector<Posting>{{0, 1}}));
    EXPECT_EQ(d.bm25.doc_count, 2u);
    EXPECT_EQ(d.bm25.total_length, 2u);
    EXPECT_EQ(d.bm25.doc_lengths[1], 0u);
  });
  // A text without tokens was counted when added and leaves the count when deleted, so the
  // statistics never drift with churn.
  ASSERT_TRUE(c.delete_document(uid(3)));
  c.read([](const CollectionData& d) { EXPECT_EQ(d.bm25.doc_count, 1u); });
  EXPECT_TRUE(c.keyword_search("banana", 10).empty());
}

TEST(CollectionStore, MemoryEstimateCountsEachPart) {
  Collection c = make(/*max_layers=*/1);
  EXPECT_EQ(c.estimate_memory_bytes(), 0u);
  c.insert_document(doc(1, "hello", {{"a", int64_t{1}}, {"b", std::string("x")}}), kE1);
  const uint64_t codes = 4;
  // Adjacency blocks and per-node distance metadata, as the graph holds them.
  const uint64_t graph = c.read([](const CollectionData& d) { return d.hnsw.adjacency_bytes(); });
  EXPECT_GT(graph, 0u);
  const uint64_t per_node_bytes = 1 + 1;
  const uint64_t term = 5 + 8 + 48;
  const uint64_t doc_lengths = 4;
  // Its 8-byte slot, and its record: two lengths, the metadata in 10 bytes, the text.
  const uint64_t document = 8 + 2 + 10 + 5;
  const uint64_t tables = 16 + 4 * 16;  // the UUID, and the index's smallest slot array
  // The metadata index (derived, never stored) counts too, and is never empty with metadata.
  const uint64_t metadata_index = c.metadata_index_bytes();
  EXPECT_GT(metadata_index, 0u);
  EXPECT_EQ(c.estimate_memory_bytes(), codes + graph + per_node_bytes + term + doc_lengths +
                                           document + tables + metadata_index);

  Collection raw = make(1, /*raw=*/true);
  raw.insert_document(doc(1, "hello", {{"a", int64_t{1}}, {"b", std::string("x")}}), kE1);
  const uint64_t raw_graph =
      raw.read([](const CollectionData& d) { return d.hnsw.adjacency_bytes(); });
  EXPECT_EQ(raw.estimate_memory_bytes(), c.estimate_memory_bytes() - graph + raw_graph + 4 * 4);

  // A deleted document leaves its node, its tables, its record until the store reclaims the
  // space, and nothing else. (The index lets go of a deleted document's entries lazily, in bulk.)
  ASSERT_TRUE(c.delete_document(uid(1)));
  EXPECT_EQ(c.estimate_memory_bytes(), codes + graph + per_node_bytes + doc_lengths + document +
                                           tables + c.metadata_index_bytes());
}

TEST(CollectionStore, DeletedIdInsertedAgainRetiresItsOldInternalId) {
  Collection c = make();
  c.insert_document(doc(1, "old words"), kE1);
  c.insert_document(doc(2, "other"), kE2);
  ASSERT_TRUE(c.delete_document(uid(1)));
  c.insert_document(doc(1, "new words"), kE2);

  c.read([](const CollectionData& d) {
    ASSERT_EQ(d.ids.uuids().size(), 3u);
    EXPECT_EQ(d.ids.size(), 3u);
    EXPECT_EQ(d.ids.find(uid(1)).value(), 2u);
    const Uuid retired = d.ids.uuids()[0];
    EXPECT_NE(retired, uid(1));
    EXPECT_EQ(d.ids.find(retired).value(), 0u);
    EXPECT_FALSE(d.live_id(retired).has_value());
    EXPECT_EQ(d.hnsw.deleted(), (std::vector<uint8_t>{1, 0, 0}));
  });
  EXPECT_TRUE(validate(fields_of(c)).ok());
  EXPECT_EQ(c.get_document(uid(1))->text, "new words");
  const std::vector<Uuid> hits = ids_of(c.vector_search(kE2, 10, std::nullopt));
  EXPECT_EQ(std::count(hits.begin(), hits.end(), uid(1)), 1);
  EXPECT_TRUE(c.keyword_search("old", 10).empty());
  EXPECT_EQ(ids_of(c.keyword_search("new", 10)), std::vector<Uuid>{uid(1)});
}

TEST(CollectionStore, LiveIdInsertedAgainReplacesTheDocument) {
  Collection c = make();
  c.insert_document(doc(1, "alpha"), kE1);
  c.insert_document(doc(1, "beta"), kE2);
  EXPECT_EQ(c.document_count(), 1u);
  c.read([](const CollectionData& d) {
    EXPECT_EQ(d.hnsw.deleted(), (std::vector<uint8_t>{1, 0}));
    EXPECT_FALSE(d.bm25.postings.contains("alpha"));
    EXPECT_EQ(d.bm25.doc_count, 1u);
  });
  EXPECT_TRUE(validate(fields_of(c)).ok());
  EXPECT_TRUE(c.keyword_search("alpha", 10).empty());
  const auto hits = c.vector_search(kE1, 10, std::nullopt);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].document->text, "beta");
  // A deletion now removes the one live node.
  EXPECT_TRUE(c.delete_document(uid(1)));
  EXPECT_TRUE(c.vector_search(kE1, 10, std::nullopt).empty());
}

// Random inserts, deletes and re-inserts keep every table consistent: the state validates,
// every live document has exactly one live node, and the collection rebuilt from its
// persisted form answers like the original.
TEST(CollectionStore, RandomChurnKeepsTheTablesConsistent) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<uint32_t> pick(0, 39);
  std::normal_distribution<float> normal;
  Collection c = make();
  std::set<uint32_t> live;
  for (int step = 0; step < 400; ++step) {
    const uint32_t n = pick(rng);
    if (rng() % 3 == 0) {
      EXPECT_EQ(c.delete_document(uid(n)), live.erase(n) == 1);
    } else {
      std::vector<float> e(4);
      for (float& x : e) x = normal(rng);
      c.insert_document(doc(n, "word" + std::to_string(n % 5)), e);
      live.insert(n);
    }
  }
  EXPECT_EQ(c.document_count(), live.size());
  CollectionFields f = fields_of(c);
  ASSERT_TRUE(validate(f).ok()) << validate(f).message();
  c.read([&](const CollectionData& d) {
    size_t live_nodes = 0;
    for (uint32_t p = 0; p < d.hnsw.node_count(); ++p) {
      const bool has_doc = d.live_id(d.ids.uuids()[p]).has_value();
      EXPECT_EQ(d.hnsw.deleted()[p] == 0, has_doc) << p;
      live_nodes += has_doc;
    }
    EXPECT_EQ(live_nodes, live.size());
  });

  const std::shared_ptr<Collection> loaded = Collection::from_fields(std::move(f));
  EXPECT_EQ(loaded->document_count(), live.size());
  for (const std::vector<float>& q : {kE1, kE2}) {
    EXPECT_EQ(ids_of(loaded->vector_search(q, 100, std::nullopt)),
              ids_of(c.vector_search(q, 100, std::nullopt)));
  }
  EXPECT_EQ(ids_of(loaded->keyword_search("word3", 100)), ids_of(c.keyword_search("word3", 100)));
}

}  // namespace
}  // namespace tarnwell_core
