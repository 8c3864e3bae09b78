// Shared helpers of the HNSW tests: seeded clustered data, indexes with seeded levels, brute-force
// truth and recall, and the structural invariants every index must keep.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <span>
#include <vector>

#include "core/hnsw/distance.h"
#include "core/hnsw/graph.h"
#include "core/quantization/scalar.h"

namespace tarnwell_core::testing_util {

// n vectors of `dim` components around `clusters` random centres, row-major. The centres
// depend only on `centre_seed`, so queries drawn with another `seed` come from the same
// clusters as the data.
inline std::vector<float> clustered(size_t n, size_t dim, size_t clusters, uint32_t seed,
                                    uint32_t centre_seed = 0) {
  std::mt19937 centre_rng(centre_seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> centres(clusters * dim);
  for (float& c : centres) c = normal(centre_rng);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<size_t> pick(0, clusters - 1);
  std::vector<float> out(n * dim);
  for (size_t i = 0; i < n; ++i) {
    const size_t c = pick(rng);
    for (size_t j = 0; j < dim; ++j) out[i * dim + j] = centres[c * dim + j] + 0.3f * normal(rng);
  }
  return out;
}

inline std::span<const float> row(const std::vector<float>& data, size_t dim, size_t i) {
  return std::span<const float>(data).subspan(i * dim, dim);
}

// Names the level seed in every failure reported from the enclosing scope, so that a failing
// graph can be rebuilt exactly.
#define TRACE_LEVEL_SEED(seed) SCOPED_TRACE(::testing::Message() << "level seed " << (seed))

// An empty index whose levels are drawn from `level_seed`.
inline HnswIndex seeded_index(const HnswConfig& cfg, size_t dim, uint64_t level_seed) {
  HnswIndex index(cfg, dim);
  index.set_level_seed(level_seed);
  return index;
}

inline HnswIndex build(const HnswConfig& cfg, const std::vector<float>& data, size_t dim,
                       uint64_t level_seed) {
  HnswIndex index = seeded_index(cfg, dim, level_seed);
  const size_t n = data.size() / dim;
  for (uint32_t i = 0; i < n; ++i) {
    index.insert(i, row(data, dim, i), QuantizedVector::quantize(row(data, dim, i)));
  }
  return index;
}

// The k nearest live nodes by the index's own precise distance.
inline std::vector<uint32_t> brute_force(const HnswIndex& index, std::span<const float> query,
                                         size_t k) {
  const QueryDistance dist(index, query.data(), nullptr);
  std::vector<std::pair<float, uint32_t>> all;
  for (uint32_t i = 0; i < index.node_count(); ++i) {
    if (!index.deleted()[i]) all.push_back({dist.precise(i), i});
  }
  const size_t keep = std::min(k, all.size());
  std::partial_sort(all.begin(), all.begin() + keep, all.end());
  std::vector<uint32_t> ids;
  for (size_t i = 0; i < keep; ++i) ids.push_back(all[i].second);
  return ids;
}

inline double recall_at(const HnswIndex& index, const std::vector<float>& queries, size_t dim,
                        size_t k) {
  size_t hit = 0, total = 0;
  for (size_t q = 0; q < queries.size() / dim; ++q) {
    const std::vector<uint32_t> truth = brute_force(index, row(queries, dim, q), k);
    const std::set<uint32_t> want(truth.begin(), truth.end());
    for (const ScoredNode& r : index.knn_search(row(queries, dim, q), k)) hit += want.count(r.id);
    total += truth.size();
  }
  return total == 0 ? 1.0 : static_cast<double>(hit) / static_cast<double>(total);
}

inline void expect_invariants(const HnswIndex& index) {
  const uint32_t n = index.node_count();
  ASSERT_EQ(index.layers().size(), n);
  ASSERT_EQ(index.deleted().size(), n);
  ASSERT_EQ(index.vector_data().size(), static_cast<size_t>(n) * index.dimension());
  if (n == 0) {
    EXPECT_FALSE(index.entry_point().has_value());
    return;
  }
  ASSERT_TRUE(index.entry_point().has_value());
  EXPECT_EQ(index.max_level(), index.layers()[*index.entry_point()]);
  for (uint32_t i = 0; i < n; ++i) {
    ASSERT_EQ(index.layer_list_count(i), index.layers()[i] + 1u) << "node " << i;
    for (size_t layer = 0; layer <= index.layers()[i]; ++layer) {
      const auto list = index.neighbors(i, layer);
      ASSERT_LE(list.size(), layer == 0 ? index.config().m_max0 : index.config().m);
      for (uint32_t x : list) {
        ASSERT_LT(x, n);
        ASSERT_NE(x, i) << "self-link at node " << i;
        ASSERT_GE(index.layers()[x], layer) << "link to a node below the layer";
      }
      const std::set<uint32_t> unique(list.begin(), list.end());
      ASSERT_EQ(unique.size(), list.size()) << "duplicate neighbour at node " << i;
    }
  }
}

}  // namespace tarnwell_core::testing_util
