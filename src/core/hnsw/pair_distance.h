// What neighbour selection measures between two stored nodes: the exact distance of the index's
// metric on full-precision vectors (raw copies, else reconstructions), the test for two nodes
// being the same point, and each node's norm root, taken from the per-node metadata kept at
// insertion instead of being summed again (it is the same f32 value).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/hnsw/graph.h"
#include "core/quantization/metric.h"
#include "core/quantization/simd/kernels.h"

namespace tarnwell_core::select_detail {

// Cosine distances of parallel vectors come out of the f32 formula as 0 give or take a few
// units in the last place of 1.0.
inline constexpr float kCosineSamePoint = 4 * 1.1920929e-7f;

class PairDistance {
 public:
  explicit PairDistance(const HnswIndex& index)
      : index_(index),
        k_(simd::kernels()),
        metric_(index.config().distance_metric),
        dim_(index.dimension()),
        raw_(index.has_raw_vectors() ? index.raw_vectors().data() : nullptr) {}

  // The full-precision vector of node `id`: its raw copy, or its reconstruction in `slot`.
  const float* vector_of(uint32_t id, float* slot) const {
    if (raw_ != nullptr) return raw_ + static_cast<size_t>(id) * dim_;
    index_.reconstruct_into(id, slot);
    return slot;
  }

  // The f32 root of the squared norm of vector_of(id) (used by cosine only). The metadata
  // holds it in double precision; rounding a correctly rounded double root to f32 gives the
  // correctly rounded f32 root, so this equals sqrtf of the summed norm.
  float root_of(uint32_t id, const float* v) const {
    if (metric_ != DistanceMetric::Cosine) return 0.0f;
    if (raw_ != nullptr) {
      return id < index_.raw_root_count() ? index_.raw_roots()[id]
                                          : std::sqrt(k_.norm_sq_f32(v, dim_));
    }
    return static_cast<float>(index_.node_meta()[id].root_codes);
  }

  float operator()(const float* a, float root_a, const float* b, float root_b) const {
    switch (metric_) {
      case DistanceMetric::Euclidean:
        return k_.l2_f32(a, b, dim_);
      case DistanceMetric::DotProduct:
        return -k_.dot_f32(a, b, dim_);
      case DistanceMetric::Cosine:
        break;
    }
    const float denom = root_a * root_b;
    if (denom < 1e-10f) return 1.0f;
    return 1.0f - k_.dot_f32(a, b, dim_) / denom;
  }

  bool identical(const float* a, const float* b) const {
    return std::memcmp(a, b, dim_ * sizeof(float)) == 0;
  }

  // Whether a pair distance says "the same point": Euclidean 0, or a cosine distance within
  // the rounding of its formula (parallel vectors). Inner products tell nothing of the kind.
  bool same_point(float d) const {
    return (metric_ == DistanceMetric::Euclidean && d <= 0.0f) ||
           (metric_ == DistanceMetric::Cosine && d <= kCosineSamePoint);
  }

  bool has_raw() const { return raw_ != nullptr; }
  size_t dimension() const { return dim_; }

 private:
  const HnswIndex& index_;
  const simd::KernelTable& k_;
  DistanceMetric metric_;
  size_t dim_;
  const float* raw_;
};

// The outcome of testing one candidate against kept neighbours.
enum class Verdict : uint8_t { Diverse, Rejected, Copy };

}  // namespace tarnwell_core::select_detail
