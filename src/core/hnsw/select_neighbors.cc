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
// equals. Copies at the target's own point are the exception: they are its nearest neighbours,
// and a group of copies stays connected only through each other's lists, so they are used
// first, in random order. Without identical vectors the selection is unchanged.
#include "core/hnsw/select_neighbors.h"

#include <algorithm>
#include <random>

#include "core/hnsw/pair_distance.h"
#include "core/hnsw/search.h"
#include "core/util/per_thread.h"

namespace tarnwell_core {
namespace {

struct SelectScratch {
  std::vector<uint64_t> keys;
  std::vector<ScoredNode> sorted;
  std::vector<float> vectors;  // reconstructions, one slot per selected neighbour (+ one)
  std::vector<const float*> selected_vectors;
  std::vector<float> selected_roots;  // cosine: the square root of each selected vector's norm
  std::vector<uint32_t> taken_ids;    // ids in the result so far, for the fill-up
  std::vector<uint8_t> set_aside;     // per sorted candidate: a SetAside value
  std::vector<ScoredNode> copies;     // set-aside candidates of one kind, in fill-up order
  std::minstd_rand shuffle_rng{0x7a3c9e1u};
};

PerThread<SelectScratch> SELECT_SCRATCH;

// Looked up through a call, once per use site: each lookup is a library call.
[[gnu::noinline]] SelectScratch& select_scratch() { return SELECT_SCRATCH.get(); }

// Why a candidate skipped the diversity rule.
enum SetAside : uint8_t {
  kNotSetAside = 0,
  kCopyElsewhere = 1,  // a copy of a kept neighbour away from the target: filled in last
  kCopyOfTarget = 2,   // a copy of a kept neighbour at the target's own point: filled in first
};

}  // namespace

void select_neighbors_heuristic_into(const HnswIndex& index, std::span<const ScoredNode> candidates,
                                     size_t cap, std::vector<ScoredNode>& out,
                                     SelectionShape* shape) {
  using search_detail::pack;
  using select_detail::PairDistance;
  out.clear();
  if (shape != nullptr) *shape = {};
  if (cap == 0 || candidates.empty()) return;
  SelectScratch& s = select_scratch();
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

  const size_t dim = index.dimension();
  const PairDistance pair(index);
  const size_t slots = std::min(cap, s.sorted.size());
  if (!pair.has_raw() && s.vectors.size() < slots * dim) s.vectors.resize(slots * dim);
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
    const float* vc = pair.vector_of(c.id, pair.has_raw() ? nullptr : slot_base + selected * dim);
    const float root_c = pair.root_of(c.id, vc);
    bool diverse = true;
    bool copy = false;
    for (size_t i = 0; i < selected; ++i) {
      copy = pair.identical(vc, sel_vectors[i]);
      if (copy) break;
      const float d = pair(vc, root_c, sel_vectors[i], sel_roots[i]);
      if (pair.same_point(d)) {
        copy = true;
        break;
      }
      if (d < c.distance) {
        diverse = false;
        break;
      }
    }
    if (copy) {
      s.set_aside[ci] = pair.same_point(c.distance) ? kCopyOfTarget : kCopyElsewhere;
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
  if (shape != nullptr) shape->diverse = selected;
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
  // Set-aside candidates of one kind, nearest first, equals in random order so that their
  // in-links spread over the whole group.
  auto fill_set_aside = [&](uint8_t kind) {
    s.copies.clear();
    for (size_t ci = 0; ci < s.sorted.size(); ++ci) {
      if (s.set_aside[ci] == kind) s.copies.push_back(s.sorted[ci]);
    }
    if (s.copies.empty()) return;
    std::shuffle(s.copies.begin(), s.copies.end(), s.shuffle_rng);
    std::stable_sort(
        s.copies.begin(), s.copies.end(), [](const ScoredNode& a, const ScoredNode& b) {
          return search_detail::order_key(a.distance) < search_detail::order_key(b.distance);
        });
    for (const ScoredNode& c : s.copies) {
      if (taken_count >= cap) break;
      fill(c);
      if (shape != nullptr) shape->in_selection_order = false;
    }
  };
  if (any_set_aside) fill_set_aside(kCopyOfTarget);
  for (size_t ci = 0; ci < s.sorted.size() && taken_count < cap; ++ci) {
    if (s.set_aside[ci] == kNotSetAside) fill(s.sorted[ci]);
  }
  if (any_set_aside && taken_count < cap) fill_set_aside(kCopyElsewhere);
}

std::vector<ScoredNode> select_neighbors_heuristic(const HnswIndex& index,
                                                   std::span<const ScoredNode> candidates,
                                                   size_t cap) {
  std::vector<ScoredNode> out;
  select_neighbors_heuristic_into(index, candidates, cap, out);
  return out;
}

}  // namespace tarnwell_core
