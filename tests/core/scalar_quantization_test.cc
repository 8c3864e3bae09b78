// Scalar quantization: the documented examples, rounding of exact halves on every code path
// (16-wide, 4-wide, single), NaN handling and agreement with a plain reference on random input.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/quantization/scalar.h"

namespace tarnwell_core {
namespace {

// The definition, written the obvious way.
QuantizedVector reference_quantize(const std::vector<float>& v) {
  QuantizedVector q;
  if (v.empty()) return q;
  float lo = std::numeric_limits<float>::max(), hi = -lo;
  for (float x : v) {
    if (x < lo) lo = x;
    if (x > hi) hi = x;
  }
  q.min = lo;
  q.max = hi;
  if (!(hi - lo >= 1.1920929e-7f)) {
    q.data.assign(v.size(), 128);
    return q;
  }
  const float inv = 255.0f / (hi - lo);
  q.scale = (hi - lo) / 255.0f;
  for (float x : v) {
    const float r = std::round(inv * (x - lo));  // halves away from zero
    q.data.push_back(!(r > 0.0f) ? 0 : r > 255.0f ? 255 : static_cast<uint8_t>(r));
  }
  return q;
}

TEST(ScalarQuantization, DocumentedExamples) {
  struct Case {
    std::vector<float> in;
    std::vector<uint8_t> codes;
    float min, scale;
  };
  const Case cases[] = {
      {{0.0f, 1.0f}, {0, 255}, 0.0f, 1.0f / 255.0f},
      {{0.0f, 0.5f, 1.0f}, {0, 128, 255}, 0.0f, 1.0f / 255.0f},  // 127.5 rounds up
      {{2.5f, 2.5f, 2.5f}, {128, 128, 128}, 2.5f, 0.0f},
      {{0.0f, 1e-8f}, {128, 128}, 0.0f, 0.0f},  // closer than machine epsilon: constant
      {{}, {}, 0.0f, 0.0f},
  };
  for (const Case& c : cases) {
    const QuantizedVector q = QuantizedVector::quantize(c.in);
    EXPECT_EQ(q.data, c.codes);
    EXPECT_EQ(q.min, c.min);
    EXPECT_EQ(q.scale, c.scale);
  }
  // A constant vector reconstructs exactly.
  const QuantizedVector q = QuantizedVector::quantize(std::vector<float>{2.5f, 2.5f, 2.5f});
  for (uint8_t code : q.data) EXPECT_EQ(q.min + q.scale * code, 2.5f);
}

TEST(ScalarQuantization, NanNeverBecomesABound) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> v(37, 0.5f);
  v[0] = 0.0f;
  v[1] = 1.0f;
  v[5] = nan;    // 16-wide path
  v[33] = nan;   // 4-wide path
  v[36] = nan;   // single path
  const QuantizedVector q = QuantizedVector::quantize(v);
  EXPECT_EQ(q.min, 0.0f);
  EXPECT_EQ(q.max, 1.0f);
  EXPECT_EQ(q.data[5], 0);
  EXPECT_EQ(q.data[33], 0);
  EXPECT_EQ(q.data[36], 0);

  const QuantizedVector all_nan = QuantizedVector::quantize(std::vector<float>(5, nan));
  EXPECT_EQ(all_nan.scale, 0.0f);
  EXPECT_EQ(all_nan.data, std::vector<uint8_t>(5, 128));
  EXPECT_EQ(all_nan.min, std::numeric_limits<float>::max());
}

// With min 0 and max 255 the code is round(x) itself; exact halves and their neighbours land on
// every lane of every code path.
TEST(ScalarQuantization, HalvesRoundAwayFromZeroOnEveryPath) {
  for (size_t n = 3; n <= 41; ++n) {
    for (int base = 0; base < 255; base += 7) {
      std::vector<float> v(n);
      v[0] = 0.0f;
      v[1] = 255.0f;
      for (size_t j = 2; j < n; ++j) {
        const float half = static_cast<float>(base + static_cast<int>(j % 3)) + 0.5f;
        switch (j % 3) {
          case 0: v[j] = half; break;
          case 1: v[j] = std::nextafter(half, 0.0f); break;
          default: v[j] = std::nextafter(half, 1000.0f); break;
        }
        if (v[j] > 255.0f) v[j] = 255.0f;
      }
      const QuantizedVector q = QuantizedVector::quantize(v);
      ASSERT_EQ(q.data, reference_quantize(v).data) << "n=" << n << " base=" << base;
    }
  }
  // The classic trap: 0.49999997 + 0.5 rounds to 1.0 in float, yet the code must be 0.
  std::vector<float> v(20, 0.0f);
  v[1] = 255.0f;
  v[2] = 0.49999997f;
  v[19] = 0.49999997f;
  const QuantizedVector q = QuantizedVector::quantize(v);
  EXPECT_EQ(q.data[2], 0);
  EXPECT_EQ(q.data[19], 0);
}

TEST(ScalarQuantization, MatchesReferenceOnRandomVectors) {
  std::mt19937 rng(7);
  std::normal_distribution<float> normal(0.0f, 3.0f);
  for (size_t n = 1; n <= 300; ++n) {
    std::vector<float> v(n);
    for (float& x : v) x = normal(rng);
    const QuantizedVector q = QuantizedVector::quantize(v);
    const QuantizedVector r = reference_quantize(v);
    ASSERT_EQ(q.data, r.data) << "n=" << n;
    ASSERT_EQ(q.min, r.min);
    ASSERT_EQ(q.max, r.max);
    ASSERT_EQ(q.scale, r.scale);
    // Reconstruction error is at most half a step (plus float noise).
    for (size_t j = 0; j < n; ++j) {
      ASSERT_LE(std::fabs(q.min + q.scale * q.data[j] - v[j]), q.scale * 0.5001f + 1e-6f);
    }
  }
}

TEST(ScalarQuantization, InfiniteComponentsStayDefined) {
  const float inf = std::numeric_limits<float>::infinity();
  const QuantizedVector q = QuantizedVector::quantize(std::vector<float>{0.0f, inf, 1.0f, -inf});
  EXPECT_EQ(q.min, -inf);
  EXPECT_EQ(q.max, inf);
  EXPECT_EQ(q.data.size(), 4u);  // codes are whatever the clamp gives; nothing undefined
}

}  // namespace
}  // namespace tarnwell_core
