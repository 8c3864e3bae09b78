// Graph search: the single-layer beam search shared by insertion and queries, and the k-NN
// search with descent, bounded widening of the layer-0 beam and precise re-ranking. Distances
// are ordered by one total order everywhere (NaN after +inf), so no input can make a heap or a
// sort misbehave. Every buffer is sized by what the walk reaches, never by k or ef.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/hnsw/distance.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/visited.h"
#include "core/util/prefetch.h"

namespace tarnwell_core {
namespace search_detail {

// Orders like the floats themselves except that -0 equals +0 and every NaN comes after +inf.
constexpr uint32_t order_key(float d) {
  if (d != d) return 0xFFFFFFFFu;
  const uint32_t u = std::bit_cast<uint32_t>(d + 0.0f);  // folds -0 into +0
  return (u & 0x80000000u) ? ~u : (u | 0x80000000u);
}

constexpr float key_distance(uint32_t key) {
  const uint32_t u = (key & 0x80000000u) ? (key & 0x7FFFFFFFu) : ~key;
  return std::bit_cast<float>(u);
}

// A heap entry: the distance's order key above the id, so integer order is distance order
// (equal distances fall back to the id, one of the orders left open).
inline uint64_t pack(float d, uint32_t id) { return (uint64_t{order_key(d)} << 32) | id; }
inline uint32_t packed_key(uint64_t e) { return static_cast<uint32_t>(e >> 32); }
inline uint32_t packed_id(uint64_t e) { return static_cast<uint32_t>(e); }
inline ScoredNode unpack(uint64_t e) { return {key_distance(packed_key(e)), packed_id(e)}; }

inline constexpr uint32_t kMaxFiniteKey = order_key(std::numeric_limits<float>::max());

struct AdmitAll {
  bool operator()(uint32_t) const { return true; }
};

// How a walk reads a node's list: in place, when nothing changes lists during the walk. A
// concurrent insertion passes a reader that copies each list under the node's lock instead.
struct DirectLists {
  std::span<const uint32_t> operator()(const HnswIndex& index, uint32_t node, size_t layer) const {
    return index.neighbors(node, layer);
  }
};

// Which nodes may become results: live ones the predicate admits, or (to keep an insertion
// reachable when only tombstones are in reach) every reached node.
enum class Tombstones : uint8_t { Skip, Admit };

}  // namespace search_detail

// The beam search on one layer, into `out` ascending by distance. A reached node always guides
// the walk; it becomes a result only if admitted (see Tombstones; admit(id) is called only for
// live nodes whose distance qualifies, at most once per node). `visited` must cover node_count.
template <search_detail::Tombstones kTombstones = search_detail::Tombstones::Skip,
          class Admit = search_detail::AdmitAll, class Lists = search_detail::DirectLists>
void search_layer(const HnswIndex& index, const QueryDistance& dist,
                  std::span<const uint32_t> entries, size_t ef, size_t layer, VisitedSet& visited,
                  SearchScratch& scratch, std::vector<ScoredNode>& out, Admit&& admit = Admit{},
                  const Lists& lists = Lists{}) {
  using namespace search_detail;
  const auto result_allowed = [&](uint32_t id) {
    if constexpr (kTombstones == Tombstones::Admit) {
      return true;
    } else {
      return index.deleted()[id] == 0 && admit(id);
    }
  };
  std::vector<uint64_t>& cand = scratch.candidates;  // min-heap
  std::vector<uint64_t>& res = scratch.results;      // max-heap
  std::vector<uint32_t>& fresh = scratch.fresh;
  cand.clear();
  res.clear();
  visited.next_generation();
  uint32_t bound = kMaxFiniteKey;

  for (uint32_t e : entries) {
    if (visited.test_and_mark(e)) continue;
    const uint64_t entry = pack(dist.walk(e), e);
    cand.push_back(entry);
    std::push_heap(cand.begin(), cand.end(), std::greater<>());
    if (result_allowed(e)) {
      res.push_back(entry);
      std::push_heap(res.begin(), res.end());
      if (res.size() >= ef) bound = packed_key(res.front());
    }
  }

  while (!cand.empty()) {
    std::pop_heap(cand.begin(), cand.end(), std::greater<>());
    const uint64_t c = cand.back();
    cand.pop_back();
    if (res.size() >= ef && packed_key(c) > bound) break;
    const std::span<const uint32_t> nb = lists(index, packed_id(c), layer);
    if (nb.empty()) continue;
    if (!cand.empty()) {
      // The nearest remaining candidate is likely expanded next; start loading its list.
      const uint32_t* next = index.list_address(packed_id(cand.front()), layer);
      if (next != nullptr) prefetch_read(reinterpret_cast<const char*>(next));
    }
    fresh.clear();
    for (uint32_t x : nb) {
      if (!visited.test_and_mark(x)) {
        fresh.push_back(x);
        dist.prefetch_meta(x);
      }
    }
    // Loads run a few nodes ahead of the arithmetic.
    constexpr size_t kAhead = 6;
    for (size_t i = 0; i < fresh.size() && i < kAhead; ++i) dist.prefetch(fresh[i]);
    for (size_t i = 0; i < fresh.size(); ++i) {
      if (i + kAhead < fresh.size()) dist.prefetch(fresh[i + kAhead]);
      const uint32_t x = fresh[i];
      const float d = dist.walk(x);
      const uint32_t key = order_key(d);
      if (res.size() < ef || key < bound) {
        const uint64_t entry = (uint64_t{key} << 32) | x;
        cand.push_back(entry);
        std::push_heap(cand.begin(), cand.end(), std::greater<>());
        if (result_allowed(x)) {
          res.push_back(entry);
          std::push_heap(res.begin(), res.end());
          if (res.size() > ef) {
            std::pop_heap(res.begin(), res.end());
            res.pop_back();
          }
          bound = res.empty() ? kMaxFiniteKey : packed_key(res.front());
        }
      }
    }
  }

  std::sort_heap(res.begin(), res.end());
  out.clear();
  out.reserve(res.size());
  for (uint64_t e : res) out.push_back(unpack(e));
}

namespace search_detail {

// ef x 4 without wrapping around.
inline size_t saturating_times4(size_t ef) {
  return ef > std::numeric_limits<size_t>::max() / 4 ? std::numeric_limits<size_t>::max() : 4 * ef;
}

// Descends from the entry point through the upper layers with a one-wide beam (tombstones are
// never picked) and returns the layer-0 entry.
inline uint32_t descend(const HnswIndex& index, const QueryDistance& dist, uint32_t ep,
                        size_t down_to_layer, VisitedSet& visited, SearchScratch& scratch,
                        std::vector<ScoredNode>& out) {
  // Layers above the entry's own lists hold nothing but the entry: skipping them changes no
  // result, and keeps a corrupt max_level from costing a loop per layer.
  const size_t top = std::min<uint64_t>(index.max_level(), index.layer_list_count(ep) - 1);
  for (size_t layer = top; layer > down_to_layer; --layer) {
    search_layer(index, dist, std::span<const uint32_t>(&ep, 1), 1, layer, visited, scratch, out);
    if (!out.empty()) ep = out.front().id;
  }
  return ep;
}

}  // namespace search_detail

namespace search_detail {

// The frame of every k-NN search: descent, layer 0 with bounded widening, re-ranking.
// pass(dist, ep, ef, visited, scratch, found) runs one layer-0 pass from `ep` into `found`.
template <class Pass>
std::vector<ScoredNode> knn_frame(const HnswIndex& index, std::span<const float> query, size_t k,
                                  Pass&& pass) {
  // k = 0 answers nothing whatever the walk finds; skip the walk.
  if (!index.entry_point() || k == 0) return {};
  VisitedHold hold(search_visited());
  VisitedSet& visited = hold.set();
  SearchScratch& scratch = hold.scratch();
  visited.grow(index.node_count());

  std::optional<DistanceTable> table;
  if (index.pq_usable()) {
    table = index.pq_codebook()->build_distance_table(query, index.config().distance_metric);
  }
  const QueryDistance dist(index, query.data(), table ? &*table : nullptr);

  std::vector<ScoredNode> found;
  const uint32_t ep = descend(index, dist, *index.entry_point(), 0, visited, scratch, found);

  size_t ef = std::max<size_t>(index.config().ef_search, k);
  const size_t limit = std::min<size_t>(index.node_count(), saturating_times4(ef));
  for (;;) {
    pass(dist, ep, ef, visited, scratch, found);
    if (ef >= limit || found.size() >= k) break;
    ef = std::min(limit, 2 * ef);
  }

  if (dist.uses_table()) {
    for (ScoredNode& r : found) r.distance = dist.precise(r.id);
  }
  std::sort(found.begin(), found.end(), [](const ScoredNode& a, const ScoredNode& b) {
    return pack(a.distance, a.id) < pack(b.distance, b.id);
  });
  if (found.size() > k) found.resize(k);
  return found;
}

}  // namespace search_detail

template <class Admit>
std::vector<ScoredNode> HnswIndex::knn_search_filtered(std::span<const float> query, size_t k,
                                                       Admit&& admit) const {
  return search_detail::knn_frame(
      *this, query, k,
      [&](const QueryDistance& dist, uint32_t ep, size_t ef, VisitedSet& visited,
          SearchScratch& scratch, std::vector<ScoredNode>& found) {
        search_layer(*this, dist, std::span<const uint32_t>(&ep, 1), ef, 0, visited, scratch,
                     found, admit);
      });
}

// The beam search of one layer from `entries`, as insertion and k-NN search run it, in a
// self-contained form (its own visited generation and scratch). Mostly for tests and tools.
std::vector<ScoredNode> search_layer(const HnswIndex& index, std::span<const float> query,
                                     std::span<const uint32_t> entries, size_t ef, size_t layer,
                                     VisitedSet& visited);

}  // namespace tarnwell_core
