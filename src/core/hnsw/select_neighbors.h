// The neighbour-selection heuristic of insertion and pruning: keep a candidate only if it is
// closer to the target than to every neighbour already kept (diversity), then fill up with the
// nearest rejected ones, so the result is never shorter than min(cap, candidates).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/hnsw/graph.h"

namespace tarnwell_core {

// `candidates` carry their distance to the target. Returns the selected pairs in selection
// order followed by the fill-up pairs in ascending distance. Diversity distances use the exact
// formula on full-precision vectors: the raw copies, else the reconstructed codes.
std::vector<ScoredNode> select_neighbors_heuristic(const HnswIndex& index,
                                                   std::span<const ScoredNode> candidates,
                                                   size_t cap);

// The same into `out`, reusing per-thread buffers (the insertion hot path).
void select_neighbors_heuristic_into(const HnswIndex& index, std::span<const ScoredNode> candidates,
                                     size_t cap, std::vector<ScoredNode>& out);

}  // namespace tarnwell_core
