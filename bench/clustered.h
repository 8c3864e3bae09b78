// Seeded clustered vectors for the C++ benchmarks: `centres` Gaussian centres (the same for every
// seed, so data and queries drawn with different seeds share them) plus noise of 0.4 per axis.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

inline std::vector<float> clustered(size_t n, size_t dim, size_t centres, uint32_t seed) {
  std::mt19937 rng(7);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> centre(centres * dim);
  for (float& c : centre) c = normal(rng);
  rng.seed(seed);
  std::vector<float> out(n * dim);
  for (size_t i = 0; i < n; ++i) {
    const size_t c = rng() % centres;
    for (size_t j = 0; j < dim; ++j) out[i * dim + j] = centre[c * dim + j] + 0.4f * normal(rng);
  }
  return out;
}
