// HNSW search: small and degenerate indexes, sorting and the cut to k, recall against brute
// force for every metric, tombstones never returned, the filtered form (admission and bounded
// widening), visited-set wrap-around, absurd k, NaN queries and the PQ walk with re-ranking.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <vector>

#include "core/hnsw/distance.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/search.h"
#include "core/hnsw/visited.h"
#include "hnsw_test_util.h"

namespace tarnwell_core {
namespace {

using testing_util::brute_force;
using testing_util::build;
using testing_util::clustered;
using testing_util::recall_at;
using testing_util::row;

constexpr uint64_t kSeed = 17;  // the level seed of every graph built here

bool sorted_ascending(const std::vector<ScoredNode>& r) {
  for (size_t i = 1; i < r.size(); ++i) {
    if (r[i - 1].distance > r[i].distance) return false;
  }
  return true;
}

TEST(HnswSearch, TinyIndexes) {
  TRACE_LEVEL_SEED(kSeed);
  HnswIndex index = testing_util::seeded_index(HnswConfig{}, 2, kSeed);
  EXPECT_TRUE(index.knn_search(std::vector<float>{1, 1}, 0).empty());
  EXPECT_TRUE(index.knn_search(std::vector<float>{1, 1}, 10).empty());
  const std::vector<float> v = {0.5f, 2.0f};
  index.insert(0, v, QuantizedVector::quantize(v));
  const auto one = index.knn_search(v, 3);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].id, 0u);
  EXPECT_TRUE(index.knn_search(v, 0).empty());
  index.mark_deleted(0);
  EXPECT_TRUE(index.knn_search(v, 3).empty());
}

TEST(HnswSearch, SortedCutToKAndWidenedToK) {
  TRACE_LEVEL_SEED(kSeed);
  const size_t dim = 16;
  const std::vector<float> data = clustered(2000, dim, 8, 4);
  HnswConfig cfg;
  cfg.ef_search = 5;
  const HnswIndex index = build(cfg, data, dim, kSeed);
  for (size_t k : {1u, 5u, 30u, 200u}) {
    const auto r = index.knn_search(row(data, dim, 17), k);
    EXPECT_EQ(r.size(), k);  // k above ef_search widens the beam to k
    EXPECT_TRUE(sorted_ascending(r));
  }
}

TEST(HnswSearch, RawVectorsGiveExactDistances) {
  TRACE_LEVEL_SEED(kSeed);
  const size_t dim = 24;
  const std::vector<float> data = clustered(500, dim, 5, 9);
  for (DistanceMetric metric :
       {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    HnswConfig cfg;
    cfg.store_raw_vectors = true;
    cfg.distance_metric = metric;
    const HnswIndex index = build(cfg, data, dim, kSeed);
    const auto q = row(data, dim, 3);
    for (const ScoredNode& r : index.knn_search(q, 10)) {
      EXPECT_EQ(r.distance, distance_exact(metric, q, row(data, dim, r.id)));
    }
  }
}

class HnswRecall : public ::testing::TestWithParam<DistanceMetric> {};

// The default configuration on 20,000 clustered 128-d vectors.
TEST_P(HnswRecall, DefaultsReachRecallAtTen) {
  TRACE_LEVEL_SEED(kSeed);
  const size_t dim = 128;
  const std::vector<float> data = clustered(20000, dim, 100, 1234);
  const std::vector<float> queries = clustered(100, dim, 100, 1234 + 1);
  HnswConfig cfg;
  cfg.distance_metric = GetParam();
  HnswIndex index = build(cfg, data, dim, kSeed);
  EXPECT_GE(recall_at(index, queries, dim, 10), 0.95);

  // Half the nodes deleted: none is ever returned and live recall stays high.
  for (uint32_t i = 0; i < index.node_count(); i += 2) index.mark_deleted(i);
  for (size_t q = 0; q < 100; ++q) {
    for (const ScoredNode& r : index.knn_search(row(queries, dim, q), 10)) {
      ASSERT_EQ(index.deleted()[r.id], 0);
    }
  }
  EXPECT_GE(recall_at(index, queries, dim, 10), 0.90);
}

INSTANTIATE_TEST_SUITE_P(Metrics, HnswRecall,
                         ::testing::Values(DistanceMetric::Cosine, DistanceMetric::Euclidean,
                                           DistanceMetric::DotProduct),
                         [](const ::testing::TestParamInfo<DistanceMetric>& info) {
                           switch (info.param) {
                             case DistanceMetric::Cosine:
                               return std::string("Cosine");
                             case DistanceMetric::Euclidean:
                               return std::string("Euclidean");
                             default:
                               return std::string("DotProduct");
                           }
                         });

// Records, per layer-0 pass (one visited generation each), which ids the predicate saw.
struct RecordingPredicate {
  std::map<uint16_t, std::vector<uint32_t>>* calls;
  const std::set<uint32_t>* allowed;
  bool operator()(uint32_t id) const {
    (*calls)[search_visited().set.generation()].push_back(id);
    return allowed->count(id) > 0;
  }
};

TEST(HnswSearch, FilteredSearchAdmitsOnlyWhatThePredicateAllows) {
  TRACE_LEVEL_SEED(kSeed);
  const size_t dim = 16;
  const std::vector<float> data = clustered(3000, dim, 10, 55);
  HnswIndex index = build(HnswConfig{}, data, dim, kSeed);
  for (uint32_t i = 0; i < 3000; i += 5) index.mark_deleted(i);
  std::set<uint32_t> even;
  for (uint32_t i = 0; i < 3000; i += 2) even.insert(i);
  std::map<uint16_t, std::vector<uint32_t>> calls;
  size_t hit = 0, total = 0;
  for (size_t q = 0; q < 30; ++q) {
    calls.clear();
    const auto query = row(data, dim, q * 97);
    const auto r = index.knn_search_filtered(query, 10, RecordingPredicate{&calls, &even});
    ASSERT_EQ(r.size(), 10u);
    EXPECT_TRUE(sorted_ascending(r));
    for (const ScoredNode& s : r) {
      EXPECT_TRUE(even.count(s.id));
      EXPECT_EQ(index.deleted()[s.id], 0);
    }
    for (const auto& [generation, ids] : calls) {
      const std::set<uint32_t> unique(ids.begin(), ids.end());
      EXPECT_EQ(unique.size(), ids.size()) << "predicate asked twice in one pass";
      for (uint32_t id : ids) EXPECT_EQ(index.deleted()[id], 0) << "asked about a tombstone";
    }
    // Against brute force over the admitted live nodes.
    std::vector<std::pair<float, uint32_t>> truth;
    const QueryDistance dist(index, query.data(), nullptr);
    for (uint32_t id : even) {
      if (!index.deleted()[id]) truth.push_back({dist.precise(id), id});
    }
    std::sort(truth.begin(), truth.end());
    std::set<uint32_t> want;
    for (size_t i = 0; i < 10; ++i) want.insert(truth[i].second);
    for (const ScoredNode& s : r) hit += want.count(s.id);
    total += 10;
  }
  EXPECT_GE(static_cast<double>(hit) / total, 0.9);

  // An empty predicate set is the unfiltered search.
  const auto q0 = row(data, dim, 1);
  EXPECT_EQ(index.knn_search_filtered(q0, 10, [](uint32_t) { return true; }),
            index.knn_search(q0, 10));
}

// A predicate nothing passes: passes of ef 50, 100, 200 and then no more, whatever k asks.
TEST(HnswSearch, WideningStopsAtFourTimesEf) {
  TRACE_LEVEL_SEED(kSeed);
  const size_t dim = 8;
  const std::vector<float> data = clustered(1000, dim, 4, 66);
  const HnswIndex index = build(HnswConfig{}, data, dim, kSeed);
  const std::set<uint32_t> none;
  std::map<uint16_t, std::vector<uint32_t>> calls;
  const auto r =
      index.knn_search_filtered(row(data, dim, 0), 10, RecordingPredicate{&calls, &none});
  EXPECT_TRUE(r.empty());
  EXPECT_EQ(calls.size(), 3u);
  // With no result ever held, no pass stops early: each asks about every reachable live node,
  // once.
  for (const auto& [generation, ids] : calls) EXPECT_LE(ids.size(), 1000u);

  // With the node count as the limit: 50, 100, then 120.
  const std::vector<float> small_data = clustered(120, dim, 2, 67);
  const HnswIndex small = build(HnswConfig{}, small_data, dim, kSeed);
  calls.clear();
  small.knn_search_filtered(row(small_data, dim, 0), 10, RecordingPredicate{&calls, &none});
  EXPECT_EQ(calls.size(), 3u);
  // The last pass with ef = node_count sees every node.
  EXPECT_EQ(calls.rbegin()->second.size(), 120u);
}

TEST(HnswSearch, ResultsSurviveTheVisitedWrapAround) {
  TRACE_LEVEL_SEED(kSeed);
  const size_t dim = 8;
  const std::vector<float> data = clustered(200, dim, 3, 70);
  const HnswIndex index = build(HnswConfig{}, data, dim, kSeed);
  const auto q = row(data, dim, 11);
  const auto first = index.knn_search(q, 10);
  // Straight through the wrap, one generation at a time.
  search_visited().set.set_generation_for_testing(0xFFF0);
  for (int i = 0; i < 40; ++i) ASSERT_EQ(index.knn_search(q, 10), first) << i;
  // And the long way: more than 65535 searches on this thread.
  for (int i = 0; i < 66000; ++i) {
    if (index.knn_search(q, 10) != first) FAIL() << "search " << i << " differs";
  }
}

TEST(HnswSearch, AbsurdKAndNanQueriesAreSafe) {
  TRACE_LEVEL_SEED(kSeed);
  const size_t dim = 8;
  const std::vector<float> data = clustered(300, dim, 3, 71);
  HnswIndex index = build(HnswConfig{}, data, dim, kSeed);
  const auto all = index.knn_search(row(data, dim, 0), size_t{1000000000000});
  EXPECT_EQ(all.size(), 300u);
  EXPECT_TRUE(sorted_ascending(all));
  EXPECT_EQ(index.knn_search(row(data, dim, 0), std::numeric_limits<size_t>::max()).size(), 300u);

  std::vector<float> nan_query(dim, 0.5f);
  nan_query[3] = std::numeric_limits<float>::quiet_NaN();
  const auto r = index.knn_search(nan_query, 10);
  EXPECT_LE(r.size(), 10u);
  // A NaN-bearing vector can be inserted and the index still answers normally.
  index.insert(300, nan_query, QuantizedVector::quantize(nan_query));
  EXPECT_EQ(index.knn_search(row(data, dim, 5), 10).size(), 10u);
}

TEST(HnswSearch, ProductQuantizedWalkIsReRankedPrecisely) {
  TRACE_LEVEL_SEED(kSeed);
  const size_t dim = 32;
  const std::vector<float> data = clustered(3000, dim, 20, 72);
  const std::vector<float> queries = clustered(50, dim, 20, 73);
  for (DistanceMetric metric : {DistanceMetric::Euclidean, DistanceMetric::Cosine}) {
    HnswConfig cfg;
    cfg.distance_metric = metric;
    HnswIndex index = build(cfg, data, dim, kSeed);
    auto book = PqCodebook::train(data, dim, 8);
    ASSERT_TRUE(book.has_value());
    index.set_product_quantization(*book, *book->encode_batch(data, dim));
    ASSERT_TRUE(index.pq_usable());
    for (size_t q = 0; q < 50; ++q) {
      const auto query = row(queries, dim, q);
      const QueryDistance precise(index, query.data(), nullptr);
      const auto r = index.knn_search(query, 10);
      ASSERT_EQ(r.size(), 10u);
      EXPECT_TRUE(sorted_ascending(r));
      for (const ScoredNode& s : r) EXPECT_EQ(s.distance, precise.precise(s.id));
    }
    // For cosine the table is an unnormalised inner product: the walk only roughly follows
    // cosine order, which the re-ranking cannot fully make up for.
    EXPECT_GE(recall_at(index, queries, dim, 10), metric == DistanceMetric::Cosine ? 0.5 : 0.85);
    // Codes that do not cover every node switch the table off instead of reading past them.
    index.set_product_quantization(
        *book, std::vector<uint8_t>(index.pq_codes().begin(), index.pq_codes().begin() + 10));
    EXPECT_FALSE(index.pq_usable());
    EXPECT_EQ(index.knn_search(row(queries, dim, 0), 10).size(), 10u);
  }
}

// A search started from inside a search's predicate on the same thread would share its visited
// set; that is a bug in the caller and stops a debug build.
TEST(HnswSearch, NestedSearchOnOneThreadIsCaught) {
  TRACE_LEVEL_SEED(kSeed);
#ifdef NDEBUG
  GTEST_SKIP() << "the check is an assertion";
#else
  const size_t dim = 4;
  const std::vector<float> data = clustered(50, dim, 2, 80);
  const HnswIndex index = build(HnswConfig{}, data, dim, kSeed);
  const auto q = row(data, dim, 0);
  EXPECT_DEATH(
      index.knn_search_filtered(q, 5, [&](uint32_t) { return !index.knn_search(q, 1).empty(); }),
      "nested use");
#endif
}

}  // namespace
}  // namespace tarnwell_core
