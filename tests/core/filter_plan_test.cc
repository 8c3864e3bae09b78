// Filtered searches through the planner: every strategy returns min(k, matches) matching
// documents, the exact ranking returns exactly the brute-force answer, and keyword ranking
// takes the best k among matches. Checked against brute force on random data at many
// selectivities, through deletions, a rebuild and a reload.
#include "core/collection/filter_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "collection_test_util.h"
#include "core/hnsw/distance.h"
#include "core/hnsw/insert.h"
#include "core/search/filter.h"
#include "core/collection/collection.h"
#include "hnsw_test_util.h"

namespace tarnwell_core {
namespace {

using testing_util::doc;
using testing_util::uid;
using J = JsonValue;

MetadataFilter lt(const std::string& field, int64_t limit) {
  return {{FilterCondition{field, FilterOperator::Lt, J::integer(limit), {}}}, {}};
}

// A collection whose document i carries "rank" = i (so "rank < n" matches exactly n documents),
// "bucket" = i % 100, and a short text; raw vectors, so precise distances are exact.
struct Fixture {
  size_t n, dim;
  std::vector<float> data;
  Collection c;
  std::vector<bool> deleted;

  Fixture(size_t n, size_t dim, HnswConfig config, uint32_t seed)
      : n(n), dim(dim), data(testing_util::clustered(n, dim, 12, seed)),
        c(testing_util::seeded_collection("f", dim, config, seed)), deleted(n, false) {
    static const char* kWords[] = {"alpha", "beta", "gamma", "delta", "omega"};
    for (uint32_t i = 0; i < n; ++i) {
      std::string text = std::string(kWords[i % 5]) + " " + kWords[(i / 5) % 5];
      c.insert_document(doc(i, text, {{"rank", int64_t{i}}, {"bucket", int64_t{i % 100}}}),
                        testing_util::row(data, dim, i));
    }
  }

  // The k nearest live documents passing f, by exact distance.
  std::vector<Uuid> truth(std::span<const float> q, size_t k, const MetadataFilter& f) const {
    std::vector<std::pair<float, uint32_t>> all;
    const DistanceMetric metric = c.config().distance_metric;
    for (uint32_t i = 0; i < n; ++i) {
      if (deleted[i]) continue;
      const Metadata m{{"rank", int64_t{i}}, {"bucket", int64_t{i % 100}}};
      if (passes_metadata(m, f)) {
        all.push_back({distance_exact(metric, q, testing_util::row(data, dim, i)), i});
      }
    }
    std::sort(all.begin(), all.end());
    std::vector<Uuid> out;
    for (size_t i = 0; i < std::min(k, all.size()); ++i) out.push_back(uid(all[i].second));
    return out;
  }
};

HnswConfig raw_config(uint64_t m = 16) {
  HnswConfig cfg = testing_util::config_with(DistanceMetric::Euclidean, true);
  cfg.m = m;
  cfg.m_max0 = 2 * m;
  return cfg;
}

TEST(FilterPlan, ChoosesByMatchCount) {
  HnswConfig cfg;  // ef_search 50, m_max0 32: a walk costs about 1,600 distances
  EXPECT_EQ(choose_filter_strategy(0, 1000, 10, cfg), FilterStrategy::Nothing);
  EXPECT_EQ(choose_filter_strategy(5, 1000, 0, cfg), FilterStrategy::Nothing);
  EXPECT_EQ(choose_filter_strategy(10, 1000, 10, cfg), FilterStrategy::Exact);
  EXPECT_EQ(choose_filter_strategy(9000, 1'000'000, 10, cfg), FilterStrategy::Exact);
  // Too few for the two-hop walk to stay connected.
  EXPECT_EQ(choose_filter_strategy(20'000, 1'000'000, 10, cfg), FilterStrategy::Exact);
  EXPECT_EQ(choose_filter_strategy(100'000, 1'000'000, 10, cfg), FilterStrategy::TwoHop);
  EXPECT_EQ(choose_filter_strategy(400'000, 1'000'000, 10, cfg), FilterStrategy::Walk);
  // Every live document matches: the unfiltered walk, unless k asks for all of them.
  EXPECT_EQ(choose_filter_strategy(1000, 1000, 10, cfg), FilterStrategy::All);
  EXPECT_EQ(choose_filter_strategy(1000, 1000, 1000, cfg), FilterStrategy::Exact);
  // k beyond the matches: only ranking them all can return them all.
  EXPECT_EQ(choose_filter_strategy(100'000, 1'000'000, 200'000, cfg), FilterStrategy::Exact);
}

// Filters matching 0, 1, k-1, k, k+1 documents and 1 %, 10 %, 50 %, 100 % of them: always
// min(k, matches) matching hits; exact answers where the planner ranks exactly, high recall
// where it walks, whichever strategy each query takes.
TEST(FilterPlan, ReturnsMinOfKAndMatchesAtEverySelectivity) {
  const size_t k = 10;
  Fixture s(4000, 8, raw_config(), 3);
  const std::vector<float> queries = testing_util::clustered(30, s.dim, 12, 77);
  struct Case {
    MetadataFilter f;
    size_t matches;
  };
  // ne and must_not together: rank >= 3990 and bucket != 95 leaves nine documents.
  const MetadataFilter ne_not{
      {FilterCondition{"bucket", FilterOperator::Ne, J::integer(95), {}}},
      {FilterCondition{"rank", FilterOperator::Lt, J::integer(3990), {}},
       FilterCondition{"missing", FilterOperator::Ne, J::integer(1), {}}}};
  // An Int field against a Float bound.
  const MetadataFilter float_bound{
      {FilterCondition{"rank", FilterOperator::Lte, J::number(10.5), {}}}, {}};
  const std::vector<Case> cases = {
      {lt("rank", 0), 0},       {lt("rank", 1), 1},         {ne_not, k - 1},
      {lt("rank", k), k},       {float_bound, k + 1},       {lt("bucket", 1), 40},
      {lt("bucket", 10), 400},  {lt("bucket", 50), 2000},   {MetadataFilter{}, 4000},
  };
  for (const Case& t : cases) {
    size_t found = 0, wanted = 0;
    for (size_t qi = 0; qi < 30; ++qi) {
      const std::span<const float> q = testing_util::row(queries, s.dim, qi);
      const std::vector<ScoredDocument> hits = s.c.vector_search_filtered(q, k, {}, t.f);
      ASSERT_EQ(hits.size(), std::min(k, t.matches)) << t.matches;
      const std::vector<Uuid> truth = s.truth(q, k, t.f);
      for (const ScoredDocument& h : hits) EXPECT_TRUE(passes_metadata(h.document->metadata, t.f));
      const std::vector<Uuid> ids = testing_util::ids_of(hits);
      const std::set<Uuid> got(ids.begin(), ids.end());
      for (const Uuid& u : truth) found += got.count(u);
      wanted += truth.size();
      if (t.matches <= k + 1) {
        EXPECT_EQ(ids, truth) << t.matches;
      }
    }
    if (wanted > 0) {
      EXPECT_GE(static_cast<double>(found) / static_cast<double>(wanted), 0.95) << t.matches;
    }
  }
}

// A sparse graph strands matches the walk cannot reach; they are still all returned.
TEST(FilterPlan, SparseGraphStillReturnsEveryMatchNeeded) {
  Fixture s(3000, 8, raw_config(/*m=*/2), 11);
  const std::vector<float> queries = testing_util::clustered(10, s.dim, 12, 5);
  for (size_t qi = 0; qi < 10; ++qi) {
    const std::span<const float> q = testing_util::row(queries, s.dim, qi);
    const MetadataFilter f = lt("bucket", 1);  // 30 matches
    EXPECT_EQ(testing_util::ids_of(s.c.vector_search_filtered(q, 10, {}, f)), s.truth(q, 10, f));
  }
  // Each walk forced, however few matches: one that comes back short is replaced by the exact
  // ranking, so the count never drops below min(k, matches).
  s.c.read([&](const CollectionData& d) {
    IdBitset members(d.hnsw.node_count());
    for (uint32_t i = 0; i < d.hnsw.node_count(); i += 150) members.set(i);  // 20 matches
    for (const double walk_share : {0.0, 2.0}) {
      const FilterCostModel forced{.exact_per_visit = 0.0, .two_hop_min_share = 0.0,
                                   .walk_share = walk_share};
      for (size_t qi = 0; qi < 10; ++qi) {
        const std::span<const float> q = testing_util::row(queries, s.dim, qi);
        const std::vector<ScoredNode> got = filtered_knn(d.hnsw, q, 10, members, 20, 3000, forced);
        EXPECT_EQ(got.size(), 10u) << walk_share;
        for (const ScoredNode& n : got) EXPECT_TRUE(members.test(n.id));
      }
    }
  });
}

// The exact ranking and the walks agree with the index through deletions, a rebuild and a
// reload from the persisted form.
TEST(FilterPlan, IndexFollowsDeletesRebuildAndLoad) {
  Fixture s(1500, 8, raw_config(), 21);
  std::mt19937 rng(21);
  for (uint32_t i = 0; i < 1500; ++i) {
    if (rng() % 3 == 0) {
      ASSERT_TRUE(s.c.delete_document(uid(i)));
      s.deleted[i] = true;
    }
  }
  // An id inserted again: its earlier internal id is retired, the new one matches.
  ASSERT_TRUE(s.c.delete_document(uid(3)));
  s.c.insert_document(doc(3, "", {{"rank", int64_t{3}}, {"bucket", int64_t{3}}}),
                      testing_util::row(s.data, s.dim, 3));
  s.deleted[3] = false;

  const std::shared_ptr<Collection> loaded = Collection::from_fields(testing_util::fields_of(s.c));
  const std::span<const float> q = testing_util::row(s.data, s.dim, 42);
  for (int64_t limit : {1, 5, 20}) {
    const MetadataFilter f = lt("bucket", limit);
    const std::vector<Uuid> truth = s.truth(q, 10, f);
    EXPECT_EQ(testing_util::ids_of(s.c.vector_search_filtered(q, 10, {}, f)), truth);
    EXPECT_EQ(testing_util::ids_of(loaded->vector_search_filtered(q, 10, {}, f)), truth);
  }
  // A filter every live document passes answers what no filter answers, deleted ones left out.
  const MetadataFilter all{{FilterCondition{"rank", FilterOperator::Gte, J::integer(0), {}}}, {}};
  EXPECT_EQ(testing_util::ids_of(s.c.vector_search_filtered(q, 10, {}, all)),
            testing_util::ids_of(s.c.vector_search(q, 10, {})));
  ASSERT_TRUE(s.c.rebuild().has_value());
  for (int64_t limit : {1, 5, 20}) {
    const MetadataFilter f = lt("bucket", limit);
    EXPECT_EQ(testing_util::ids_of(s.c.vector_search_filtered(q, 10, {}, f)), s.truth(q, 10, f));
  }
}

// Sets kept for reuse are never served after the collection changed.
TEST(FilterPlan, ReusedFilterSetsFollowInsertsAndDeletes) {
  Collection c("cache", 2, raw_config());
  for (uint32_t i = 0; i < FilterCache::kMinCount + 100; ++i) {
    c.insert_document(doc(i, "", {{"g", int64_t{1}}}),
                      std::vector<float>{static_cast<float>(i % 64) + 10.0f, static_cast<float>(i / 64)});
  }
  const MetadataFilter g{{FilterCondition{"g", FilterOperator::Eq, J::integer(1), {}}}, {}};
  const std::vector<float> q = {0.0f, 0.0f};
  ASSERT_EQ(c.vector_search_filtered(q, 1, {}, g).size(), 1u);
  c.insert_document(doc(999'999, "", {{"g", int64_t{1}}}), q);
  EXPECT_EQ(testing_util::ids_of(c.vector_search_filtered(q, 1, {}, g)),
            std::vector<Uuid>{uid(999'999)});
  ASSERT_TRUE(c.delete_document(uid(999'999)));
  EXPECT_NE(testing_util::ids_of(c.vector_search_filtered(q, 1, {}, g)),
            std::vector<Uuid>{uid(999'999)});
  // The same condition spelled with another value kind is another key, with the same answer.
  const MetadataFilter g_float{{FilterCondition{"g", FilterOperator::Eq, J::number(1.0), {}}}, {}};
  EXPECT_EQ(testing_util::ids_of(c.vector_search_filtered(q, 3, {}, g_float)),
            testing_util::ids_of(c.vector_search_filtered(q, 3, {}, g)));
}

// Keyword search with a filter ranks the matching documents: the BM25 order of all documents,
// restricted to matches, cut to k; the keyword half of a filtered hybrid search likewise.
TEST(FilterPlan, KeywordRankingTakesTheBestMatches) {
  Fixture s(600, 4, raw_config(), 8);
  for (int64_t limit : {0, 1, 3, 30}) {
    const MetadataFilter f = lt("bucket", limit);
    for (size_t k : {size_t{1}, size_t{3}, size_t{25}}) {
      // Equal scores at the cut may keep other documents: compare scores, and filter ids.
      std::vector<float> want;
      for (const ScoredDocument& h : s.c.keyword_search("gamma alpha", 1'000'000)) {
        if (want.size() < k && passes_metadata(h.document->metadata, f)) want.push_back(h.score);
      }
      std::vector<float> got;
      for (const ScoredDocument& h : s.c.keyword_search_filtered("gamma alpha", k, f)) {
        EXPECT_TRUE(passes_metadata(h.document->metadata, f));
        got.push_back(h.score);
      }
      EXPECT_EQ(got, want) << limit << " " << k;
    }
  }
  // The only matching keyword hit ranks low among all hits, yet is found at k = 3, and takes
  // the first keyword position of a filtered hybrid search.
  Collection c("kw", 2, HnswConfig{});
  for (uint32_t i = 0; i < 20; ++i) {
    c.insert_document(doc(i, i == 19 ? "rare" : "rare rare rare", {{"ok", i == 19}}),
                      std::vector<float>{1.0f, static_cast<float>(i)});
  }
  const MetadataFilter ok{{FilterCondition{"ok", FilterOperator::Eq, J::boolean(true), {}}}, {}};
  EXPECT_EQ(testing_util::ids_of(c.keyword_search_filtered("rare", 3, ok)), std::vector<Uuid>{uid(19)});
  const std::vector<ScoredDocument> hybrid =
      c.hybrid_search_filtered(std::vector<float>{1.0f, 0.0f}, "rare", 3, {}, 0.7f,
                               FusionMethod::Rrf, ok);
  ASSERT_EQ(hybrid.size(), 1u);
  EXPECT_EQ(hybrid[0].score, 1.0f / 61.0f + 1.0f / 61.0f);
}

}  // namespace
}  // namespace tarnwell_core
