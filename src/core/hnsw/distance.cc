// The three distance operations in their general (span) form. The graph walk uses the same
// formulas through QueryDistance; these are for callers outside the walk and for tests.
#include "core/hnsw/distance.h"

namespace tarnwell_core {

float distance_exact(DistanceMetric metric, std::span<const float> a, std::span<const float> b) {
  assert(b.size() >= a.size());
  return distance_detail::exact(simd::kernels(), metric, a.data(), b.data(), a.size());
}

float distance_asym_prenorm(DistanceMetric metric, std::span<const float> query,
                            const QuantizedRef& stored, float query_norm_sq) {
  assert(stored.codes.size() >= query.size());
  return distance_detail::asym(simd::kernels(), metric, query.data(), stored.codes.data(),
                               query.size(), stored.min, stored.scale, query_norm_sq);
}

float compute_distance(const HnswIndex& index, std::span<const float> query, size_t dimension,
                       uint32_t id, const DistanceTable* table, float query_norm_sq) {
  assert(id < index.node_count() && query.size() >= dimension);
  if (table != nullptr) {
    assert(index.pq_codebook().has_value());
    const size_t stride = index.pq_codebook()->num_subspaces;
    return distance_detail::pq_sum(table->values.data(), table->num_subspaces,
                                   index.pq_codes().data() + id * stride);
  }
  const size_t at = static_cast<size_t>(id) * dimension;
  if (index.has_raw_vectors()) {
    return distance_detail::exact(simd::kernels(), index.config().distance_metric, query.data(),
                                  index.raw_vectors().data() + at, dimension);
  }
  return distance_detail::asym(simd::kernels(), index.config().distance_metric, query.data(),
                               index.vector_data().data() + at, dimension, index.vector_min(id),
                               index.vector_scale(id), query_norm_sq);
}

}  // namespace tarnwell_core
