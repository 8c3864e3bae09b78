// Rebuild: dense renumbering over the live documents, vectors reconstructed from what is
// stored, product quantization trained on demand, failure without change, and changes made by
// other threads while the new indexes are built.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "collection_test_util.h"
#include "core/collection/collection.h"

namespace tarnwell_core {
namespace {

using testing_util::doc;
using testing_util::fields_of;
using testing_util::ids_of;
using testing_util::uid;

std::vector<float> vec(uint32_t seed, size_t dim) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<float> v(dim);
  for (float& x : v) x = normal(rng);
  return v;
}

// A token naming one document.
std::string word(uint32_t n) {
  std::string w = "w";
  w += std::to_string(n);
  return w;
}

// Every live document has exactly one live node, which maps back to it; every other node is a
// tombstone; and the state would load again.
void expect_consistent(const Collection& c) {
  ASSERT_TRUE(validate(fields_of(c)).ok()) << validate(fields_of(c)).message();
  c.read([](const CollectionData& d) {
    size_t live = 0;
    for (uint32_t p = 0; p < d.hnsw.node_count(); ++p) {
      const bool has_doc = d.documents.live(p);
      EXPECT_EQ(d.hnsw.deleted()[p] == 0, has_doc) << p;
      EXPECT_EQ(d.ids.find(d.ids[p]).value(), p);
      live += has_doc;
    }
    EXPECT_EQ(live, d.documents.size());
  });
}

TEST(CollectionRebuild, ReclaimsDeletedNodes) {
  Collection c("r", 4, HnswConfig{});
  for (uint32_t i = 0; i < 3; ++i) c.insert_document(doc(i, "word"), vec(i, 4));
  ASSERT_TRUE(c.delete_document(uid(1)));
  const std::set<Uuid> before = [&] {
    const auto ids = ids_of(c.vector_search(vec(0, 4), 10, {}));
    return std::set<Uuid>(ids.begin(), ids.end());
  }();

  ASSERT_EQ(c.rebuild(), 2u);
  c.read([](const CollectionData& d) {
    EXPECT_EQ(d.hnsw.node_count(), 2u);
    EXPECT_EQ(d.hnsw.deleted(), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(d.ids.uuids().size(), 2u);
    EXPECT_EQ(d.ids.size(), 2u);
    EXPECT_EQ(d.bm25.doc_count, 2u);
    // Internal ids keep the insertion order, so that scans list documents alike before and after.
    EXPECT_EQ(d.ids.find(uid(0)).value(), 0u);
    EXPECT_EQ(d.ids.find(uid(2)).value(), 1u);
  });
  const auto after = ids_of(c.vector_search(vec(0, 4), 10, {}));
  EXPECT_EQ(std::set<Uuid>(after.begin(), after.end()), before);
  expect_consistent(c);

  // A document live before the rebuild is deleted as usual: its new node is tombstoned.
  ASSERT_TRUE(c.delete_document(uid(2)));
  c.read(
      [](const CollectionData& d) { EXPECT_EQ(d.hnsw.deleted()[d.ids.find(uid(2)).value()], 1); });
  EXPECT_EQ(ids_of(c.keyword_search("word", 10)), std::vector<Uuid>{uid(0)});
  expect_consistent(c);
}

TEST(CollectionRebuild, EmptyCollection) {
  Collection c("e", 4, HnswConfig{});
  ASSERT_EQ(c.rebuild(), 0u);
  c.insert_document(doc(1), vec(1, 4));
  ASSERT_TRUE(c.delete_document(uid(1)));
  ASSERT_EQ(c.rebuild(), 0u);
  c.read([](const CollectionData& d) {
    EXPECT_EQ(d.hnsw.node_count(), 0u);
    EXPECT_FALSE(d.hnsw.entry_point().has_value());
    EXPECT_TRUE(d.bm25.postings.empty());
    EXPECT_TRUE(d.ids.uuids().empty());
  });
  expect_consistent(c);
}

TEST(CollectionRebuild, VectorsComeFromWhatIsStored) {
  for (bool raw : {false, true}) {
    Collection c("v", 5, testing_util::config_with(DistanceMetric::Euclidean, raw));
    for (uint32_t i = 0; i < 20; ++i) c.insert_document(doc(i), vec(i, 5));
    // What each document's node holds now, as full-precision values.
    std::vector<std::vector<float>> stored(20);
    c.read([&](const CollectionData& d) {
      for (uint32_t i = 0; i < 20; ++i) {
        const uint32_t p = d.ids.find(uid(i)).value();
        for (size_t j = 0; j < 5; ++j) {
          stored[i].push_back(raw ? d.hnsw.raw_vectors()[p * 5 + j]
                                  : d.hnsw.vector_min(p) +
                                        static_cast<float>(d.hnsw.vector_data()[p * 5 + j]) *
                                            d.hnsw.vector_scale(p));
        }
      }
    });
    ASSERT_EQ(c.rebuild(), 20u);
    c.read([&](const CollectionData& d) {
      for (uint32_t i = 0; i < 20; ++i) {
        const uint32_t p = d.ids.find(uid(i)).value();
        const QuantizedVector q = QuantizedVector::quantize(stored[i]);
        EXPECT_EQ(std::vector<uint8_t>(d.hnsw.vector_data().begin() + p * 5,
                                       d.hnsw.vector_data().begin() + p * 5 + 5),
                  q.data);
        EXPECT_EQ(d.hnsw.vector_min(p), q.min);
        EXPECT_EQ(d.hnsw.vector_scale(p), q.scale);
        if (raw) {
          EXPECT_EQ(std::vector<float>(d.hnsw.raw_vectors().begin() + p * 5,
                                       d.hnsw.raw_vectors().begin() + p * 5 + 5),
                    vec(i, 5));
        }
      }
      EXPECT_EQ(d.hnsw.raw_vectors().empty(), !raw);
    });
  }
}

TEST(CollectionRebuild, TrainsProductQuantizationWhenConfigured) {
  HnswConfig config;
  config.pq_subspaces = 4;
  for (uint32_t count : {1u, 300u}) {
    Collection c("pq", 8, config);
    for (uint32_t i = 0; i < count; ++i) c.insert_document(doc(i), vec(i, 8));
    ASSERT_EQ(c.rebuild(), count);
    c.read([&](const CollectionData& d) {
      ASSERT_TRUE(d.hnsw.pq_codebook().has_value());
      EXPECT_EQ(d.hnsw.pq_codebook()->num_subspaces, 4u);
      EXPECT_EQ(d.hnsw.pq_codes().size(), size_t{d.hnsw.node_count()} * 4);
    });
    // Later insertions are encoded too, so the state keeps validating.
    c.insert_document(doc(count), vec(count, 8));
    c.read([&](const CollectionData& d) {
      EXPECT_EQ(d.hnsw.pq_codes().size(), size_t{d.hnsw.node_count()} * 4);
    });
    expect_consistent(c);
    EXPECT_EQ(c.vector_search(vec(0, 8), 1, {}).size(), 1u);
  }
}

TEST(CollectionRebuild, FailedTrainingLeavesTheCollectionUnchanged) {
  HnswConfig config;
  config.pq_subspaces = 3;  // does not divide the dimension
  Collection c("bad", 4, config);
  for (uint32_t i = 0; i < 5; ++i) c.insert_document(doc(i, "kept"), vec(i, 4));
  ASSERT_TRUE(c.delete_document(uid(2)));
  const CollectionFields before = fields_of(c);

  const Result<size_t> r = c.rebuild();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code(), StatusCode::kInvalidData);
  EXPECT_EQ(r.error().message(),
            "product quantization training failed: dimension must be divisible by "
            "num_subspaces");

  const CollectionFields after = fields_of(c);
  EXPECT_EQ(after.hnsw, before.hnsw);
  EXPECT_EQ(after.internal_to_uuid, before.internal_to_uuid);
  EXPECT_EQ(after.uuid_to_internal, before.uuid_to_internal);
  EXPECT_EQ(after.bm25.postings, before.bm25.postings);
  const auto docs_after = testing_util::document_map(after.documents);
  ASSERT_EQ(docs_after.size(), before.documents.size());
  for (const auto& [id, doc] : testing_util::document_map(before.documents)) {
    EXPECT_EQ(*docs_after.at(id), *doc);
  }
  EXPECT_EQ(c.keyword_search("kept", 10).size(), 4u);
}

// Inserts, deletes and replacements race with rebuilds. Whatever interleaving happens, no
// deleted document stays live in the new indexes, no inserted one is lost, and a replaced one
// answers with its latest text only.
TEST(CollectionRebuild, ConcurrentChangesDuringARebuildAreKept) {
  Collection c("race", 8, HnswConfig{});
  for (uint32_t i = 0; i < 600; ++i) c.insert_document(doc(i, word(i)), vec(i, 8));
  std::atomic<bool> done{false};
  std::set<uint32_t> live;
  for (uint32_t i = 0; i < 600; ++i) live.insert(i);
  std::thread writer([&] {
    std::mt19937 rng(3);
    for (uint32_t step = 0; !done || step < 400; ++step) {
      const uint32_t n = rng() % 800;
      switch (rng() % 3) {
        case 0:
          EXPECT_EQ(c.delete_document(uid(n)), live.erase(n) == 1);
          break;
        default:
          // Same id again replaces; the text always names the id.
          c.insert_document(doc(n, word(n)), vec(n + step, 8));
          live.insert(n);
      }
      if (step > 5000) break;
    }
  });
  for (int round = 0; round < 4; ++round) ASSERT_TRUE(c.rebuild().has_value());
  done = true;
  writer.join();

  expect_consistent(c);
  EXPECT_EQ(c.document_count(), live.size());
  for (uint32_t n = 0; n < 800; ++n) {
    const std::vector<Uuid> hits = ids_of(c.keyword_search(word(n), 10));
    if (live.contains(n)) {
      EXPECT_EQ(hits, std::vector<Uuid>{uid(n)}) << n;
    } else {
      EXPECT_TRUE(hits.empty()) << n;
    }
  }
  ASSERT_TRUE(c.rebuild().has_value());
  expect_consistent(c);
  c.read([&](const CollectionData& d) { EXPECT_EQ(d.hnsw.node_count(), live.size()); });
}

}  // namespace
}  // namespace tarnwell_core
