// Neighbour selection. The full-precision vector of each considered candidate is built once per
// call, directly in the slot it keeps if selected, so a selection reconstructs every candidate
// at most once and copies nothing.
//
// Identical vectors (duplicates a user inserted several times) get one refinement. The
// diversity rule never rejects a copy of a kept neighbour (its distance to it, 0, is not below
// its distance to the target), so the fill-up would hand whole lists to a group of copies, in
// the same order every time: later copies, and every node inserted afterwards near them, would
// find no list that keeps them and become unreachable. So a candidate identical to a kept
// neighbour (for cosine and Euclidean: at distance 0 from it, which includes parallel vectors
// under cosine) is set aside and used only after every other candidate, in random order among
// equals. Without identical vectors the selection is unchanged.
#include "core/hnsw/select_neighbors.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

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
  std::vector<uint8_t> set_aside;     // per sorted candidate: identical to a kept neighbour
  std::vector<ScoredNode> copies;     // the set-aside candidates, for the last fill-up
  std::minstd_rand shuffle_rng{0x7a3c9e1u};
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

// Cosine distances of parallel vectors come out of the f32 formula as 0 give or take a few
// units in the last place of 1.0.
constexpr float kCosineSamePoint = 4 * 1.1920929e-7f;

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
  const DistanceMetric metric = index.config.distance_metric;
  const PairDistance pair(simd::kernels(), metric, dim);
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
  s.set_aside.assign(s.sorted.size(), 0);
  bool any_set_aside = false;

  for (size_t ci = 0; ci < s.sorted.size(); ++ci) {
    const ScoredNode& c = s.sorted[ci];
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
    bool copy = false;
    for (size_t i = 0; i < selected; ++i) {
      copy = std::memcmp(vc, sel_vectors[i], dim * sizeof(float)) == 0;
      if (copy) break;
      const float d = pair(vc, root_c, sel_vectors[i], sel_roots[i]);
      // The same point for the metric: Euclidean distance 0, or a cosine distance within the
      // rounding of its formula (parallel vectors). Inner products tell nothing of the kind.
      if ((metric == DistanceMetric::Euclidean && d <= 0.0f) ||
          (metric == DistanceMetric::Cosine && d <= kCosineSamePoint)) {
        copy = true;
        break;
      }
      if (d < c.distance) {
        diverse = false;
        break;
      }
    }
    if (copy) {
      s.set_aside[ci] = 1;
      any_set_aside = true;
      continue;
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
  auto fill = [&](const ScoredNode& c) {
    bool seen = false;
    for (size_t i = 0; i < taken_count; ++i) seen |= taken[i] == c.id;
    if (seen) return;
    taken[taken_count++] = c.id;
    out.push_back(c);
  };
  for (size_t ci = 0; ci < s.sorted.size() && taken_count < cap; ++ci) {
    if (!s.set_aside[ci]) fill(s.sorted[ci]);
  }
  if (!any_set_aside || taken_count >= cap) return;
  // Copies last: nearest first, equals in random order, so that their in-links spread.
  s.copies.clear();
  for (size_t ci = 0; ci < s.sorted.size(); ++ci) {
    if (s.set_aside[ci]) s.copies.push_back(s.sorted[ci]);
  }
  std::shuffle(s.copies.begin(), s.copies.end(), s.shuffle_rng);
  std::stable_sort(s.copies.begin(), s.copies.end(), [](const ScoredNode& a, const ScoredNode& b) {
    return search_detail::order_key(a.distance) < search_detail::order_key(b.distance);
  });
  for (const ScoredNode& c : s.copies) {
    if (taken_count >= cap) break;
    fill(c);
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
