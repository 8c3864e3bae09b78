// The three distance operations every comparison in the index goes through (smaller is closer
// for every metric), and QueryDistance, which binds one query to an index once so that the
// graph walk pays one switch and one kernel call per node. Special cases (tiny norms) are
// decided here, the sums by the kernels of quantization/simd.
#pragma once

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/hnsw/graph.h"
#include "core/quantization/metric.h"
#include "core/quantization/pq.h"
#include "core/quantization/simd/kernels.h"
#include "core/util/prefetch.h"

namespace tarnwell_core {

// A borrowed view of one stored node: component j is min + scale * codes[j].
struct QuantizedRef {
  std::span<const uint8_t> codes;
  float min;
  float scale;
};

namespace distance_detail {

inline float finish_exact_cosine(const simd::CosineSums& s) {
  const float denom = std::sqrt(s.norm_a) * std::sqrt(s.norm_b);
  if (denom < 1e-10f) return 1.0f;
  return 1.0f - s.dot / denom;
}

// The caller has already answered 1.0 for a tiny query norm. A constant stored vector (scale 0)
// is its value in every component and is scored like any other vector.
inline float finish_asym_cosine(const simd::AsymCosineSums& s, float query_norm_sq) {
  const double denom =
      std::sqrt(static_cast<double>(query_norm_sq)) * std::sqrt(static_cast<double>(s.norm_v));
  if (denom < 1e-10) return 1.0f;
  return 1.0f - static_cast<float>(static_cast<double>(s.dot) / denom);
}

inline float exact(const simd::KernelTable& k, DistanceMetric metric, const float* a,
                   const float* b, size_t n) {
  switch (metric) {
    case DistanceMetric::Euclidean:
      return k.l2_f32(a, b, n);
    case DistanceMetric::DotProduct:
      return -k.dot_f32(a, b, n);
    case DistanceMetric::Cosine:
      break;
  }
  return finish_exact_cosine(k.cosine_f32(a, b, n));
}

inline float asym(const simd::KernelTable& k, DistanceMetric metric, const float* q,
                  const uint8_t* codes, size_t n, float min, float scale, float query_norm_sq) {
  switch (metric) {
    case DistanceMetric::Euclidean:
      return k.l2_u8(q, codes, n, min, scale);
    case DistanceMetric::DotProduct:
      return -k.dot_u8(q, codes, n, min, scale);
    case DistanceMetric::Cosine:
      break;
  }
  if (query_norm_sq < 1e-10f) return 1.0f;
  return finish_asym_cosine(k.cosine_u8(q, codes, n, min, scale), query_norm_sq);
}

inline float pq_sum(const float* table, size_t num_subspaces, const uint8_t* codes) {
  float s = 0.0f;
  for (size_t i = 0; i < num_subspaces; ++i) s += table[i * PQ_NUM_CENTROIDS + codes[i]];
  return s;
}

}  // namespace distance_detail

// Distance between two full-precision vectors over a.size() components; b must be as long.
float distance_exact(DistanceMetric metric, std::span<const float> a, std::span<const float> b);

// Distance from a full-precision query to a quantized stored vector. query_norm_sq must be the
// query's squared norm; the codes must cover the query.
float distance_asym_prenorm(DistanceMetric metric, std::span<const float> query,
                            const QuantizedRef& stored, float query_norm_sq);

// Distance from the query to node `id`: the PQ table when one is given (the index must then
// hold a codebook), else the raw copy when the index stores one, else the scalar codes.
float compute_distance(const HnswIndex& index, std::span<const float> query, size_t dimension,
                       uint32_t id, const DistanceTable* table, float query_norm_sq);

// One query bound to one index. walk(id) is the distance the graph walk uses (the PQ table
// when one was given, else the most precise stored form); precise(id) never uses the table.
// The query and the table must outlive this object; the index must not change meanwhile.
class QueryDistance {
 public:
  QueryDistance(const HnswIndex& index, const float* query, const DistanceTable* table)
      : k_(simd::kernels()),
        metric_(index.config().distance_metric),
        query_(query),
        dim_(index.dimension()),
        codes_(index.vector_data().data()),
        meta_(index.node_meta()),
        raw_(index.has_raw_vectors() && index.raw_root_count() >= index.node_count()
                 ? index.raw_vectors().data()
                 : nullptr),
        raw_roots_(index.raw_roots()),
        table_(table != nullptr ? table->values.data() : nullptr),
        table_subspaces_(table != nullptr ? table->num_subspaces : 0),
        pq_codes_(index.pq_codes().data()),
        pq_stride_(index.pq_codebook() ? index.pq_codebook()->num_subspaces : 0),
        query_norm_sq_(k_.norm_sq_f32(query, index.dimension())),
        query_root_(std::sqrt(query_norm_sq_)),
        query_root_double_(std::sqrt(static_cast<double>(query_norm_sq_))) {
    assert(table == nullptr || index.pq_codebook().has_value());
  }

  float walk(uint32_t id) const {
    if (table_ != nullptr) {
      return distance_detail::pq_sum(table_, table_subspaces_, pq_codes_ + id * pq_stride_);
    }
    return precise(id);
  }

  // The formulas of distance_exact and distance_asym_prenorm, with the norms taken from the
  // query and node metadata instead of being summed again.
  float precise(uint32_t id) const {
    const size_t at = static_cast<size_t>(id) * dim_;
    if (raw_ != nullptr) {
      const float* v = raw_ + at;
      switch (metric_) {
        case DistanceMetric::Euclidean:
          return k_.l2_f32(query_, v, dim_);
        case DistanceMetric::DotProduct:
          return -k_.dot_f32(query_, v, dim_);
        case DistanceMetric::Cosine:
          break;
      }
      const float denom = query_root_ * raw_roots_[id];
      if (denom < 1e-10f) return 1.0f;
      return 1.0f - k_.dot_f32(query_, v, dim_) / denom;
    }
    const HnswIndex::NodeMeta& m = meta_[id];
    const uint8_t* codes = codes_ + at;
    switch (metric_) {
      case DistanceMetric::Euclidean:
        return k_.l2_u8(query_, codes, dim_, m.min, m.scale);
      case DistanceMetric::DotProduct:
        return -k_.dot_u8(query_, codes, dim_, m.min, m.scale);
      case DistanceMetric::Cosine:
        break;
    }
    if (query_norm_sq_ < 1e-10f) return 1.0f;
    const double denom = query_root_double_ * m.root_codes;
    if (denom < 1e-10) return 1.0f;
    const float dot = k_.dot_u8(query_, codes, dim_, m.min, m.scale);
    return 1.0f - static_cast<float>(static_cast<double>(dot) / denom);
  }

  // Starts loading what walk(id) will read.
  void prefetch(uint32_t id) const {
    if (table_ != nullptr) {
      prefetch_read(reinterpret_cast<const char*>(pq_codes_ + id * pq_stride_));
      return;
    }
    const size_t at = static_cast<size_t>(id) * dim_;
    const char* p = raw_ != nullptr ? reinterpret_cast<const char*>(raw_ + at)
                                    : reinterpret_cast<const char*>(codes_ + at);
    const size_t bytes = raw_ != nullptr ? dim_ * sizeof(float) : dim_;
    // Every line of a row of codes (rows are not line-aligned, so one more); of a longer raw
    // row the first lines, after which the hardware prefetcher has taken over.
    const size_t lines = std::min<size_t>((bytes + 63) / 64 + 1, 8);
    for (size_t i = 0; i < lines; ++i) prefetch_read(p + 64 * i);
    prefetch_read(raw_ != nullptr ? reinterpret_cast<const char*>(raw_roots_ + id)
                                  : reinterpret_cast<const char*>(meta_ + id));
  }

  // Starts loading the per-node metadata walk(id) reads besides the codes: one line serves
  // four nodes, so a whole neighbour list's worth can be requested at once, well ahead.
  void prefetch_meta(uint32_t id) const {
    if (table_ == nullptr && raw_ == nullptr) {
      prefetch_read(reinterpret_cast<const char*>(meta_ + id));
    }
  }

  bool uses_table() const { return table_ != nullptr; }
  float query_norm_sq() const { return query_norm_sq_; }

 private:
  const simd::KernelTable& k_;
  DistanceMetric metric_;
  const float* query_;
  size_t dim_;
  const uint8_t* codes_;
  const HnswIndex::NodeMeta* meta_;
  const float* raw_;  // null unless every node has a raw copy
  const float* raw_roots_;
  const float* table_;
  size_t table_subspaces_;
  const uint8_t* pq_codes_;
  size_t pq_stride_;
  float query_norm_sq_;
  float query_root_;
  double query_root_double_;
};

}  // namespace tarnwell_core
