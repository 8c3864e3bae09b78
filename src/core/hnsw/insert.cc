// HNSW insertion: level draw, greedy descent, a beam of ef_construction per shared layer,
// neighbour selection, storage, back-links with pruning, promotion to entry point. A new node
// is always reachable: when a layer's beam reaches only tombstones, the node links to the
// nearest of those (they stay waypoints, never results), and when pruning would leave it with
// no in-link, it takes the place of a tombstone in its nearest neighbour's list.
#include "core/hnsw/insert.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <cmath>
#include <cstring>

#include "core/hnsw/distance.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/huge_pages.h"
#include "core/hnsw/search.h"
#include "core/hnsw/select_neighbors.h"
#include "core/hnsw/visited.h"
#include "core/util/os_random.h"

namespace tarnwell_core {
namespace {

// Buffers one insertion needs, reused so that an insertion allocates only what it stores.
struct InsertScratch {
  std::vector<ScoredNode> found;
  std::vector<ScoredNode> selected;
  std::vector<uint32_t> entries;
  std::vector<std::vector<uint32_t>> new_lists;
  std::vector<ScoredNode> prune;
  std::vector<float> target;
  std::vector<uint32_t> ids;
};

thread_local InsertScratch INSERT_SCRATCH;

// Looked up through a call: the compiler would otherwise redo the thread-local lookup (a
// library call in a shared object) at many uses of the reference.
[[gnu::noinline]] InsertScratch& insert_scratch() { return INSERT_SCRATCH; }

}  // namespace

size_t level_for_draw(double r, uint64_t m, uint64_t max_layers) {
  const double x = std::floor(-std::log(r) * (1.0 / std::log(static_cast<double>(m))));
  uint64_t level;
  if (!(x > 0.0)) {
    level = 0;  // negative, zero or NaN
  } else if (x >= 18446744073709551616.0) {
    level = UINT64_MAX;
  } else {
    level = static_cast<uint64_t>(x);
  }
  const uint64_t cap = std::min<uint64_t>(max_layers == 0 ? 0 : max_layers - 1, 255);
  return static_cast<size_t>(std::min(level, cap));
}

double level_draw(uint64_t seed, uint64_t id) {
  uint64_t z = seed + (id + 1) * 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-53;
}

uint64_t os_level_seed() {
  uint8_t bytes[8];
  uint64_t seed = 0;
  if (fill_os_random(bytes).ok()) {
    std::memcpy(&seed, bytes, sizeof seed);
    return seed;
  }
  // Without the OS source, seeds only need to differ between indexes and runs.
  static std::atomic<uint64_t> COUNTER{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return static_cast<uint64_t>(now) ^ (COUNTER.fetch_add(1) * 0x9e3779b97f4a7c15ULL);
}

namespace {

// Makes room for `extra` more elements with geometric growth, so repeated single-node appends
// stay amortised; only this may throw, the appends that follow cannot.
template <class T>
void reserve_more(std::vector<T>& v, size_t extra) {
  if (v.capacity() - v.size() >= extra) return;
  reserve_on_huge_pages(v, std::max(v.size() + extra, 2 * v.capacity()));
}

}  // namespace

void HnswIndex::store_node(std::span<const float> vector, const QuantizedVector& q, size_t level) {
  // Everything that can run out of memory happens before the first append, so an insertion
  // that fails for lack of memory leaves the index exactly as it was.
  std::vector<uint8_t> codes;
  const bool encode = pq_codebook && pq_codebook->well_formed() &&
                      vector.size() >= pq_codebook->num_subspaces * pq_codebook->subspace_dim;
  if (encode) codes = pq_codebook->encode(vector);
  const bool raw = config.store_raw_vectors;
  const NodeMeta meta = meta_of(q.data.data(), q.min, q.scale);
  reserve_more(vector_data, q.data.size());
  reserve_more(vector_min, 1);
  reserve_more(vector_scale, 1);
  if (raw) reserve_more(raw_vectors, vector.size());
  if (encode) reserve_more(pq_codes, codes.size());
  reserve_more(layers, 1);
  reserve_more(deleted, 1);
  reserve_more(meta_, 1);
  reserve_more(raw_roots_, 1);
  reserve_more(level0_, level0_cap_ + 1);
  reserve_more(level0_kept_, 1);
  reserve_more(upper_ref_, 1);
  if (level > 0) {
    reserve_more(upper_nodes_, 1);
    reserve_more(upper_, level * (upper_cap_ + 1));
  }

  vector_data.insert(vector_data.end(), q.data.begin(), q.data.end());
  vector_min.push_back(q.min);
  vector_scale.push_back(q.scale);
  if (raw) raw_vectors.insert(raw_vectors.end(), vector.begin(), vector.end());
  if (encode) pq_codes.insert(pq_codes.end(), codes.begin(), codes.end());
  add_node_adjacency(level + 1);
  layers.push_back(static_cast<uint8_t>(level));
  deleted.push_back(0);
  meta_.push_back(meta);
  append_raw_root(node_count);
  ++node_count;
}

bool HnswIndex::link_back(uint32_t node, size_t layer, uint32_t new_id) {
  ensure_list_count(node, layer + 1);
  const std::span<const uint32_t> list = neighbors(node, layer);
  const size_t cap = cap_of_layer(layer);
  if (list.size() < cap) {
    const size_t block_cap = layer == 0 ? level0_cap_ : upper_cap_;
    if (list.size() + 1 > block_cap) {
      layer == 0 ? widen_level0(list.size() + 1) : widen_upper(list.size() + 1);
    }
    uint32_t* words = mutable_list(node, layer);
    words[1 + words[0]] = new_id;
    ++words[0];
    if (layer == 0) level0_kept_[node] = kOrderUnknown;  // appended out of order
    return true;
  }

  // Over the cap: keep the best `cap` of the list plus the new node, by distance from `node`.
  InsertScratch& s = insert_scratch();
  const QueryDistance dist(*this, node_vector(node, s.target), nullptr);
  s.prune.clear();
  for (uint32_t x : list) s.prune.push_back({dist.precise(x), x});
  s.prune.push_back({dist.precise(new_id), new_id});
  SelectionShape shape;
  const uint8_t known = layer == 0 ? level0_kept_[node] : kOrderUnknown;
  const bool incremental =
      known != kOrderUnknown && incremental_pruning_enabled() &&
      reselect_with_candidate(*this, std::span<const ScoredNode>(s.prune).first(list.size()), known,
                              s.prune.back(), cap, s.selected, &shape);
  if (!incremental) select_neighbors_heuristic_into(*this, s.prune, cap, s.selected, &shape);
  s.ids.clear();
  bool kept = false;
  for (const ScoredNode& c : s.selected) {
    s.ids.push_back(c.id);
    kept |= c.id == new_id;
  }
  set_list(node, layer, s.ids);
  if (layer == 0 && shape.in_selection_order && shape.diverse < kOrderUnknown) {
    level0_kept_[node] = static_cast<uint8_t>(shape.diverse);
  }
  return kept;
}

void HnswIndex::adopt_in_place_of_tombstone(uint32_t node, size_t layer, uint32_t new_id) {
  InsertScratch& s = insert_scratch();
  const QueryDistance dist(*this, node_vector(node, s.target), nullptr);
  uint32_t* words = mutable_list(node, layer);
  size_t victim = 0;
  uint32_t victim_key = 0;
  for (size_t i = 1; i <= words[0]; ++i) {
    if (!deleted[words[i]]) continue;
    const uint32_t key = search_detail::order_key(dist.precise(words[i]));
    if (victim == 0 || key > victim_key) {
      victim = i;
      victim_key = key;
    }
  }
  if (victim != 0) {
    words[victim] = new_id;
    if (layer == 0) level0_kept_[node] = kOrderUnknown;
  }
}

const float* HnswIndex::node_vector(uint32_t node, std::vector<float>& buffer) const {
  if (has_raw_vectors()) return raw_vectors.data() + static_cast<size_t>(node) * dimension;
  buffer.resize(dimension);
  reconstruct_into(node, buffer.data());
  return buffer.data();
}

void HnswIndex::insert(uint32_t id, std::span<const float> vector, const QuantizedVector& q) {
  assert(id == node_count && vector.size() == dimension && q.data.size() == dimension);
  const size_t level = level_for_draw(level_draw(level_seed_, id), config.m, config.max_layers);
  if (!entry_point) {
    store_node(vector, q, level);
    entry_point = id;
    max_level = level;
    return;
  }

  InsertScratch& s = insert_scratch();
  const size_t top = std::min<uint64_t>(level, max_level);
  s.new_lists.resize(std::max(s.new_lists.size(), level + 1));
  {
    VisitedHold hold(insert_visited());
    VisitedSet& visited = hold.set();
    visited.grow(node_count);
    const QueryDistance dist(*this, vector.data(), nullptr);
    const uint32_t ep =
        search_detail::descend(*this, dist, *entry_point, level, visited, hold.scratch(), s.found);
    s.entries.assign(1, ep);
    for (size_t layer = top + 1; layer-- > 0;) {
      search_layer(*this, dist, s.entries, config.ef_construction, layer, visited, hold.scratch(),
                   s.found);
      if (s.found.empty()) {
        // Only tombstones in reach: link to the nearest of them so the node stays reachable.
        search_layer<search_detail::Tombstones::Admit>(*this, dist, s.entries,
                                                       config.ef_construction, layer, visited,
                                                       hold.scratch(), s.found);
      }
      select_neighbors_heuristic_into(*this, s.found, cap_of_layer(layer), s.selected);
      std::vector<uint32_t>& list = s.new_lists[layer];
      list.clear();
      for (const ScoredNode& c : s.selected) list.push_back(c.id);
      s.entries.clear();
      for (const ScoredNode& c : s.found) s.entries.push_back(c.id);
      if (s.entries.empty()) s.entries.push_back(*entry_point);
    }
  }

  store_node(vector, q, level);
  try {
    for (size_t layer = 0; layer <= top; ++layer) set_list(id, layer, s.new_lists[layer]);
    for (size_t layer = 0; layer <= top; ++layer) {
      bool linked = false;
      for (uint32_t n : s.new_lists[layer]) linked |= link_back(n, layer, id);
      // Pruning may drop the new node from every list, which tombstones crowding those lists
      // make likely. Rather than leave a live node unreachable, its nearest neighbour gives up
      // its farthest tombstone for it; lists without tombstones are pruned as usual.
      if (!linked && !s.new_lists[layer].empty()) {
        adopt_in_place_of_tombstone(s.new_lists[layer][0], layer, id);
      }
    }
  } catch (...) {
    // Out of memory while linking (a list widened, scratch grown): the graph stays sound, with
    // the half-linked node as a tombstone, a waypoint only.
    deleted[id] = 1;
    throw;
  }
  if (level > max_level) {
    max_level = level;
    entry_point = id;
  }
}

}  // namespace tarnwell_core
