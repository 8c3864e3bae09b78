// HNSW insertion: level draws, the first links, invariants after thousands of insertions with
// deletions in between, promotion of the entry point, the neighbour-selection heuristic and
// the rule that a new node is always reachable, even in a graph of tombstones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "core/hnsw/graph.h"
#include "core/hnsw/insert.h"
#include "core/hnsw/search.h"
#include "core/hnsw/select_neighbors.h"
#include "hnsw_test_util.h"

namespace tarnwell_core {
namespace {

using testing_util::build;
using testing_util::clustered;
using testing_util::expect_invariants;
using testing_util::row;
using testing_util::seeded_index;

void insert_row(HnswIndex& index, const std::vector<float>& data, size_t i) {
  const auto v = row(data, index.dimension(), i);
  index.insert(index.node_count(), v, QuantizedVector::quantize(v));
}

TEST(HnswInsert, LevelDraws) {
  struct Case {
    double r;
    uint64_t m, max_layers;
    size_t want;
  };
  const Case cases[] = {
      {0.0, 16, 16, 15},                               // -ln(0) = inf, capped
      {0.5, 16, 16, 0},                                // 0.25 floors to 0
      {1.0 / 300.0, 16, 16, 2},                        // 5.70 / 2.77 = 2.06
      {1e-300, 16, 16, 15},     {0.0, 16, 1000, 255},  // levels live in a byte
      {0.3, 1, 16, 15},                                // ln(1) = 0: infinite, capped
      {0.3, 0, 16, 0},                                 // ln(0) = -inf: -0
      {0.0, 16, 0, 0},  // no layers configured: level 0, never a wrap-around
      {0.01, 2, 4, 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(level_for_draw(c.r, c.m, c.max_layers), c.want) << c.r << " " << c.m;
  }
  // The distribution with m = 16: about 1/16 of the draws reach level 1 or above and 1/256
  // level 2 or above, whatever the seed (neighbouring seeds included).
  for (uint64_t seed : {uint64_t{0}, uint64_t{1}, uint64_t{42}, ~uint64_t{0}}) {
    size_t by_level[3] = {0, 0, 0};  // 0, 1, 2 or above
    for (uint64_t id = 0; id < 100000; ++id) {
      ++by_level[std::min<size_t>(level_for_draw(level_draw(seed, id), 16, 16), 2)];
    }
    EXPECT_NEAR(by_level[1] / 100000.0, 1.0 / 16.0 - 1.0 / 256.0, 0.005) << "seed " << seed;
    EXPECT_NEAR(by_level[2] / 100000.0, 1.0 / 256.0, 0.001) << "seed " << seed;
  }
}

TEST(HnswInsert, FirstAndSecondNodes) {
  constexpr uint64_t kSeed = 1;
  TRACE_LEVEL_SEED(kSeed);
  HnswIndex index = seeded_index(HnswConfig{}, 3, kSeed);
  const std::vector<float> data = {1, 0, 0, 0, 1, 0};
  insert_row(index, data, 0);
  ASSERT_EQ(index.entry_point(), 0u);
  EXPECT_EQ(index.max_level(), index.layers()[0]);
  for (size_t l = 0; l <= index.layers()[0]; ++l) EXPECT_TRUE(index.neighbors(0, l).empty());
  insert_row(index, data, 1);
  EXPECT_EQ(std::vector<uint32_t>(index.neighbors(0, 0).begin(), index.neighbors(0, 0).end()),
            std::vector<uint32_t>{1});
  EXPECT_EQ(std::vector<uint32_t>(index.neighbors(1, 0).begin(), index.neighbors(1, 0).end()),
            std::vector<uint32_t>{0});
  expect_invariants(index);
}

TEST(HnswInsert, InvariantsAfterThousandsOfInsertions) {
  struct Case {
    uint64_t m;
    DistanceMetric metric;
    bool raw;
  };
  const Case cases[] = {{4, DistanceMetric::Euclidean, false},
                        {3, DistanceMetric::Cosine, true},
                        {8, DistanceMetric::DotProduct, false},
                        {16, DistanceMetric::Cosine, false}};
  const size_t dim = 8;
  const std::vector<float> data = clustered(3000, dim, 10, 77);
  uint64_t seed = 100;
  for (const Case& c : cases) {
    TRACE_LEVEL_SEED(++seed);
    HnswConfig cfg;
    cfg.m = c.m;
    cfg.m_max0 = 2 * c.m;
    cfg.ef_construction = 40;
    cfg.distance_metric = c.metric;
    cfg.store_raw_vectors = c.raw;
    cfg.max_layers = 6;
    HnswIndex index = seeded_index(cfg, dim, seed);
    std::mt19937 rng(static_cast<uint32_t>(seed));
    for (size_t i = 0; i < 3000; ++i) {
      const uint64_t old_max = index.max_level();
      const auto old_entry = index.entry_point();
      insert_row(index, data, i);
      // Promotion only on a strictly higher level.
      const uint32_t id = static_cast<uint32_t>(i);
      if (i == 0 || index.layers()[id] > old_max) {
        EXPECT_EQ(index.entry_point(), id);
      } else {
        EXPECT_EQ(index.entry_point(), old_entry);
      }
      if (rng() % 5 == 0) index.mark_deleted(static_cast<uint32_t>(rng() % (i + 1)));
    }
    expect_invariants(index);
    EXPECT_LE(index.max_level(), 5u);
  }
}

TEST(HnswInsert, DeletedNodesAreNeverChosenAsNewNeighbours) {
  const size_t dim = 6;
  const std::vector<float> data = clustered(900, dim, 5, 12);
  HnswConfig cfg;
  cfg.ef_construction = 60;
  constexpr uint64_t kSeed = 2;
  TRACE_LEVEL_SEED(kSeed);
  HnswIndex index = seeded_index(cfg, dim, kSeed);
  for (size_t i = 0; i < 600; ++i) insert_row(index, data, i);
  for (uint32_t i = 0; i < 600; i += 2) index.mark_deleted(i);
  for (size_t i = 600; i < 900; ++i) {
    insert_row(index, data, i);
    const uint32_t id = static_cast<uint32_t>(i);
    for (size_t l = 0; l <= index.layers()[id]; ++l) {
      // A high layer may hold only tombstones; then (and only then) the node links to them all.
      size_t tombstones = 0;
      const auto list = index.neighbors(id, l);
      for (uint32_t x : list) tombstones += index.deleted()[x];
      EXPECT_TRUE(tombstones == 0 || tombstones == list.size()) << "node " << id << " layer " << l;
      if (l == 0) {
        EXPECT_EQ(tombstones, 0u) << "node " << id;
      }
    }
  }
}

// With only tombstones in reach, the new node links to them and stays findable.
TEST(HnswInsert, NewNodeIsReachableAfterEverythingWasDeleted) {
  const std::vector<float> a = {1, 2, 3, 4}, b = {-4, 3, -2, 1};
  for (uint64_t seed = 0; seed < 300; ++seed) {
    TRACE_LEVEL_SEED(seed);
    for (DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean}) {
      HnswConfig cfg;
      cfg.distance_metric = metric;
      cfg.m = 2;  // deep graphs: levels above 0 are common
      cfg.m_max0 = 4;
      HnswIndex index = seeded_index(cfg, 4, seed);
      index.insert(0, a, QuantizedVector::quantize(a));
      index.mark_deleted(0);
      index.insert(1, b, QuantizedVector::quantize(b));
      const auto found = index.knn_search(b, 1);
      ASSERT_EQ(found.size(), 1u);
      EXPECT_EQ(found[0].id, 1u);
    }
  }
  // The same with many nodes: delete all, then refill; each new node is reachable once
  // inserted (later prunings may still orphan a node, as in any HNSW graph).
  const size_t dim = 8;
  for (uint64_t m : {3u, 16u}) {
    for (uint32_t seed = 0; seed < 10; ++seed) {
      TRACE_LEVEL_SEED(seed);
      const std::vector<float> data = clustered(120, dim, 4, seed);
      HnswConfig cfg;
      cfg.m = m;
      cfg.m_max0 = 2 * m;
      HnswIndex index = seeded_index(cfg, dim, seed);
      for (size_t i = 0; i < 60; ++i) insert_row(index, data, i);
      for (uint32_t i = 0; i < 60; ++i) index.mark_deleted(i);
      for (size_t i = 60; i < 120; ++i) {
        insert_row(index, data, i);
        // A beam as wide as the graph reaches every node connected to the entry point.
        bool found = false;
        for (const ScoredNode& r : index.knn_search(row(data, dim, i), 1000)) found |= r.id == i;
        ASSERT_TRUE(found) << "m=" << m << " node " << i;
      }
    }
  }
}

// Many copies of one vector, then other vectors, then more copies: every node stays reachable.
// (Copies never reject each other, so without special care they would take over every list in
// the same order and orphan later copies and every node inserted near them.)
TEST(HnswInsert, CopiesOfOneVectorDoNotOrphanNodes) {
  const size_t dim = 4;
  const std::vector<float> copy = {1, 2, 3, 4};
  constexpr uint64_t kSeed = 3;
  TRACE_LEVEL_SEED(kSeed);
  for (DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean}) {
    for (bool raw : {false, true}) {
      HnswConfig cfg;
      cfg.distance_metric = metric;
      cfg.store_raw_vectors = raw;
      HnswIndex index = seeded_index(cfg, dim, kSeed);
      const std::vector<float> others = clustered(400, dim, 3, 7);
      uint32_t id = 0;
      for (int i = 0; i < 300; ++i, ++id) index.insert(id, copy, QuantizedVector::quantize(copy));
      for (size_t i = 0; i < 400; ++i, ++id) insert_row(index, others, i);
      for (int i = 0; i < 200; ++i, ++id) index.insert(id, copy, QuantizedVector::quantize(copy));
      EXPECT_EQ(index.knn_search(copy, id).size(), id)
          << "metric " << static_cast<int>(metric) << " raw " << raw;
    }
  }
}

// Candidates on a line: b and c are nearer to a than to the target, so diversity keeps only a;
// the fill-up still returns two, the nearer rejected one first.
TEST(HnswInsert, SelectionFillsUpToTheCap) {
  HnswConfig cfg;
  cfg.distance_metric = DistanceMetric::Euclidean;
  cfg.store_raw_vectors = true;
  constexpr uint64_t kSeed = 4;
  TRACE_LEVEL_SEED(kSeed);
  HnswIndex index = seeded_index(cfg, 1, kSeed);
  const std::vector<std::vector<float>> pts = {{1.0f}, {2.0f}, {3.0f}};
  for (uint32_t i = 0; i < 3; ++i) index.insert(i, pts[i], QuantizedVector::quantize(pts[i]));
  // Target at 0: squared distances 1, 4, 9.
  const std::vector<ScoredNode> cands = {{9.0f, 2}, {1.0f, 0}, {4.0f, 1}};
  EXPECT_EQ(select_neighbors_heuristic(index, cands, 2),
            (std::vector<ScoredNode>{{1.0f, 0}, {4.0f, 1}}));
  EXPECT_EQ(select_neighbors_heuristic(index, cands, 5).size(), 3u);
  EXPECT_TRUE(select_neighbors_heuristic(index, cands, 0).empty());
  EXPECT_TRUE(select_neighbors_heuristic(index, {}, 3).empty());
  // Diverse candidates are all selected in distance order: target 2, points either side.
  const std::vector<ScoredNode> around = {{1.0f, 2}, {1.0f, 0}};
  const auto sel = select_neighbors_heuristic(index, around, 2);
  EXPECT_EQ(sel.size(), 2u);
  // A duplicate id is never selected twice by the fill-up.
  const std::vector<ScoredNode> dup = {{1.0f, 0}, {4.0f, 1}, {4.0f, 1}};
  EXPECT_EQ(select_neighbors_heuristic(index, dup, 3).size(), 2u);
  // NaN distances sort last and do not break anything.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<ScoredNode> with_nan = {{nan, 2}, {1.0f, 0}};
  EXPECT_EQ(select_neighbors_heuristic(index, with_nan, 2)[0].id, 0u);
}

// An index's levels follow its seed alone: the same seed builds the same graph, another seed
// other levels, and a new index draws its own seed from the OS.
TEST(HnswInsert, LevelDrawsFollowTheIndexSeed) {
  const size_t dim = 4;
  const std::vector<float> data = clustered(500, dim, 3, 1);
  const HnswIndex a = build(HnswConfig{}, data, dim, 5);
  const HnswIndex b = build(HnswConfig{}, data, dim, 5);
  EXPECT_EQ(a.layers(), b.layers());
  EXPECT_EQ(a.to_fields(), b.to_fields());
  EXPECT_NE(build(HnswConfig{}, data, dim, 6).layers(), a.layers());
  EXPECT_NE(HnswIndex(HnswConfig{}, dim).level_seed(), HnswIndex(HnswConfig{}, dim).level_seed());
}

}  // namespace
}  // namespace tarnwell_core
