// Fusion of vector and keyword rankings: exact f32 scores, the top-k cut with its tie rule,
// and degenerate inputs.
#include "core/search/hybrid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tarnwell_core {
namespace {

float rrf_term(int n) { return 1.0f / ((static_cast<float>(n) + 60.0f) + 1.0f); }

TEST(HybridRrf, SumsPositionTermsOfBothLists) {
  // Id 1 is first in V and third in B; id 3 only second in B.
  const RankedList v = {{1, 0.9f}, {2, 0.8f}};
  const RankedList b = {{4, 9.0f}, {3, 8.0f}, {1, 7.0f}};
  const RankedList f = rrf_fusion(v, b, 10);
  ASSERT_EQ(f.size(), 4u);
  EXPECT_EQ(f[0].first, 1u);
  EXPECT_EQ(f[0].second, 1.0f / 61.0f + 1.0f / 63.0f);
  // Ids 4 (first in B) and 2 (second in V) and 3 (second in B): ties ordered by higher id.
  EXPECT_EQ(f[1], (std::pair<uint32_t, float>{4, 1.0f / 61.0f}));
  EXPECT_EQ(f[2], (std::pair<uint32_t, float>{3, 1.0f / 62.0f}));
  EXPECT_EQ(f[3], (std::pair<uint32_t, float>{2, 1.0f / 62.0f}));
  EXPECT_GT(f[0].second, f[2].second);
  // Input scores play no part.
  const RankedList v2 = {{1, -100.0f}, {2, 1e9f}};
  EXPECT_EQ(rrf_fusion(v2, b, 10), f);
}

TEST(HybridRrf, EqualScoresKeepTheHigherIdAtTheCut) {
  // Ids found only in V and only in B at the same positions tie exactly.
  const RankedList v = {{1, 0.0f}, {2, 0.0f}, {5, 0.0f}};
  const RankedList b = {{3, 0.0f}, {4, 0.0f}, {7, 0.0f}};
  const RankedList f = rrf_fusion(v, b, 5);
  ASSERT_EQ(f.size(), 5u);
  EXPECT_EQ(f[4], (std::pair<uint32_t, float>{7, rrf_term(2)}));  // 7 beats 5
  EXPECT_EQ(f[0].first, 3u);
  EXPECT_EQ(f[1].first, 1u);

  const RankedList one = rrf_fusion({{10, 0.5f}}, {{20, 0.5f}}, 1);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].first, 20u);
}

TEST(HybridRrf, ScoresOnlyTheKeywordRankingWhenNoVectorHits) {
  const RankedList f = rrf_fusion({}, {{8, 3.0f}, {2, 2.0f}, {5, 1.0f}}, 10);
  const RankedList want = {{8, rrf_term(0)}, {2, rrf_term(1)}, {5, rrf_term(2)}};
  EXPECT_EQ(f, want);
}

TEST(HybridLinear, MixesNormalisedScoresExactly) {
  const float alpha = 0.7f;
  const RankedList v = {{1, 0.9f}, {2, 0.5f}};
  const RankedList b = {{2, 7.0f}, {3, 3.0f}};
  const RankedList f = linear_fusion(v, b, 10, alpha);
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0], (std::pair<uint32_t, float>{1, alpha * 1.0f}));
  EXPECT_EQ(f[1], (std::pair<uint32_t, float>{2, alpha * 0.0f + (1.0f - alpha) * 1.0f}));
  EXPECT_EQ(f[2], (std::pair<uint32_t, float>{3, 0.0f}));

  // A middle score normalises by the f32 range.
  const RankedList three = linear_fusion({{1, 0.9f}, {2, 0.7f}, {3, 0.5f}}, {}, 10, 1.0f);
  EXPECT_EQ(three[1], (std::pair<uint32_t, float>{2, (0.7f - 0.5f) / (0.9f - 0.5f)}));
}

TEST(HybridLinear, DegenerateListsAndWeights) {
  struct Case {
    const char* name;
    RankedList v, b;
    float alpha;
    RankedList want;
  };
  const Case cases[] = {
      {"one vector entry gets alpha",
       {{4, 0.123f}},
       {{9, 5.0f}, {4, 1.0f}},
       0.25f,
       {{9, 1.0f - 0.25f}, {4, 0.25f}}},
      {"equal scores normalise to 1", {{1, 0.5f}, {2, 0.5f}}, {}, 0.5f, {{2, 0.5f}, {1, 0.5f}}},
      {"alpha 1 leaves keyword-only ids at 0",
       {{1, 0.9f}, {2, 0.1f}},
       {{3, 4.0f}},
       1.0f,
       {{1, 1.0f}, {3, 0.0f}, {2, 0.0f}}},
      {"no vector hits", {}, {{7, 2.0f}, {6, 1.0f}}, 0.7f, {{7, 1.0f - 0.7f}, {6, 0.0f}}},
      {"alpha outside 0..1 is not clamped",
       {{1, 1.0f}},
       {{2, 1.0f}},
       2.0f,
       {{1, 2.0f}, {2, -1.0f}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(linear_fusion(c.v, c.b, 10, c.alpha), c.want) << c.name;
  }
}

TEST(HybridFusion, KBoundsTheResultWhateverItsSize) {
  const RankedList v = {{1, 0.9f}, {2, 0.8f}};
  const RankedList b = {{2, 3.0f}, {3, 1.0f}};
  for (size_t k : {size_t{0}, size_t{1}, size_t{3}, size_t{1'000'000'000'000},
                   std::numeric_limits<size_t>::max()}) {
    const size_t want = std::min<size_t>(k, 3);
    EXPECT_EQ(rrf_fusion(v, b, k).size(), want) << k;
    EXPECT_EQ(linear_fusion(v, b, k, 0.5f).size(), want) << k;
  }
  EXPECT_TRUE(rrf_fusion({}, {}, 10).empty());
}

TEST(HybridFusion, NaNScoresRankLastAndAreCutFirst) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  // An infinite vector score normalises to inf / inf = NaN.
  const RankedList v = {{1, inf}, {2, 0.1f}};
  const RankedList f = linear_fusion(v, {{3, 1.0f}}, 10, 0.5f);
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[0], (std::pair<uint32_t, float>{3, 0.5f}));
  EXPECT_EQ(f[1], (std::pair<uint32_t, float>{2, 0.0f}));
  EXPECT_EQ(f[2].first, 1u);
  EXPECT_TRUE(std::isnan(f[2].second));
  const RankedList cut = linear_fusion(v, {{3, 1.0f}}, 2, 0.5f);
  ASSERT_EQ(cut.size(), 2u);
  EXPECT_EQ(cut[1].first, 2u);
  // A NaN input score moves neither bound of the normalisation.
  const RankedList g = linear_fusion({{1, 0.9f}, {2, nan}, {3, 0.5f}}, {}, 10, 1.0f);
  EXPECT_EQ(g[0], (std::pair<uint32_t, float>{1, 1.0f}));
  EXPECT_EQ(g[1], (std::pair<uint32_t, float>{3, 0.0f}));
}

}  // namespace
}  // namespace tarnwell_core
