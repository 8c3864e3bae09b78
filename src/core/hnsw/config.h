// The tuning of one HNSW index. Persisted field by field in this order; nothing is validated
// here (the collection refuses degenerate values before an index is built).
#pragma once

#include <cstdint>

#include "core/quantization/metric.h"

namespace tarnwell_core {

struct HnswConfig {
  uint64_t m = 16;                 // neighbour cap above layer 0; base of the level distribution
  uint64_t m_max0 = 32;            // neighbour cap on layer 0
  uint64_t ef_construction = 200;  // beam width while inserting
  uint64_t ef_search = 50;         // minimum beam width while searching
  uint64_t max_layers = 16;        // the highest level drawn is max_layers - 1
  DistanceMetric distance_metric = DistanceMetric::Cosine;
  uint64_t pq_subspaces = 0;  // 0: product quantization off
  bool store_raw_vectors = false;

  bool operator==(const HnswConfig&) const = default;
};

}  // namespace tarnwell_core
