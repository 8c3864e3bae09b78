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

// How a selection came out: `diverse` leading entries of the result were kept by the
// diversity rule (the rest are fill-up); `in_selection_order` is false when identical vectors
// set aside as copies made it into the result, after which the result is not what selecting
// from it alone would give.
struct SelectionShape {
  size_t diverse = 0;
  bool in_selection_order = true;
};

// The same into `out`, reusing per-thread buffers (the insertion hot path); `shape`, when
// given, receives how the result came out.
void select_neighbors_heuristic_into(const HnswIndex& index, std::span<const ScoredNode> candidates,
                                     size_t cap, std::vector<ScoredNode>& out,
                                     SelectionShape* shape = nullptr);

// Pruning a full list by one more candidate, when the list is known to be a selection's own
// result: `list` holds its entries in list order with their distances to the target, the first
// `diverse` kept by the diversity rule and each part ascending. Writes exactly what
// select_neighbors_heuristic_into(list + extra, cap) writes, but only measures the pairs that
// the newcomer can change: entries before it keep their verdicts, entries after it are checked
// against it (and against entries whose verdicts it changed). Returns false, writing nothing,
// when it cannot vouch for that (equal distances, copies, a list not in that shape); the caller
// then runs the full selection.
bool reselect_with_candidate(const HnswIndex& index, std::span<const ScoredNode> list,
                             size_t diverse, const ScoredNode& extra, size_t cap,
                             std::vector<ScoredNode>& out, SelectionShape* shape);

// Test hook: when false, pruning always runs the full selection (to compare graphs).
void set_incremental_pruning_for_testing(bool enabled);
bool incremental_pruning_enabled();

}  // namespace tarnwell_core
