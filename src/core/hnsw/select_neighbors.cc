// Neighbour selection. The full-precision vector of each considered candidate is built once per
// call, directly in the slot it keeps if selected, so a selection reconstructs every candidate
// at most once and copies nothing.
#include "core/hnsw/select_neighbors.h"

#include <algorithm>

#include "core/hnsw/distance.h"
#include "core/hnsw/search.h"

namespace tarnwell_core {
namespace {

struct SelectScratch {
  std::vector<ScoredNode> sorted;
  std::vector<float> vectors;  // reconstructions, one slot per selected neighbour (+ one)
  std::vector<const float*> selected_vectors;
  std::vector<uint32_t> taken_ids;  // sorted, for the fill-up's membership test
};

thread_local SelectScratch SELECT_SCRATCH;

}  // namespace

void select_neighbors_heuristic_into(const HnswIndex& index, std::span<const ScoredNode> candidates,
                                     size_t cap, std::vector<ScoredNode>& out) {
  using search_detail::pack;
  out.clear();
  if (cap == 0 || candidates.empty()) return;
  SelectScratch& s = SELECT_SCRATCH;
  s.sorted.assign(candidates.begin(), candidates.end());
  std::sort(s.sorted.begin(), s.sorted.end(), [](const ScoredNode& a, const ScoredNode& b) {
    return pack(a.distance, a.id) < pack(b.distance, b.id);
  });

  const simd::KernelTable& k = simd::kernels();
  const DistanceMetric metric = index.config.distance_metric;
  const size_t dim = index.dimension;
  const float* raw = index.has_raw_vectors() ? index.raw_vectors.data() : nullptr;
  const size_t slots = std::min(cap, s.sorted.size());
  if (raw == nullptr) s.vectors.resize(slots * dim);
  s.selected_vectors.clear();

  for (const ScoredNode& c : s.sorted) {
    if (out.size() >= cap) break;
    const float* vc;
    if (raw != nullptr) {
      vc = raw + static_cast<size_t>(c.id) * dim;
    } else {
      float* slot = s.vectors.data() + out.size() * dim;
      index.reconstruct_into(c.id, slot);
      vc = slot;
    }
    bool diverse = true;
    for (const float* vs : s.selected_vectors) {
      if (distance_detail::exact(k, metric, vc, vs, dim) < c.distance) {
        diverse = false;
        break;
      }
    }
    if (diverse) {
      out.push_back(c);
      s.selected_vectors.push_back(vc);
    }
  }
  if (out.size() >= cap) return;

  s.taken_ids.clear();
  for (const ScoredNode& c : out) s.taken_ids.push_back(c.id);
  std::sort(s.taken_ids.begin(), s.taken_ids.end());
  for (const ScoredNode& c : s.sorted) {
    if (out.size() >= cap) break;
    const auto at = std::lower_bound(s.taken_ids.begin(), s.taken_ids.end(), c.id);
    if (at != s.taken_ids.end() && *at == c.id) continue;
    s.taken_ids.insert(at, c.id);
    out.push_back(c);
  }
}

std::vector<ScoredNode> select_neighbors_heuristic(const HnswIndex& index,
                                                   std::span<const ScoredNode> candidates,
                                                   size_t cap) {
  std::vector<ScoredNode> out;
  select_neighbors_heuristic_into(index, candidates, cap, out);
  return out;
}

}  // namespace tarnwell_core
