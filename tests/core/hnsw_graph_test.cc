// HnswIndex storage: the empty index, the persisted form in and out (round trip, lists longer
// than the caps, more lists than the level), caps that are never used to size memory up front,
// tombstoning, reconstruction and the optional raw copy.
#include <gtest/gtest.h>

#include <vector>

#include "core/hnsw/graph.h"
#include "core/hnsw/search.h"
#include "hnsw_test_util.h"

namespace tarnwell_core {
namespace {

using testing_util::build;
using testing_util::clustered;
using testing_util::expect_invariants;
using testing_util::row;

TEST(HnswGraph, EmptyIndex) {
  const HnswIndex index(HnswConfig{}, 8);
  EXPECT_EQ(index.node_count(), 0u);
  EXPECT_FALSE(index.entry_point().has_value());
  EXPECT_EQ(index.max_level(), 0u);
  EXPECT_EQ(index.dimension(), 8u);
  const HnswIndexFields f = index.to_fields();
  EXPECT_TRUE(f.neighbors.empty() && f.vector_data.empty() && f.layers.empty());
  EXPECT_FALSE(f.pq_codebook.has_value());
  EXPECT_TRUE(index.knn_search(std::vector<float>(8, 1.0f), 5).empty());
  const HnswConfig defaults;
  EXPECT_EQ(defaults, (HnswConfig{16, 32, 200, 50, 16, DistanceMetric::Cosine, 0, false}));
}

TEST(HnswGraph, FieldsRoundTrip) {
  constexpr uint64_t kSeed = 1;
  TRACE_LEVEL_SEED(kSeed);
  const size_t dim = 12;
  const std::vector<float> data = clustered(600, dim, 6, 21);
  for (bool raw : {false, true}) {
    HnswConfig cfg;
    cfg.m = 4;
    cfg.m_max0 = 8;
    cfg.store_raw_vectors = raw;
    HnswIndex index = build(cfg, data, dim, kSeed);
    for (uint32_t i = 0; i < 600; i += 7) index.mark_deleted(i);
    auto book = PqCodebook::train(data, dim, 3);
    ASSERT_TRUE(book.has_value());
    index.set_product_quantization(*book, *book->encode_batch(data, dim));

    const HnswIndexFields f = index.to_fields();
    EXPECT_EQ(f.raw_vectors.size(), raw ? data.size() : 0u);
    HnswIndex copy = HnswIndex::from_fields(HnswIndexFields(f));
    EXPECT_EQ(copy.to_fields(), f);
    expect_invariants(copy);
    for (size_t q = 0; q < 20; ++q) {
      EXPECT_EQ(copy.knn_search(row(data, dim, q * 29), 10),
                index.knn_search(row(data, dim, q * 29), 10));
    }
    // Both keep working identically after further insertions with the same level draws. The
    // seed is not part of the persisted form: the copy draws alike only once given it.
    const std::vector<float> more = clustered(50, dim, 3, 22);
    copy.set_level_seed(index.level_seed());
    for (uint32_t i = 0; i < 50; ++i) {
      index.insert(600 + i, row(more, dim, i), QuantizedVector::quantize(row(more, dim, i)));
    }
    for (uint32_t i = 0; i < 50; ++i) {
      copy.insert(600 + i, row(more, dim, i), QuantizedVector::quantize(row(more, dim, i)));
    }
    EXPECT_EQ(copy.to_fields(), index.to_fields());
  }
}

// A file may hold lists longer than the caps and more lists than a node's level; they must be
// stored and served exactly, and later insertions must prune them safely.
TEST(HnswGraph, FromFieldsAcceptsListsOfAnyLength) {
  const size_t dim = 4;
  const uint32_t n = 6;
  const std::vector<float> data = clustered(n, dim, 2, 3);
  HnswIndexFields f;
  f.config.m = 2;
  f.config.m_max0 = 3;
  f.dimension = dim;
  f.node_count = n;
  for (uint32_t i = 0; i < n; ++i) {
    const QuantizedVector q = QuantizedVector::quantize(row(data, dim, i));
    f.vector_data.insert(f.vector_data.end(), q.data.begin(), q.data.end());
    f.vector_min.push_back(q.min);
    f.vector_scale.push_back(q.scale);
    f.deleted.push_back(0);
  }
  f.layers = {1, 0, 0, 0, 0, 0};
  std::vector<uint32_t> long_list;
  for (int r = 0; r < 40; ++r) long_list.push_back(1 + r % 5);  // 40 entries, cap 3
  f.neighbors = {
      {long_list, {2, 3, 4, 5, 1}},  // layer 1 longer than m
      {{0}, {}, {0, 2}, {}},         // level 0 but four lists
      {{0, 1}},
      {{0}},
      {{0}},
      {{0, 4, 4}},  // a duplicate id
  };
  f.entry_point = 0;
  f.max_level = 1;
  const HnswIndexFields original = f;
  HnswIndex index = HnswIndex::from_fields(std::move(f));
  constexpr uint64_t kSeed = 2;
  TRACE_LEVEL_SEED(kSeed);
  index.set_level_seed(kSeed);
  EXPECT_EQ(index.layer_list_count(1), 4u);
  EXPECT_EQ(index.neighbors(0, 0).size(), 40u);
  EXPECT_EQ(index.to_fields(), original);

  const std::vector<float> more = clustered(200, dim, 2, 4);
  for (uint32_t i = 0; i < 200; ++i) {
    index.insert(n + i, row(more, dim, i), QuantizedVector::quantize(row(more, dim, i)));
  }
  for (uint32_t i = 0; i < index.node_count(); ++i) {
    for (size_t layer = 0; layer < index.layer_list_count(i); ++layer) {
      for (uint32_t x : index.neighbors(i, layer)) ASSERT_LT(x, index.node_count());
    }
  }
  EXPECT_EQ(index.knn_search(row(more, dim, 0), 5).size(), 5u);
}

// A corrupt max_level far above the graph costs nothing and changes nothing.
TEST(HnswGraph, MaxLevelBeyondTheEntryListsIsHarmless) {
  const size_t dim = 8;
  const std::vector<float> data = clustered(300, dim, 4, 8);
  constexpr uint64_t kSeed = 3;
  TRACE_LEVEL_SEED(kSeed);
  HnswIndex index = build(HnswConfig{}, data, dim, kSeed);
  const auto before = index.knn_search(row(data, dim, 5), 10);
  HnswIndexFields f = index.to_fields();
  f.max_level = uint64_t{1} << 62;
  HnswIndex corrupt = HnswIndex::from_fields(std::move(f));
  corrupt.set_level_seed(kSeed);
  EXPECT_EQ(corrupt.knn_search(row(data, dim, 5), 10), before);
  corrupt.insert(300, row(data, dim, 1), QuantizedVector::quantize(row(data, dim, 1)));
  EXPECT_EQ(corrupt.node_count(), 301u);
}

// Caps far beyond the node count must not be used to size memory up front.
TEST(HnswGraph, HugeCapsAllocateOnlyWhatListsHold) {
  HnswConfig cfg;
  cfg.m = uint64_t{1} << 40;
  cfg.m_max0 = uint64_t{1} << 41;
  cfg.ef_construction = uint64_t{1} << 50;
  cfg.ef_search = uint64_t{1} << 50;
  const size_t dim = 4;
  const std::vector<float> data = clustered(300, dim, 3, 2);
  constexpr uint64_t kSeed = 4;
  TRACE_LEVEL_SEED(kSeed);
  const HnswIndex index = build(cfg, data, dim, kSeed);
  EXPECT_LT(index.adjacency_bytes(), size_t{8} << 20);
  // Every node links to every other on layer 0: the graph is complete.
  for (uint32_t i = 0; i < 300; ++i) ASSERT_EQ(index.neighbors(i, 0).size(), 299u);
  EXPECT_EQ(index.knn_search(row(data, dim, 0), 3).size(), 3u);
}

TEST(HnswGraph, TombstonesReconstructionAndRawCopy) {
  const size_t dim = 5;
  const std::vector<float> data = clustered(40, dim, 2, 6);
  constexpr uint64_t kSeed = 5;
  TRACE_LEVEL_SEED(kSeed);
  for (bool raw : {false, true}) {
    HnswConfig cfg;
    cfg.store_raw_vectors = raw;
    HnswIndex index = build(cfg, data, dim, kSeed);
    EXPECT_EQ(index.raw_vectors().size(), raw ? 40u * dim : 0u);
    EXPECT_EQ(index.has_raw_vectors(), raw);
    index.mark_deleted(3);
    index.mark_deleted(40);  // beyond the nodes: ignored
    index.mark_deleted(0xFFFFFFFF);
    EXPECT_EQ(index.deleted().size(), 40u);
    EXPECT_EQ(index.deleted()[3], 1);
    for (uint32_t i = 0; i < 40; ++i) {
      const std::vector<float> v = index.reconstruct(i);
      ASSERT_EQ(v.size(), dim);
      for (size_t j = 0; j < dim; ++j) {
        EXPECT_NEAR(v[j],
                    index.vector_min(i) + index.vector_scale(i) * index.vector_data()[i * dim + j],
                    1e-6f);
        EXPECT_NEAR(v[j], data[i * dim + j], index.vector_scale(i));
      }
    }
  }
}

}  // namespace
}  // namespace tarnwell_core
