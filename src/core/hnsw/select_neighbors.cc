// Neighbour selection. The full-precision vector of each considered candidate is built once per
// call, directly in the slot it keeps if selected, so a selection reconstructs every candidate
// at most once and copies nothing.
#include "core/hnsw/select_neighbors.h"

#include <algorithm>
#include <cmath>

#include "core/hnsw/distance.h"
#include "core/hnsw/search.h"

namespace tarnwell_core {
namespace {

struct SelectScratch {
  std::vector<uint64_t> keys;
  std::vector<ScoredNode> sorted;
  std::vector<float> vectors;  // reconstructions, one slot per selected neighbour (+ one)
  std::vector<const float*> selected_vectors;
  std::vector<float> selected_roots;  // cosine: the square root of each selected vector's norm
  std::vector<uint32_t> taken_ids;    // ids in the result so far, for the fill-up
};

// Distances between the candidate and the selected vectors. For cosine, each vector's root
// norm is computed once per call instead of once per pair, which leaves one dot product per
// pair; the result is the exact cosine formula (roots in f32, their product as denominator).
class PairDistance {
 public:
  PairDistance(const simd::KernelTable& k, DistanceMetric metric, size_t dim)
      : k_(k), metric_(metric), dim_(dim) {}

  float root_norm(const float* v) const {
    return metric_ == DistanceMetric::Cosine ? std::sqrt(k_.norm_sq_f32(v, dim_)) : 0.0f;
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

 private:
  const simd::KernelTable& k_;
  DistanceMetric metric_;
  size_t dim_;
};

thread_local SelectScratch SELECT_SCRATCH;

}  // namespace

void select_neighbors_heuristic_into(const HnswIndex& index, std::span<const ScoredNode> candidates,
                                     size_t cap, std::vector<ScoredNode>& out) {
  using search_detail::pack;
  out.clear();
  if (cap == 0 || candidates.empty()) return;
  SelectScratch& s = SELECT_SCRATCH;
  // Sorted through integer keys (distance order above the candidate's position), which is
  // much cheaper than comparing floats under the total order; the beam's results arrive
  // sorted already.
  s.keys.clear();
  for (size_t i = 0; i < candidates.size(); ++i) {
    s.keys.push_back(pack(candidates[i].distance, static_cast<uint32_t>(i)));
  }
  if (!std::is_sorted(s.keys.begin(), s.keys.end())) std::sort(s.keys.begin(), s.keys.end());
  s.sorted.clear();
  for (uint64_t key : s.keys) s.sorted.push_back(candidates[static_cast<uint32_t>(key)]);

  const size_t dim = index.dimension;
  const PairDistance pair(simd::kernels(), index.config.distance_metric, dim);
  const float* raw = index.has_raw_vectors() ? index.raw_vectors.data() : nullptr;
  const size_t slots = std::min(cap, s.sorted.size());
  if (raw == nullptr && s.vectors.size() < slots * dim) s.vectors.resize(slots * dim);
  // Plain arrays sized up front: the kernel calls are opaque, so vector members would be
  // reloaded from thread-local storage after every one of them.
  if (s.selected_vectors.size() < slots) {
    s.selected_vectors.resize(slots);
    s.selected_roots.resize(slots);
    s.taken_ids.resize(slots);
  }
  const float** sel_vectors = s.selected_vectors.data();
  float* sel_roots = s.selected_roots.data();
  uint32_t* taken = s.taken_ids.data();
  float* slot_base = s.vectors.data();
  size_t selected = 0;

  for (const ScoredNode& c : s.sorted) {
    if (selected >= cap) break;
    const float* vc;
    if (raw != nullptr) {
      vc = raw + static_cast<size_t>(c.id) * dim;
    } else {
      float* slot = slot_base + selected * dim;
      index.reconstruct_into(c.id, slot);
      vc = slot;
    }
    const float root_c = pair.root_norm(vc);
    bool diverse = true;
    for (size_t i = 0; i < selected; ++i) {
      if (pair(vc, root_c, sel_vectors[i], sel_roots[i]) < c.distance) {
        diverse = false;
        break;
      }
    }
    if (diverse) {
      out.push_back(c);
      sel_vectors[selected] = vc;
      sel_roots[selected] = root_c;
      taken[selected] = c.id;
      ++selected;
    }
  }
  if (selected >= cap) return;

  // Fill up with the nearest candidates not yet taken (by id: a list read from a file may
  // name a node twice). The scan has no early exit, so it compiles to vector compares.
  size_t taken_count = selected;
  for (const ScoredNode& c : s.sorted) {
    if (taken_count >= cap) break;
    bool seen = false;
    for (size_t i = 0; i < taken_count; ++i) seen |= taken[i] == c.id;
    if (seen) continue;
    taken[taken_count++] = c.id;
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
