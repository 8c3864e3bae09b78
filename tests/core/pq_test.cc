// Product quantization: preconditions come back as errors with their texts, small training
// sets become the centroids verbatim, k-means on clustered data finds the clusters, encoding
// picks the nearest (lowest on ties) centroid, and distance tables follow the metric.
#include "core/quantization/pq.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace tarnwell_core {
namespace {

TEST(ProductQuantization, PreconditionsAreErrors) {
  const std::vector<float> ten(10, 1.0f);
  struct Case {
    std::span<const float> vectors;
    size_t dimension, subspaces;
    std::string message;
  };
  const Case cases[] = {
      {ten, 10, 3, "dimension must be divisible by num_subspaces"},
      {std::span<const float>(ten).first(7), 8, 2, "need at least one vector to train PQ"},
      {{}, 4, 2, "need at least one vector to train PQ"},
      {ten, 10, 0, "num_subspaces must be at least 1"},
      {ten, 0, 2, "dimension must be at least 1"},
  };
  for (const Case& c : cases) {
    const Result<PqCodebook> r = PqCodebook::train(c.vectors, c.dimension, c.subspaces);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().code(), StatusCode::kInvalidArgument);
    EXPECT_EQ(r.error().message(), c.message);
  }
}

TEST(ProductQuantization, FewVectorsBecomeTheCentroids) {
  std::vector<float> v(10 * 8);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i) * 0.25f + 1.0f;
  v.push_back(99.0f);  // a trailing partial vector is ignored
  const Result<PqCodebook> book = PqCodebook::train(v, 8, 2);
  ASSERT_TRUE(book.has_value());
  EXPECT_EQ(book->num_subspaces, 2u);
  EXPECT_EQ(book->num_centroids, 256u);
  EXPECT_EQ(book->subspace_dim, 4u);
  ASSERT_EQ(book->centroids.size(), 2u * 256 * 4);
  EXPECT_TRUE(book->well_formed());
  for (size_t s = 0; s < 2; ++s) {
    for (size_t c = 0; c < 256; ++c) {
      for (size_t j = 0; j < 4; ++j) {
        const float got = book->centroids[(s * 256 + c) * 4 + j];
        EXPECT_EQ(got, c < 10 ? v[c * 8 + s * 4 + j] : 0.0f) << s << " " << c << " " << j;
      }
    }
  }
  // A vector equal to a training vector encodes to that vector's index in every subspace.
  for (size_t i = 0; i < 10; ++i) {
    const std::vector<uint8_t> code = book->encode(std::span<const float>(v).subspan(i * 8, 8));
    EXPECT_EQ(code, (std::vector<uint8_t>{static_cast<uint8_t>(i), static_cast<uint8_t>(i)}));
  }
}

TEST(ProductQuantization, TiesGoToTheLowestIndex) {
  // Vectors 0 and 2 are equal: encoding either yields 0. The zero centroids (3..255) tie with
  // each other for the zero vector; the first of them wins unless a real centroid is zero.
  const std::vector<float> v = {1, 2, 5, 5, 1, 2};
  const Result<PqCodebook> book = PqCodebook::train(v, 2, 1);
  ASSERT_TRUE(book.has_value());
  EXPECT_EQ(book->encode(std::vector<float>{1, 2})[0], 0);
  EXPECT_EQ(book->encode(std::vector<float>{0, 0})[0], 3);
  EXPECT_EQ(book->encode(std::vector<float>{4.9f, 5.2f})[0], 1);
  // A NaN component makes every distance NaN: nothing beats the first centroid.
  EXPECT_EQ(book->encode(std::vector<float>{std::nanf(""), 5.0f})[0], 0);
  // Ties on the last centroids (outside the vector blocks) still go to the lowest index.
  std::vector<float> many;
  for (int i = 0; i < 255; ++i) many.insert(many.end(), {100.0f + i, 0.0f});
  many.insert(many.end(), {7.0f, 7.0f});  // centroid 255
  const Result<PqCodebook> full = PqCodebook::train(many, 2, 1);
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(full->encode(std::vector<float>{7.0f, 7.0f})[0], 255);
  EXPECT_EQ(full->encode(std::vector<float>{99.9f, 0.0f})[0], 0);
  EXPECT_EQ(full->encode(std::vector<float>{101.0f, 0.0f})[0], 1);
}

TEST(ProductQuantization, KMeansFindsClusters) {
  // 300 points (> 256, so k-means runs) around 3 well-separated centres per subspace.
  std::mt19937 rng(5);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  const float centres[3][2] = {{0, 0}, {10, 0}, {0, 10}};
  std::vector<float> v;
  std::vector<int> label;
  for (int i = 0; i < 300; ++i) {
    const int c = i % 3;
    label.push_back(c);
    for (int s = 0; s < 2; ++s) {
      v.push_back(centres[c][0] + noise(rng));
      v.push_back(centres[c][1] + noise(rng));
    }
  }
  const Result<PqCodebook> book = PqCodebook::train(v, 4, 2);
  ASSERT_TRUE(book.has_value());
  // Every point's centroid lies within its own cluster.
  const Result<std::vector<uint8_t>> codes = book->encode_batch(v, 4);
  ASSERT_TRUE(codes.has_value());
  ASSERT_EQ(codes->size(), 600u);
  for (size_t i = 0; i < 300; ++i) {
    for (size_t s = 0; s < 2; ++s) {
      const float* c = &book->centroids[(s * 256 + (*codes)[i * 2 + s]) * 2];
      EXPECT_NEAR(c[0], centres[label[i]][0], 0.1f);
      EXPECT_NEAR(c[1], centres[label[i]][1], 0.1f);
    }
  }
  // encode_batch is encode applied vector by vector.
  for (size_t i = 0; i < 300; i += 37) {
    const std::vector<uint8_t> one = book->encode(std::span<const float>(v).subspan(i * 4, 4));
    EXPECT_EQ(one[0], (*codes)[i * 2]);
    EXPECT_EQ(one[1], (*codes)[i * 2 + 1]);
  }
}

TEST(ProductQuantization, EncodeBatchRefusesBadShapes) {
  const Result<PqCodebook> book = PqCodebook::train(std::vector<float>{1, 2, 3, 4}, 4, 2);
  ASSERT_TRUE(book.has_value());
  EXPECT_FALSE(book->encode_batch(std::vector<float>{1, 2, 3, 4}, 0).has_value());
  EXPECT_FALSE(book->encode_batch(std::vector<float>{1, 2, 3, 4, 5, 6}, 6).has_value());
  PqCodebook broken = *book;
  broken.centroids.pop_back();
  EXPECT_FALSE(broken.well_formed());
  EXPECT_FALSE(broken.encode_batch(std::vector<float>{1, 2, 3, 4}, 4).has_value());
  broken = *book;
  broken.num_centroids = 16;
  EXPECT_FALSE(broken.well_formed());
  // Fewer values than one vector: no codes, no error.
  const Result<std::vector<uint8_t>> none = book->encode_batch(std::vector<float>{1, 2}, 4);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
}

TEST(ProductQuantization, DistanceTablesFollowTheMetric) {
  const std::vector<float> v = {1, 2, 3, 4, -1, 0.5f, 2, 2};
  const Result<PqCodebook> book = PqCodebook::train(v, 4, 2);
  ASSERT_TRUE(book.has_value());
  const std::vector<float> q = {1, 2, 0, 1};
  const DistanceTable l2 = book->build_distance_table(q, DistanceMetric::Euclidean);
  const DistanceTable dot = book->build_distance_table(q, DistanceMetric::DotProduct);
  const DistanceTable cos = book->build_distance_table(q, DistanceMetric::Cosine);
  ASSERT_EQ(l2.num_subspaces, 2u);
  ASSERT_EQ(l2.values.size(), 512u);
  EXPECT_EQ(l2.values[0 * 256 + 0], 0.0f);  // q's first half equals centroid 0
  EXPECT_EQ(l2.values[1 * 256 + 0], 9.0f + 9.0f);
  EXPECT_EQ(dot.values[1 * 256 + 1], -(0.0f * 2 + 1.0f * 2));
  EXPECT_EQ(cos.values, dot.values);                 // unnormalised inner product for both
  EXPECT_EQ(l2.values[0 * 256 + 200], 1.0f + 4.0f);  // zero centroid
}

}  // namespace
}  // namespace tarnwell_core
