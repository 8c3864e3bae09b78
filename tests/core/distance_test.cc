// The three distance operations: the documented values, the special cases of cosine (tiny
// norms, constant stored vectors), the double-precision steps of the asymmetric cosine, and
// which stored form compute_distance picks. Run at every kernel level this CPU has.
#include "core/hnsw/distance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/hnsw/graph.h"
#include "core/quantization/scalar.h"
#include "core/quantization/simd/kernels.h"

namespace tarnwell_core {
namespace {

using simd::SimdLevel;

class DistanceTest : public ::testing::TestWithParam<SimdLevel> {
 protected:
  void SetUp() override {
    if (!simd::force_simd_level_for_testing(GetParam())) GTEST_SKIP() << "level not runnable";
  }
  void TearDown() override { simd::force_simd_level_for_testing(simd::best_supported_level()); }
};

constexpr DistanceMetric kCos = DistanceMetric::Cosine;
constexpr DistanceMetric kL2 = DistanceMetric::Euclidean;
constexpr DistanceMetric kDot = DistanceMetric::DotProduct;

TEST_P(DistanceTest, ExactDocumentedValues) {
  struct Case {
    DistanceMetric metric;
    std::vector<float> a, b;
    float want;
  };
  const Case cases[] = {
      {kL2, {0, 0}, {3, 4}, 25.0f},                                        // squared, no root
      {kDot, {1, 2}, {3, 4}, -11.0f},       {kCos, {0, 0}, {0, 0}, 1.0f},  // zero norms
      {kCos, {0, 0, 0}, {1, 2, 3}, 1.0f},   {kCos, {1, 0}, {0, 1}, 1.0f},
      {kCos, {1, 2}, {2, 4}, 0.0f},         {kCos, {1, 0}, {-1, 0}, 2.0f},
      {kCos, {1e-6f, 0}, {1e-6f, 0}, 1.0f},  // denominator 1e-12 < 1e-10
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(distance_exact(c.metric, c.a, c.b), c.want, 1e-6f);
  }
  // b may be longer than a; only a's length counts.
  EXPECT_EQ(distance_exact(kL2, std::vector<float>{1}, std::vector<float>{0, 100}), 1.0f);
}

TEST_P(DistanceTest, AsymmetricSpecialCases) {
  const std::vector<uint8_t> codes = {0, 128, 255};
  const QuantizedRef stored{codes, 1.0f, 0.5f};  // components 1, 65, 128.5
  const std::vector<float> zero = {0, 0, 0};
  EXPECT_EQ(distance_asym_prenorm(kCos, zero, stored, 0.0f), 1.0f);

  // A constant stored vector (scale 0) is its value in every component: a parallel query is at
  // cosine distance 0, an opposite one at 2, whatever the codes say.
  const QuantizedRef constant{codes, 2.0f, 0.0f};
  const std::vector<float> parallel = {2, 2, 2};
  const std::vector<float> opposite = {-1, -1, -1};
  EXPECT_NEAR(distance_asym_prenorm(kCos, parallel, constant, 12.0f), 0.0f, 1e-6f);
  EXPECT_NEAR(distance_asym_prenorm(kCos, opposite, constant, 3.0f), 2.0f, 1e-6f);
  const QuantizedRef zero_constant{codes, 0.0f, 0.0f};
  EXPECT_EQ(distance_asym_prenorm(kCos, parallel, zero_constant, 12.0f), 1.0f);
  EXPECT_EQ(distance_asym_prenorm(kL2, parallel, constant, 12.0f), 0.0f);
  EXPECT_EQ(distance_asym_prenorm(kDot, parallel, constant, 12.0f), -12.0f);

  // Stored vector reconstructs to zero: tiny denominator.
  const QuantizedRef zero_stored{codes, 0.0f, 1e-30f};
  const std::vector<float> q = {1, 1, 1};
  EXPECT_EQ(distance_asym_prenorm(kCos, q, zero_stored, 3.0f), 1.0f);

  EXPECT_NEAR(distance_asym_prenorm(kL2, q, stored, 3.0f), 0.0f + 64.0f * 64.0f + 127.5f * 127.5f,
              1e-2f);
  EXPECT_NEAR(distance_asym_prenorm(kDot, q, stored, 3.0f), -(1.0f + 65.0f + 128.5f), 1e-4f);
}

// The quotient is formed in double from f32 sums and rounded to f32 once.
TEST_P(DistanceTest, AsymmetricCosineUsesDoublePrecisionSteps) {
  const std::vector<float> q = {0.3f, -1.7f, 2.9f, 0.01f, 5.5f};
  const std::vector<uint8_t> codes = {3, 250, 17, 128, 90};
  const float min = -0.75f, scale = 0.0123f;
  float qn = 0, vn = 0, dot = 0;
  for (size_t j = 0; j < q.size(); ++j) {
    const float v = min + scale * codes[j];
    qn += q[j] * q[j];
    vn += v * v;
    dot += q[j] * v;
  }
  const double denom = std::sqrt(double{qn}) * std::sqrt(double{vn});
  const float want = 1.0f - static_cast<float>(double{dot} / denom);
  const float got = distance_asym_prenorm(kCos, q, QuantizedRef{codes, min, scale}, qn);
  if (GetParam() == SimdLevel::Scalar) {
    EXPECT_EQ(got, want);
  } else {
    EXPECT_NEAR(got, want, 1e-6f);
  }
}

TEST_P(DistanceTest, ComputeDistancePicksTheStoredForm) {
  std::mt19937 rng(8);
  std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
  for (size_t dim : {4u, 37u}) {  // 37: every block size and a single-component tail
    std::vector<std::vector<float>> vectors(3, std::vector<float>(dim));
    for (auto& v : vectors) {
      for (float& x : v) x = uni(rng);
    }
    std::vector<float> query(dim);
    for (float& x : query) x = uni(rng);
    // The norm as the walk computes it, so that both sides see the same value.
    const float qn = simd::kernels().norm_sq_f32(query.data(), query.size());
    for (DistanceMetric metric : {kCos, kL2, kDot}) {
      for (bool raw : {false, true}) {
        HnswConfig cfg;
        cfg.distance_metric = metric;
        cfg.store_raw_vectors = raw;
        HnswIndex index(cfg, dim);
        for (uint32_t i = 0; i < vectors.size(); ++i) {
          index.insert(i, vectors[i], QuantizedVector::quantize(vectors[i]));
        }
        const QueryDistance qd(index, query.data(), nullptr);
        for (uint32_t i = 0; i < vectors.size(); ++i) {
          const float got = compute_distance(index, query, dim, i, nullptr, qn);
          if (raw) {
            EXPECT_EQ(got, distance_exact(metric, query, vectors[i]));
          } else {
            const QuantizedRef ref{
                std::span<const uint8_t>(index.vector_data()).subspan(dim * i, dim),
                index.vector_min(i), index.vector_scale(i)};
            EXPECT_EQ(got, distance_asym_prenorm(metric, query, ref, qn));
          }
          // QueryDistance, which the graph walk uses with cached norms, agrees exactly.
          EXPECT_EQ(qd.walk(i), got) << "dim " << dim;
          EXPECT_EQ(qd.precise(i), got) << "dim " << dim;
        }

        // With a PQ table the distance is the sum of the node's table entries.
        std::vector<float> flat;
        for (const auto& v : vectors) flat.insert(flat.end(), v.begin(), v.end());
        const size_t subspaces = dim == 4 ? 2 : 1;
        auto book = PqCodebook::train(flat, dim, subspaces);
        ASSERT_TRUE(book.has_value());
        auto codes = book->encode_batch(flat, dim);
        ASSERT_TRUE(codes.has_value());
        index.set_product_quantization(*book, *codes);
        const DistanceTable table = book->build_distance_table(query, metric);
        for (uint32_t i = 0; i < vectors.size(); ++i) {
          float want = 0.0f;
          for (size_t sub = 0; sub < subspaces; ++sub) {
            want += table.values[sub * 256 + index.pq_codes()[subspaces * i + sub]];
          }
          EXPECT_EQ(compute_distance(index, query, dim, i, &table, qn), want);
        }
        DistanceTable empty;
        EXPECT_EQ(compute_distance(index, query, dim, 0, &empty, qn), 0.0f);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, DistanceTest,
                         ::testing::Values(SimdLevel::Scalar, SimdLevel::Sse2, SimdLevel::Avx2,
                                           SimdLevel::Avx512, SimdLevel::Neon),
                         [](const ::testing::TestParamInfo<SimdLevel>& info) {
                           return std::to_string(static_cast<int>(info.param));
                         });

}  // namespace
}  // namespace tarnwell_core
