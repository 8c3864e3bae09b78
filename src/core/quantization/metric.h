// The distance metric of an index. Persisted in snapshots as its u32 variant index, so the
// values are fixed forever. Lives with the quantizers because they build per-metric tables and
// must not depend on the graph.
#pragma once

#include <cstdint>

namespace tarnwell_core {

enum class DistanceMetric : uint32_t { Cosine = 0, Euclidean = 1, DotProduct = 2 };

}  // namespace tarnwell_core
