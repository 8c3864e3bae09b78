// Batch insertion on several threads: the graph invariants, reachability and recall after concurrent insertion into graphs with tombstones, and the level draws, which
// follow the seed whatever the thread count. Run under TSan (suite name "Concurrent").
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

#include "core/hnsw/graph.h"
#include "core/hnsw/search.h"
#include "hnsw_test_util.h"

namespace tarnwell_core {
namespace {

using testing_util::clustered;
using testing_util::expect_invariants;
using testing_util::recall_at;
using testing_util::row;
using testing_util::seeded_index;

void insert_rows(HnswIndex& index, const std::vector<float>& data, size_t from, size_t to,
                 size_t threads) {
  std::vector<QuantizedVector> q;
  std::vector<HnswIndex::BatchNode> nodes;
  q.reserve(to - from);
  const size_t dim = index.dimension();
  for (size_t i = from; i < to; ++i) q.push_back(QuantizedVector::quantize(row(data, dim, i)));
  for (size_t i = from; i < to; ++i) nodes.push_back({row(data, dim, i), &q[i - from]});
  index.insert_batch(nodes, threads);
}

// How many live nodes are not reached from the entry point through layer-0 lists.
size_t unreachable_live_nodes(const HnswIndex& index) {
  std::vector<bool> seen(index.node_count());
  std::deque<uint32_t> queue{*index.entry_point()};
  seen[*index.entry_point()] = true;
  while (!queue.empty()) {
    const uint32_t x = queue.front();
    queue.pop_front();
    for (uint32_t y : index.neighbors(x, 0)) {
      if (!seen[y]) {
        seen[y] = true;
        queue.push_back(y);
      }
    }
  }
  size_t missing = 0;
  for (uint32_t i = 0; i < index.node_count(); ++i) missing += !index.deleted()[i] && !seen[i];
  return missing;
}

TEST(HnswInsertConcurrent, InvariantsReachabilityAndRecallWithTombstones) {
  const size_t dim = 8;
  const std::vector<float> data = clustered(3000, dim, 12, 5);
  const std::vector<float> queries = clustered(100, dim, 12, 6);
  for (const size_t threads : {size_t{1}, size_t{4}}) {
    for (const bool raw : {false, true}) {
      const uint64_t seed = 900 + threads + raw;
      TRACE_LEVEL_SEED(seed);
      HnswConfig cfg;
      cfg.m = 6;
      cfg.m_max0 = 12;
      cfg.ef_construction = 64;
      cfg.ef_search = 64;
      cfg.store_raw_vectors = raw;
      HnswIndex index = seeded_index(cfg, dim, seed);
      std::mt19937 rng(static_cast<uint32_t>(seed));
      // A small batch first (one thread whatever was asked), then large ones with deletions in
      // between, so that walks meet tombstones and batches meet a graph they did not build.
      const size_t bounds[] = {0, 50, 1000, 2000, 3000};
      for (size_t b = 0; b + 1 < std::size(bounds); ++b) {
        insert_rows(index, data, bounds[b], bounds[b + 1], threads);
        ASSERT_EQ(index.node_count(), bounds[b + 1]);
        for (size_t d = 0; d < bounds[b + 1] / 10; ++d) {
          index.mark_deleted(rng() % index.node_count());
        }
      }
      expect_invariants(index);
      // Later prunes can cut a node off in a one-thread build too (rarely: a few nodes in a
      // hundred thousand); concurrent insertion must not make it common.
      EXPECT_LE(unreachable_live_nodes(index), 3u) << threads << " threads";
      EXPECT_GE(recall_at(index, queries, dim, 10), 0.9) << threads << " threads";
    }
  }
}

TEST(HnswInsertConcurrent, LevelsFollowTheSeedOnAnyThreadCount) {
  const size_t dim = 4;
  const std::vector<float> data = clustered(600, dim, 3, 8);
  HnswConfig cfg;
  cfg.m = 4;
  cfg.m_max0 = 8;
  cfg.ef_construction = 16;
  HnswIndex one = seeded_index(cfg, dim, 31);
  HnswIndex four = seeded_index(cfg, dim, 31);
  insert_rows(one, data, 0, 600, 1);
  insert_rows(four, data, 0, 600, 4);
  EXPECT_EQ(one.layers(), four.layers());
  EXPECT_EQ(one.max_level(), four.max_level());
  expect_invariants(four);
}

}  // namespace
}  // namespace tarnwell_core
