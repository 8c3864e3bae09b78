// Incremental pruning must be invisible: a prune that measures only what the newcomer changes
// gives exactly the lists the full neighbour selection gives, for every metric and storage,
// with copies, tombstones and lists that do not come from a selection.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/hnsw/graph.h"
#include "core/hnsw/select_neighbors.h"
#include "hnsw_test_util.h"

namespace tarnwell_core {
namespace {

using testing_util::clustered;
using testing_util::expect_invariants;
using testing_util::row;

constexpr uint64_t kSeed = 99;  // the level seed of every graph built here

struct PruningMode {
  explicit PruningMode(bool incremental) { set_incremental_pruning_for_testing(incremental); }
  ~PruningMode() { set_incremental_pruning_for_testing(true); }
};

// Inserts every row (with copies of earlier rows and deletions mixed in, as `messy` asks).
HnswIndex build_with(const HnswConfig& cfg, const std::vector<float>& data, size_t dim, bool messy,
                     bool incremental) {
  const PruningMode mode(incremental);
  HnswIndex index = testing_util::seeded_index(cfg, dim, kSeed);
  const size_t n = data.size() / dim;
  for (uint32_t i = 0; i < n; ++i) {
    // Every 7th row repeats an earlier one exactly.
    const size_t source = messy && i % 7 == 3 ? i / 2 : i;
    const auto v = row(data, dim, source);
    index.insert(i, v, QuantizedVector::quantize(v));
    if (messy && i % 11 == 0) index.mark_deleted(i / 3);
  }
  return index;
}

TEST(HnswPrune, IncrementalPruningBuildsTheSameGraph) {
  struct Case {
    DistanceMetric metric;
    bool raw;
    uint64_t m;
    bool messy;
  };
  const Case cases[] = {
      {DistanceMetric::Cosine, false, 16, false},
      {DistanceMetric::Cosine, true, 16, true},
      {DistanceMetric::Euclidean, false, 16, true},
      {DistanceMetric::Euclidean, true, 4, false},
      {DistanceMetric::DotProduct, false, 8, true},
      {DistanceMetric::DotProduct, true, 16, false},
      {DistanceMetric::Cosine, false, 2, true},
      // Caps above what a byte can count: never incremental, still the same graph.
      {DistanceMetric::Euclidean, false, 130, false},
  };
  const size_t dim = 24;
  const std::vector<float> data = clustered(2500, dim, 12, 5);
  TRACE_LEVEL_SEED(kSeed);
  for (const Case& c : cases) {
    HnswConfig cfg;
    cfg.distance_metric = c.metric;
    cfg.store_raw_vectors = c.raw;
    cfg.m = c.m;
    cfg.m_max0 = 2 * c.m;
    cfg.ef_construction = 48;
    const HnswIndex full = build_with(cfg, data, dim, c.messy, false);
    const HnswIndex incremental = build_with(cfg, data, dim, c.messy, true);
    SCOPED_TRACE(testing::Message() << "metric " << static_cast<int>(c.metric) << " raw " << c.raw
                                    << " m " << c.m << " messy " << c.messy);
    expect_invariants(incremental);
    EXPECT_TRUE(full.to_fields() == incremental.to_fields());
  }
}

// Lists read from a file are not known to be in selection order: the first prune of each runs
// the full selection, and the graph still matches one built with full selection throughout.
TEST(HnswPrune, ListsFromFieldsStartWithTheFullSelection) {
  const size_t dim = 16;
  const std::vector<float> data = clustered(1600, dim, 8, 21);
  HnswConfig cfg;
  cfg.ef_construction = 40;
  const std::vector<float> first(data.begin(), data.begin() + 800 * dim);
  TRACE_LEVEL_SEED(kSeed);
  const HnswIndex half = build_with(cfg, first, dim, false, true);
  HnswIndex reloaded = HnswIndex::from_fields(half.to_fields());
  HnswIndex reference = HnswIndex::from_fields(half.to_fields());
  reloaded.set_level_seed(kSeed);
  reference.set_level_seed(kSeed);
  for (uint32_t i = 800; i < 1600; ++i) {
    const auto v = row(data, dim, i);
    reloaded.insert(i, v, QuantizedVector::quantize(v));
    const PruningMode full(false);
    reference.insert(i, v, QuantizedVector::quantize(v));
  }
  EXPECT_TRUE(reference.to_fields() == reloaded.to_fields());
}

// The function itself, against the full selection on random lists and newcomers, including
// newcomers that tie with a list entry or copy one (where it must decline or agree).
TEST(HnswPrune, ReselectAgreesWithTheFullSelection) {
  const size_t dim = 12;
  std::vector<float> data = clustered(400, dim, 4, 8);
  // Rows 390.. copy rows 0.. exactly.
  for (size_t i = 390; i < 400; ++i) {
    std::copy_n(data.begin() + (i - 390) * dim, dim, data.begin() + i * dim);
  }
  TRACE_LEVEL_SEED(kSeed);
  for (DistanceMetric metric :
       {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    for (bool raw : {false, true}) {
      HnswConfig cfg;
      cfg.distance_metric = metric;
      cfg.store_raw_vectors = raw;
      const HnswIndex index = testing_util::build(cfg, data, dim, kSeed);
      std::mt19937 rng(static_cast<uint32_t>(metric) * 2 + raw);
      size_t agreed = 0;
      for (int round = 0; round < 400; ++round) {
        const uint32_t target = rng() % 400;
        std::vector<float> t(dim);
        index.reconstruct_into(target, t.data());
        const float* at = raw ? &index.raw_vectors()[target * dim] : t.data();
        const QueryDistance dist(index, at, nullptr);
        const size_t cap = 2 + rng() % 20;
        std::vector<ScoredNode> pool;
        for (size_t j = 0; j < cap + 10; ++j) {
          const uint32_t id = rng() % 400;
          if (id != target) pool.push_back({dist.precise(id), id});
        }
        std::vector<ScoredNode> list;
        SelectionShape shape;
        select_neighbors_heuristic_into(index, pool, cap, list, &shape);
        if (!shape.in_selection_order || list.size() < cap) continue;
        const uint32_t extra_id = rng() % 400;
        const ScoredNode extra{dist.precise(extra_id), extra_id};
        std::vector<ScoredNode> with_extra = list;
        with_extra.push_back(extra);
        std::vector<ScoredNode> want, got;
        SelectionShape want_shape, got_shape;
        select_neighbors_heuristic_into(index, with_extra, cap, want, &want_shape);
        if (!reselect_with_candidate(index, list, shape.diverse, extra, cap, got, &got_shape)) {
          continue;
        }
        ++agreed;
        ASSERT_EQ(got, want) << "round " << round;
        EXPECT_EQ(got_shape.diverse, want_shape.diverse);
      }
      EXPECT_GT(agreed, 100u) << "metric " << static_cast<int>(metric) << " raw " << raw;
    }
  }
}

TEST(HnswPrune, ReselectDeclinesWhatItCannotVouchFor) {
  HnswConfig cfg;
  cfg.distance_metric = DistanceMetric::Euclidean;
  const size_t dim = 2;
  const std::vector<float> data = {0, 0, 1, 0, 0, 2, 5, 5, 1, 0};  // row 4 copies row 1
  TRACE_LEVEL_SEED(kSeed);
  const HnswIndex index = testing_util::build(cfg, data, dim, kSeed);
  // Distances from row 0; rows 1 and 2 are both kept.
  const std::vector<ScoredNode> list = {{1, 1}, {4, 2}};
  std::vector<ScoredNode> out;
  SelectionShape shape;
  // A copy of a kept entry.
  EXPECT_FALSE(reselect_with_candidate(index, list, 2, {1, 4}, 2, out, &shape));
  // The newcomer is already in the list.
  EXPECT_FALSE(reselect_with_candidate(index, list, 2, {4, 2}, 2, out, &shape));
  // Not in selection order: kept part out of order, or nothing kept.
  const std::vector<ScoredNode> unordered = {{50, 3}, {1, 1}};
  EXPECT_FALSE(reselect_with_candidate(index, unordered, 2, {4, 2}, 2, out, &shape));
  EXPECT_FALSE(reselect_with_candidate(index, list, 0, {50, 3}, 2, out, &shape));
  EXPECT_TRUE(out.empty());
  // A far newcomer is dropped and the list stays as it was.
  ASSERT_TRUE(reselect_with_candidate(index, list, 2, {50, 3}, 2, out, &shape));
  EXPECT_EQ(out, list);
  EXPECT_EQ(shape.diverse, 2u);
}

}  // namespace
}  // namespace tarnwell_core
