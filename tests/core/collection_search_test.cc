// Searches of a collection: filters applied inside the graph walk, scores per metric and their
// threshold, keyword and hybrid modes, untrusted k, and concurrent use of one collection.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <thread>

#include "collection_test_util.h"
#include "core/search/filter.h"
#include "core/collection/collection.h"
#include "hnsw_test_util.h"

namespace tarnwell_core {
namespace {

using testing_util::doc;
using testing_util::ids_of;
using testing_util::seeded_collection;
using testing_util::uid;
using J = JsonValue;

constexpr size_t kHuge = 1'000'000'000'000;
constexpr uint64_t kSeed = 5;  // the level seed of the collections whose graph decides a result

std::set<Uuid> id_set(const std::vector<ScoredDocument>& hits) {
  const std::vector<Uuid> ids = ids_of(hits);
  return {ids.begin(), ids.end()};
}

// Points on a 40-wide grid, so that Euclidean neighbourhoods are unambiguous.
std::vector<float> grid(uint32_t i) {
  return {static_cast<float>(i % 40), static_cast<float>(i / 40)};
}

std::set<Uuid> uids(std::initializer_list<uint32_t> ns) {
  std::set<Uuid> out;
  for (uint32_t n : ns) out.insert(uid(n));
  return out;
}

FilterCondition cond(std::string field, FilterOperator op, std::optional<J> value,
                     std::optional<std::vector<J>> values = std::nullopt) {
  return FilterCondition{std::move(field), op, std::move(value), std::move(values)};
}

// Every operator, evaluated by the filtered vector search over a small collection that the
// walk covers completely, so the hits are exactly the matching documents.
TEST(CollectionFilter, OperatorsSelectExactlyTheMatchingDocuments) {
  Collection c("f", 2, HnswConfig{});
  const Metadata metas[] = {
      /*0*/ {{"year", int64_t{2020}}, {"x", 1.0}, {"tag", std::string("a")}},
      /*1*/ {{"year", 2020.0}, {"x", int64_t{1}}, {"tag", std::string("b")}},
      /*2*/ {{"year", std::string("2020")}, {"x", true}, {"tag", std::string("c")}},
      /*3*/ {{"year", int64_t{2019}}, {"x", int64_t{3}}, {"z", 1e-17}},
      /*4*/ {},
  };
  for (uint32_t i = 0; i < 5; ++i) {
    c.insert_document(doc(i, "", metas[i]), std::vector<float>{1.0f, static_cast<float>(i)});
  }
  const auto both = [](std::vector<FilterCondition> must, std::vector<FilterCondition> must_not) {
    return MetadataFilter{std::move(must), std::move(must_not)};
  };
  using Op = FilterOperator;
  const std::vector<J> ab = {J::string("a"), J::string("b")};
  struct Case {
    const char* name;
    MetadataFilter filter;
    std::set<Uuid> want;
  };
  const Case cases[] = {
      {"gte int and float", both({cond("year", Op::Gte, J::integer(2020))}, {}), uids({0, 1})},
      {"gt", both({cond("year", Op::Gt, J::integer(2019))}, {}), uids({0, 1})},
      {"lt", both({cond("year", Op::Lt, J::number(2019.5))}, {}), uids({3})},
      {"lte", both({cond("year", Op::Lte, J::integer(2020))}, {}), uids({0, 1, 3})},
      {"gt NaN became null", both({cond("year", Op::Gt, J::number(NAN))}, {}), uids({})},
      {"eq across number kinds", both({cond("x", Op::Eq, J::integer(1))}, {}), uids({0, 1})},
      {"eq string never a number", both({cond("x", Op::Eq, J::string("3"))}, {}), uids({})},
      {"eq within epsilon", both({cond("z", Op::Eq, J::number(0.0))}, {}), uids({3})},
      {"eq without value", both({cond("x", Op::Eq, std::nullopt)}, {}), uids({})},
      {"ne null holds where present", both({cond("x", Op::Ne, J::null())}, {}), uids({0, 1, 2, 3})},
      {"ne on missing field", both({cond("z", Op::Ne, J::integer(5))}, {}), uids({3})},
      {"in", both({cond("tag", Op::In, std::nullopt, ab)}, {}), uids({0, 1})},
      {"in without values", both({cond("tag", Op::In, std::nullopt)}, {}), uids({})},
      {"in empty", both({cond("tag", Op::In, std::nullopt, std::vector<J>{})}, {}), uids({})},
      {"must_not ne never excludes a missing field", both({}, {cond("z", Op::Ne, J::integer(5))}),
       uids({0, 1, 2, 4})},
      {"must_not", both({}, {cond("tag", Op::In, std::nullopt, ab)}), uids({2, 3, 4})},
      {"must and must_not",
       both({cond("year", Op::Lte, J::integer(2020))}, {cond("x", Op::Eq, J::integer(3))}),
       uids({0, 1})},
      {"empty filter admits all", both({}, {}), uids({0, 1, 2, 3, 4})},
  };
  const std::vector<float> q = {1.0f, 0.0f};
  for (const Case& t : cases) {
    EXPECT_EQ(id_set(c.vector_search_filtered(q, 10, std::nullopt, t.filter)), t.want) << t.name;
    EXPECT_EQ(id_set(c.hybrid_search_filtered(q, "", 10, std::nullopt, 0.7f, FusionMethod::Rrf,
                                              t.filter)),
              t.want)
        << t.name;
  }
}

struct Clustered {
  Collection c = seeded_collection("clustered", 16, HnswConfig{}, kSeed);
  std::vector<float> data;
  size_t n = 3000;
  size_t dim = 16;
  Clustered() {
    data = testing_util::clustered(n, dim, 20, 21);
    for (uint32_t i = 0; i < n; ++i) {
      c.insert_document(doc(i, "", {{"bucket", int64_t{i % 100}}}),
                        testing_util::row(data, dim, i));
    }
  }
  // The k nearest documents whose bucket is below `limit`, by the stored codes.
  std::vector<Uuid> truth(std::span<const float> q, size_t k, int64_t limit) const {
    return c.read([&](const CollectionData& d) {
      const QueryDistance dist(d.hnsw, q.data(), nullptr);
      std::vector<std::pair<float, uint32_t>> all;
      for (uint32_t i = 0; i < n; ++i) {
        if (static_cast<int64_t>(i % 100) < limit) all.push_back({dist.precise(i), i});
      }
      std::sort(all.begin(), all.end());
      std::vector<Uuid> out;
      for (size_t i = 0; i < std::min(k, all.size()); ++i) out.push_back(uid(all[i].second));
      return out;
    });
  }
};

TEST(CollectionFilter, FilteredSearchFindsTheNearestMatchingDocuments) {
  TRACE_LEVEL_SEED(kSeed);
  const Clustered s;
  const std::vector<float> queries = testing_util::clustered(20, s.dim, 20, 99);
  for (int64_t limit : {50, 10, 1}) {
    const MetadataFilter filter{{cond("bucket", FilterOperator::Lt, J::integer(limit))}, {}};
    size_t found = 0, wanted = 0;
    for (size_t qi = 0; qi < 20; ++qi) {
      const std::span<const float> q = testing_util::row(queries, s.dim, qi);
      const std::vector<ScoredDocument> hits = s.c.vector_search_filtered(q, 10, {}, filter);
      ASSERT_EQ(hits.size(), 10u);
      for (size_t i = 0; i < hits.size(); ++i) {
        EXPECT_LT(std::get<int64_t>(hits[i].document->metadata.at("bucket")), limit);
        if (i > 0) {
          EXPECT_GE(hits[i - 1].score, hits[i].score);
        }
      }
      const std::vector<Uuid> truth = s.truth(q, 10, limit);
      const std::set<Uuid> got = id_set(hits);
      for (const Uuid& u : truth) found += got.count(u);
      wanted += truth.size();
    }
    EXPECT_GE(static_cast<double>(found) / static_cast<double>(wanted), 0.9) << limit;
  }
  // A filter with no conditions takes the filtered path and answers like no filter.
  const std::span<const float> q = testing_util::row(s.data, s.dim, 7);
  EXPECT_EQ(ids_of(s.c.vector_search_filtered(q, 10, {}, {})),
            ids_of(s.c.vector_search(q, 10, {})));
}

TEST(CollectionFilter, FewMatchesAreAllFoundAndNothingElse) {
  TRACE_LEVEL_SEED(kSeed);
  Collection c = seeded_collection(
      "few", 2, testing_util::config_with(DistanceMetric::Euclidean, false), kSeed);
  for (uint32_t i = 0; i < 1000; ++i) {
    const bool match = i == 17 || i == 500 || i == 999;
    c.insert_document(doc(i, "", {{"m", match}}), grid(i));
  }
  const MetadataFilter f{{cond("m", FilterOperator::Eq, J::boolean(true))}, {}};
  EXPECT_EQ(id_set(c.vector_search_filtered(std::vector<float>{0.0f, 1.0f}, 10, {}, f)),
            uids({17, 500, 999}));
  const MetadataFilter none{{cond("m", FilterOperator::Eq, J::string("yes"))}, {}};
  EXPECT_TRUE(c.vector_search_filtered(std::vector<float>{0.0f, 1.0f}, 10, {}, none).empty());
}

// Scores are 1 - distance under every metric, with precise distances from raw copies.
TEST(CollectionScores, OneMinusDistancePerMetric) {
  const auto single = [](DistanceMetric m, std::vector<float> stored) {
    auto c = std::make_unique<Collection>("s", stored.size(), testing_util::config_with(m, true));
    c->insert_document(doc(1), stored);
    return c;
  };
  const auto score = [](const Collection& c, std::vector<float> q) {
    const std::vector<ScoredDocument> hits = c.vector_search(q, 1, {});
    return hits.empty() ? NAN : hits[0].score;
  };
  EXPECT_NEAR(score(*single(DistanceMetric::Cosine, {0.6f, 0.8f}), {0.6f, 0.8f}), 1.0f, 1e-6f);
  EXPECT_EQ(score(*single(DistanceMetric::Euclidean, {1, 2}), {1, 2}), 1.0f);
  EXPECT_EQ(score(*single(DistanceMetric::Euclidean, {1, 2, 3}), {2, 3, 4}), -2.0f);
  EXPECT_EQ(score(*single(DistanceMetric::DotProduct, {3, 4}), {1, 2}), 12.0f);
  // Without a raw copy the scalar codes answer, within their quantization error.
  auto coded = std::make_unique<Collection>(
      "q", 2, testing_util::config_with(DistanceMetric::DotProduct, false));
  coded->insert_document(doc(1), std::vector<float>{3, 4});
  EXPECT_NEAR(score(*coded, {1, 2}), 12.0f, 0.05f);
}

TEST(CollectionScores, MinSimilarityBoundaries) {
  Collection c("t", 2, testing_util::config_with(DistanceMetric::DotProduct, true));
  c.insert_document(doc(1), std::vector<float>{1, 0});
  c.insert_document(doc(2), std::vector<float>{0.5f, 0});
  const std::vector<float> q = {1, 0};
  const float top = 2.0f;  // 1 + <q, v>
  const float second = 1.5f;
  struct Case {
    std::optional<float> threshold;
    size_t k;
    size_t want;
  };
  const Case cases[] = {
      {std::nullopt, 10, 2},
      {second, 10, 2},                                  // equal keeps
      {std::nextafter(second, 3.0f), 10, 1},            // just above drops
      {top, 10, 1},                                     //
      {std::nextafter(top, 3.0f), 10, 0},               //
      {-std::numeric_limits<float>::infinity(), 1, 1},  // the cut to k comes first
  };
  for (const Case& t : cases) {
    const MetadataFilter all;
    EXPECT_EQ(c.vector_search(q, t.k, t.threshold).size(), t.want);
    EXPECT_EQ(c.vector_search_filtered(q, t.k, t.threshold, all).size(), t.want);
  }
  // A NaN score is never below a threshold.
  const std::vector<float> nan_query = {NAN, 0};
  EXPECT_EQ(c.vector_search(nan_query, 10, 0.5f).size(), 2u);
}

// k is never trusted: 0 answers nothing and a huge k answers at most the collection.
TEST(CollectionSearch, KZeroAndHugeKInEveryMode) {
  TRACE_LEVEL_SEED(kSeed);
  Collection c = seeded_collection("k", 2, HnswConfig{}, kSeed);
  for (uint32_t i = 0; i < 30; ++i) {
    c.insert_document(doc(i, "common word" + std::to_string(i % 3)),
                      std::vector<float>{1.0f, static_cast<float>(i)});
  }
  ASSERT_TRUE(c.delete_document(uid(4)));
  const std::vector<float> q = {1, 3};
  const MetadataFilter all;
  for (size_t k : {size_t{0}, kHuge, std::numeric_limits<size_t>::max()}) {
    const size_t want = k == 0 ? 0 : 29;
    EXPECT_EQ(c.vector_search(q, k, {}).size(), want) << k;
    EXPECT_EQ(c.vector_search_filtered(q, k, {}, all).size(), want) << k;
    EXPECT_EQ(c.keyword_search("common", k).size(), want) << k;
    for (FusionMethod m : {FusionMethod::Rrf, FusionMethod::Linear}) {
      EXPECT_EQ(c.hybrid_search(q, "common", k, {}, 0.7f, m).size(), want) << k;
      EXPECT_EQ(c.hybrid_search_filtered(q, "common", k, {}, 0.7f, m, all).size(), want) << k;
    }
  }
}

TEST(CollectionSearch, EmptyCollectionsAndMismatchedQueriesFindNothing) {
  Collection c("e", 3, HnswConfig{});
  const std::vector<float> q = {1, 2, 3};
  const MetadataFilter all;
  EXPECT_TRUE(c.vector_search(q, 10, {}).empty());
  EXPECT_TRUE(c.vector_search_filtered(q, 10, {}, all).empty());
  EXPECT_TRUE(c.keyword_search("anything", 10).empty());
  EXPECT_TRUE(c.hybrid_search(q, "anything", 10, {}, 0.7f, FusionMethod::Rrf).empty());
  c.insert_document(doc(1, "anything"), q);
  for (const std::vector<float>& bad :
       {std::vector<float>{1, 2}, std::vector<float>{1, 2, 3, 4}, std::vector<float>{}}) {
    EXPECT_TRUE(c.vector_search(bad, 10, {}).empty());
    EXPECT_TRUE(c.vector_search_filtered(bad, 10, {}, all).empty());
    EXPECT_TRUE(c.hybrid_search(bad, "anything", 10, {}, 0.7f, FusionMethod::Rrf).empty());
    EXPECT_TRUE(
        c.hybrid_search_filtered(bad, "anything", 10, {}, 0.7f, FusionMethod::Rrf, all).empty());
  }
  EXPECT_EQ(c.vector_search(q, 10, {}).size(), 1u);
}

TEST(CollectionSearch, DeletedDocumentsAreNeverReturned) {
  TRACE_LEVEL_SEED(kSeed);
  Collection c = seeded_collection(
      "d", 2, testing_util::config_with(DistanceMetric::Euclidean, false), kSeed);
  for (uint32_t i = 0; i < 50; ++i) c.insert_document(doc(i, "shared"), grid(i));
  for (uint32_t i = 0; i < 50; i += 2) ASSERT_TRUE(c.delete_document(uid(i)));
  const std::vector<float> q = {1, 0};
  const MetadataFilter all;
  const auto check = [](const std::vector<ScoredDocument>& hits) {
    EXPECT_FALSE(hits.empty());
    for (const ScoredDocument& h : hits) EXPECT_EQ(h.document->id.bytes[15] % 2, 1);
  };
  check(c.vector_search(q, 10, {}));
  check(c.vector_search_filtered(q, 10, {}, all));
  check(c.keyword_search("shared", 100));
  check(c.hybrid_search(q, "shared", 10, {}, 0.7f, FusionMethod::Linear));
  check(c.hybrid_search_filtered(q, "shared", 10, {}, 0.7f, FusionMethod::Rrf, all));
  EXPECT_EQ(c.vector_search(q, 100, {}).size(), 25u);
}

TEST(CollectionHybrid, FusedScoresAndThresholds) {
  Collection c("h", 2, testing_util::config_with(DistanceMetric::Euclidean, true));
  // Doc 1 is nearest to the query and the best keyword match; doc 2 second on both sides.
  c.insert_document(doc(1, "rare rare rare words"), std::vector<float>{0, 0});
  c.insert_document(doc(2, "rare words and more words here"), std::vector<float>{1, 0});
  c.insert_document(doc(3, "unrelated"), std::vector<float>{5, 0});
  const std::vector<float> q = {0, 0};
  const std::vector<ScoredDocument> rrf =
      c.hybrid_search(q, "rare", 10, {}, 0.7f, FusionMethod::Rrf);
  ASSERT_EQ(ids_of(rrf), (std::vector<Uuid>{uid(1), uid(2), uid(3)}));
  EXPECT_EQ(rrf[0].score, 1.0f / 61.0f + 1.0f / 61.0f);
  EXPECT_EQ(rrf[1].score, 1.0f / 62.0f + 1.0f / 62.0f);
  EXPECT_EQ(rrf[2].score, 1.0f / 63.0f);
  // One term is at most 1/61 < 0.02, so only ids found on both sides near the top pass.
  EXPECT_EQ(ids_of(c.hybrid_search(q, "rare", 10, 0.02f, 0.7f, FusionMethod::Rrf)),
            (std::vector<Uuid>{uid(1), uid(2)}));
  EXPECT_TRUE(c.hybrid_search(q, "rare", 10, 0.5f, 0.7f, FusionMethod::Rrf).empty());

  // Linear with alpha 1: keyword-only ids score 0, after every positive vector score.
  c.insert_document(doc(4, "rare"), std::vector<float>{100, 0});
  const std::vector<ScoredDocument> lin =
      c.hybrid_search(q, "rare", 3, {}, 1.0f, FusionMethod::Linear);
  ASSERT_EQ(lin.size(), 3u);
  EXPECT_EQ(lin[0].document->id, uid(1));
  EXPECT_EQ(lin[0].score, 1.0f);
  EXPECT_GT(lin[1].score, 0.0f);
  EXPECT_EQ(lin[2].score, 0.0f);
}

TEST(CollectionHybrid, FilteredKeywordHitsAreRemovedBeforeFusion) {
  Collection c("hf", 2, HnswConfig{});
  c.insert_document(doc(1, "rare rare rare", {{"ok", false}}), std::vector<float>{1, 0});
  c.insert_document(doc(2, "rare words", {{"ok", true}}), std::vector<float>{0, 1});
  const MetadataFilter f{{cond("ok", FilterOperator::Eq, J::boolean(true))}, {}};
  // Doc 2 is second by BM25 and far on the vector side, yet takes the first keyword position.
  const std::vector<ScoredDocument> hits = c.hybrid_search_filtered(
      std::vector<float>{1, 0}, "rare", 10, {}, 0.7f, FusionMethod::Rrf, f);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].document->id, uid(2));
  EXPECT_EQ(hits[0].score, 1.0f / 61.0f + 1.0f / 61.0f);
}

// Threads inserting, deleting and searching one collection: every answer is well formed and
// the final state validates.
TEST(CollectionConcurrency, InsertDeleteSearchFromManyThreads) {
  Collection c("cc", 8, HnswConfig{});
  std::atomic<bool> failed{false};
  const auto vec = [](uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal;
    std::vector<float> v(8);
    for (float& x : v) x = normal(rng);
    return v;
  };
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (uint32_t i = 0; i < 300; ++i) {
        const uint32_t n = t * 1000 + i % 120;
        c.insert_document(doc(n, "word" + std::to_string(i % 7), {{"t", int64_t{t}}}), vec(n + i));
        if (i % 3 == 0) c.delete_document(uid(t * 1000 + (i * 7) % 120));
      }
    });
  }
  for (uint32_t t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      const MetadataFilter f{{cond("t", FilterOperator::Eq, J::integer(t))}, {}};
      for (uint32_t i = 0; i < 300; ++i) {
        const std::vector<float> q = vec(i);
        const auto a = c.vector_search_filtered(q, 5, {}, f);
        const auto b = c.hybrid_search(q, "word3", 5, {}, 0.5f, FusionMethod::Linear);
        if (a.size() > 5 || b.size() > 5) failed = true;
        for (const ScoredDocument& h : a) {
          if (std::get<int64_t>(h.document->metadata.at("t")) != t) failed = true;
        }
        if (i % 50 == 0) {
          c.keyword_search("word1", 10);
          c.estimate_memory_bytes();
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_FALSE(failed);
  EXPECT_TRUE(validate(testing_util::fields_of(c)).ok());
}

}  // namespace
}  // namespace tarnwell_core
