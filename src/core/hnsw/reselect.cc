// Pruning a neighbour list by one newcomer without re-running the whole selection. A list that
// a selection wrote, with no copies in it, is "in selection order": its kept entries first,
// then its fill-up, each ascending. Selecting from that list alone gives every entry the
// verdict it had, so when one candidate joins, only what the newcomer can change needs
// measuring: entries nearer than the newcomer keep their verdicts; if the newcomer is rejected
// nothing else changes; if it is kept, each farther kept entry is checked against it, and only
// once some verdict has changed are the farther entries checked against everything that
// changed. The result is exactly the full selection's, verdict for verdict; whenever that
// cannot be vouched for (equal distances, copies), nothing is written and the caller runs the
// full selection.
#include <algorithm>
#include <atomic>
#include <vector>

#include "core/hnsw/pair_distance.h"
#include "core/hnsw/search.h"
#include "core/hnsw/select_neighbors.h"
#include "core/util/per_thread.h"

namespace tarnwell_core {
namespace {

using select_detail::PairDistance;
using select_detail::Verdict;

std::atomic<bool> INCREMENTAL_PRUNING{true};

struct ReselectScratch {
  std::vector<uint64_t> order;  // (order key << 32) | candidate index, ascending
  std::vector<float> slots;     // reconstructions, one slot per candidate, made on first use
  std::vector<const float*> vectors;
  std::vector<float> roots;
  std::vector<uint32_t> kept;  // candidate indices, in selection order
  std::vector<uint8_t> fresh;  // kept now but not before: the newcomer, promoted entries
  std::vector<uint8_t> taken;
};

PerThread<ReselectScratch> RESELECT_SCRATCH;

// Looked up through a call, once per use site: each lookup is a library call.
[[gnu::noinline]] ReselectScratch& reselect_scratch() { return RESELECT_SCRATCH.get(); }

// Strictly ascending by the total order of distances.
bool strictly_ascending(std::span<const ScoredNode> part) {
  for (size_t i = 1; i < part.size(); ++i) {
    if (search_detail::order_key(part[i - 1].distance) >=
        search_detail::order_key(part[i].distance)) {
      return false;
    }
  }
  return true;
}

}  // namespace

void set_incremental_pruning_for_testing(bool enabled) { INCREMENTAL_PRUNING.store(enabled); }
bool incremental_pruning_enabled() { return INCREMENTAL_PRUNING.load(std::memory_order_relaxed); }

bool reselect_with_candidate(const HnswIndex& index, std::span<const ScoredNode> list,
                             size_t diverse, const ScoredNode& extra, size_t cap,
                             std::vector<ScoredNode>& out, SelectionShape* shape) {
  const size_t m = list.size();
  const size_t n = m + 1;  // candidate m is the newcomer
  // A selection keeps at least its nearest candidate, so a non-empty list has a kept entry.
  if (cap == 0 || diverse > m || (m > 0 && diverse == 0)) return false;
  if (!strictly_ascending(list.first(diverse)) || !strictly_ascending(list.subspan(diverse))) {
    return false;
  }
  const auto candidate = [&](size_t i) -> const ScoredNode& { return i < m ? list[i] : extra; };

  ReselectScratch& s = reselect_scratch();
  s.order.clear();
  for (size_t i = 0; i < n; ++i) {
    if (i < m && list[i].id == extra.id) return false;
    s.order.push_back(search_detail::pack(candidate(i).distance, static_cast<uint32_t>(i)));
  }
  std::sort(s.order.begin(), s.order.end());
  // With equal distances the full selection's order depends on list positions; leave it to it.
  for (size_t i = 1; i < n; ++i) {
    if ((s.order[i - 1] >> 32) == (s.order[i] >> 32)) return false;
  }

  const PairDistance pair(index);
  const size_t dim = pair.dimension();
  if (!pair.has_raw() && s.slots.size() < n * dim) s.slots.resize(n * dim);
  s.vectors.assign(n, nullptr);
  s.roots.resize(n);
  s.fresh.assign(n, 0);
  const auto vector_of = [&](size_t i) {
    if (s.vectors[i] == nullptr) {
      s.vectors[i] = pair.vector_of(candidate(i).id, pair.has_raw() ? nullptr : &s.slots[i * dim]);
      s.roots[i] = pair.root_of(candidate(i).id, s.vectors[i]);
    }
    return s.vectors[i];
  };
  // Candidate c against one kept entry k, as the full selection tests it.
  const auto against = [&](size_t c, size_t k) {
    const float* vc = vector_of(c);
    const float* vk = vector_of(k);
    if (pair.identical(vc, vk)) return Verdict::Copy;
    const float d = pair(vc, s.roots[c], vk, s.roots[k]);
    if (pair.same_point(d)) return Verdict::Copy;
    return d < candidate(c).distance ? Verdict::Rejected : Verdict::Diverse;
  };
  // Candidate c against the kept entries in selection order (only the fresh ones if asked).
  const auto verdict = [&](size_t c, bool only_fresh) {
    for (uint32_t k : s.kept) {
      if (only_fresh && !s.fresh[k]) continue;
      const Verdict v = against(c, k);
      if (v != Verdict::Diverse) return v;
    }
    return Verdict::Diverse;
  };

  s.kept.clear();
  size_t newcomer = n;   // candidate index of the newcomer once kept
  bool shifted = false;  // some entry's verdict has changed
  for (uint64_t o : s.order) {
    if (s.kept.size() >= cap) break;
    const size_t c = static_cast<uint32_t>(o);
    const bool was_kept = c < diverse;
    Verdict v;
    if (c == m) {
      v = verdict(c, false);
    } else if (newcomer == n) {
      v = was_kept ? Verdict::Diverse : Verdict::Rejected;  // nothing before it changed
    } else if (was_kept) {
      // No entry kept before rejected it; only what changed since can.
      v = verdict(c, true);
    } else if (shifted) {
      v = verdict(c, false);
    } else {
      // Whatever rejected it is still kept. The newcomer could still be its copy, which the
      // full selection might report first.
      v = against(c, newcomer) == Verdict::Copy ? Verdict::Copy : Verdict::Rejected;
    }
    if (v == Verdict::Copy) return false;
    if (v == Verdict::Diverse) {
      s.kept.push_back(static_cast<uint32_t>(c));
      if (c == m) {
        newcomer = c;
        s.fresh[c] = 1;
      } else if (!was_kept) {
        s.fresh[c] = 1;
        shifted = true;
      }
    } else if (was_kept) {
      shifted = true;
    }
  }

  out.clear();
  for (uint32_t k : s.kept) out.push_back(candidate(k));
  if (out.size() < cap) {
    s.taken.assign(n, 0);
    for (uint32_t k : s.kept) s.taken[k] = 1;
    for (uint64_t o : s.order) {
      if (out.size() >= cap) break;
      const auto c = static_cast<uint32_t>(o);
      if (!s.taken[c]) out.push_back(candidate(c));
    }
  }
  if (shape != nullptr) *shape = {s.kept.size(), true};
  return true;
}

}  // namespace tarnwell_core
