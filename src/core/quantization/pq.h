// Product quantization: a codebook of 256 centroids per subspace trained by k-means, one-byte
// codes per subspace, and per-query distance tables that turn a node distance into S look-ups.
// Training and batch encoding report violated preconditions as errors, never abort: their
// input may come from a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/quantization/metric.h"
#include "core/util/status.h"

namespace tarnwell_core {

inline constexpr uint64_t PQ_NUM_CENTROIDS = 256;

// Per-query table: entry s * 256 + c is the contribution of centroid c of subspace s.
struct DistanceTable {
  std::vector<float> values;
  size_t num_subspaces = 0;
};

struct PqCodebook {
  uint64_t num_subspaces = 0;
  uint64_t num_centroids = PQ_NUM_CENTROIDS;
  uint64_t subspace_dim = 0;
  // Centroid c of subspace s occupies [(s * 256 + c) * subspace_dim, ... + subspace_dim).
  std::vector<float> centroids;

  // Trains on the first floor(vectors.size() / dimension) vectors laid end to end. Centroids
  // beyond the number of training vectors stay zero. Not reproducible across processes.
  static Result<PqCodebook> train(std::span<const float> vectors, size_t dimension,
                                  size_t num_subspaces);

  // True when the centroid table has the shape its counts announce (256 centroids each).
  bool well_formed() const;

  // One byte per subspace: the nearest centroid, lowest index on ties. `vector` must hold at
  // least num_subspaces * subspace_dim components and the codebook must be well formed.
  std::vector<uint8_t> encode(std::span<const float> vector) const;

  // The codes of the first floor(vectors.size() / dimension) vectors, concatenated. Fails when
  // dimension is 0, differs from num_subspaces * subspace_dim, or the codebook is malformed.
  Result<std::vector<uint8_t>> encode_batch(std::span<const float> vectors, size_t dimension) const;

  // `query` must hold at least num_subspaces * subspace_dim components. Cosine and dot product
  // both use the negated inner product with the (unnormalised) centroids.
  DistanceTable build_distance_table(std::span<const float> query, DistanceMetric metric) const;

  bool operator==(const PqCodebook&) const = default;
};

}  // namespace tarnwell_core
