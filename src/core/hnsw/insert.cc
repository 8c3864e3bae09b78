// HNSW insertion: level draw, greedy descent, a beam of ef_construction per shared layer,
// neighbour selection, storage, back-links with pruning, promotion to entry point. A new node
// is always reachable: when a layer's beam reaches only tombstones, the node links to the
// nearest of those (they stay waypoints, never results), and when pruning would leave it with
// no in-link, it takes the place of a tombstone in its nearest neighbour's list.
#include "core/hnsw/insert.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
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
#include "core/util/per_thread.h"

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

PerThread<InsertScratch> INSERT_SCRATCH;

// Looked up through a call, once per use site: each lookup is a library call.
[[gnu::noinline]] InsertScratch& insert_scratch() { return INSERT_SCRATCH.get(); }

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
  const bool encode = pq_codebook_ && pq_codebook_->well_formed() &&
                      vector.size() >= pq_codebook_->num_subspaces * pq_codebook_->subspace_dim;
  if (encode) codes = pq_codebook_->encode(vector);
  const bool raw = config_.store_raw_vectors;
  const NodeMeta meta = meta_of(q.data.data(), q.min, q.scale);
  reserve_more(vector_data_, q.data.size());
  if (raw) reserve_more(raw_vectors_, vector.size());
  if (encode) reserve_more(pq_codes_, codes.size());
  reserve_more(layers_, 1);
  reserve_more(deleted_, 1);
  reserve_more(meta_, 1);
  reserve_more(raw_roots_, 1);
  reserve_more(level0_, level0_cap_ + 1);
  reserve_more(level0_kept_, 1);
  reserve_more(upper_ref_, 1);
  if (level > 0) {
    reserve_more(upper_nodes_, 1);
    reserve_more(upper_, level * (upper_cap_ + 1));
  }

  vector_data_.insert(vector_data_.end(), q.data.begin(), q.data.end());
  if (raw) raw_vectors_.insert(raw_vectors_.end(), vector.begin(), vector.end());
  if (encode) pq_codes_.insert(pq_codes_.end(), codes.begin(), codes.end());
  add_node_adjacency(level + 1);
  layers_.push_back(static_cast<uint8_t>(level));
  deleted_.push_back(0);
  meta_.push_back(meta);
  append_raw_root(node_count_);
  ++node_count_;
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
    if (!deleted_[words[i]]) continue;
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
  if (has_raw_vectors()) return raw_vectors_.data() + static_cast<size_t>(node) * dimension_;
  buffer.resize(dimension_);
  reconstruct_into(node, buffer.data());
  return buffer.data();
}

// Insertion's two halves, shared by the single insert and the concurrent batch: `plan` searches
// the graph for a new node's neighbours, `link` writes its lists and the back-links. `Sync`
// guards each list access: nothing for a single insert (the caller holds the collection
// exclusively), a lock per node for a concurrent batch, where every list is read through a
// copy taken under its lock and no two node locks are ever held at once.
struct InsertDriver {
  struct NoSync {
    int lock(uint32_t) const { return 0; }
    search_detail::DirectLists lists() const { return {}; }
  };

  class NodeLocks {
   public:
    // Striped: nodes share a lock with others of the same low bits, harmless since one is held
    // at a time.
    static constexpr size_t kStripes = 4096;
    std::unique_lock<std::mutex> lock(uint32_t node) {
      return std::unique_lock<std::mutex>(mu_[node % kStripes]);
    }
    struct Copying {
      NodeLocks* locks;
      std::vector<uint32_t>* buffer;
      std::span<const uint32_t> operator()(const HnswIndex& index, uint32_t node,
                                           size_t layer) const {
        std::lock_guard guard(locks->mu_[node % kStripes]);
        const std::span<const uint32_t> list = index.neighbors(node, layer);
        buffer->assign(list.begin(), list.end());
        return *buffer;
      }
    };

   private:
    std::unique_ptr<std::mutex[]> mu_ = std::make_unique<std::mutex[]>(kStripes);
  };
  // One worker's view of the locks: its own copy buffer for lists read during a walk.
  struct Locked {
    NodeLocks& locks;
    std::vector<uint32_t> buffer;
    std::unique_lock<std::mutex> lock(uint32_t node) { return locks.lock(node); }
    NodeLocks::Copying lists() { return {&locks, &buffer}; }
  };

  // Fills s.new_lists[0..min(level, top_level)] for a vector entering at `level`, from entry
  // `ep` of a graph whose top layer is `top_level`.
  template <class Sync>
  static void plan(const HnswIndex& ix, std::span<const float> vector, size_t level,
                   uint32_t entry, uint64_t top_level, InsertScratch& s, Sync& sync) {
    using search_detail::AdmitAll;
    using search_detail::Tombstones;
    const auto lists = sync.lists();
    const size_t top = std::min<uint64_t>(level, top_level);
    s.new_lists.resize(std::max(s.new_lists.size(), level + 1));
    VisitedHold hold(insert_visited());
    VisitedSet& visited = hold.set();
    visited.grow(ix.node_count_);
    const QueryDistance dist(ix, vector.data(), nullptr);
    // Greedy descent; layers above the entry's own lists hold nothing but the entry.
    uint32_t ep = entry;
    for (size_t layer = std::min<uint64_t>(top_level, ix.layer_list_count(ep) - 1); layer > level;
         --layer) {
      search_layer<Tombstones::Skip>(ix, dist, std::span<const uint32_t>(&ep, 1), 1, layer,
                                     visited, hold.scratch(), s.found, AdmitAll{}, lists);
      if (!s.found.empty()) ep = s.found.front().id;
    }
    s.entries.assign(1, ep);
    for (size_t layer = top + 1; layer-- > 0;) {
      search_layer<Tombstones::Skip>(ix, dist, s.entries, ix.config_.ef_construction, layer,
                                     visited, hold.scratch(), s.found, AdmitAll{}, lists);
      if (s.found.empty()) {
        // Only tombstones in reach: link to the nearest of them so the node stays reachable.
        search_layer<Tombstones::Admit>(ix, dist, s.entries, ix.config_.ef_construction, layer,
                                        visited, hold.scratch(), s.found, AdmitAll{}, lists);
      }
      select_neighbors_heuristic_into(ix, s.found, ix.cap_of_layer(layer), s.selected);
      std::vector<uint32_t>& list = s.new_lists[layer];
      list.clear();
      for (const ScoredNode& c : s.selected) list.push_back(c.id);
      s.entries.clear();
      for (const ScoredNode& c : s.found) s.entries.push_back(c.id);
      if (s.entries.empty()) s.entries.push_back(entry);
    }
  }

  // Writes the lists planned for stored node `id` on layers 0..top and links it back.
  template <class Sync>
  static void link(HnswIndex& ix, uint32_t id, size_t top, InsertScratch& s, Sync& sync) {
    for (size_t layer = 0; layer <= top; ++layer) {
      [[maybe_unused]] auto held = sync.lock(id);
      ix.set_list(id, layer, s.new_lists[layer]);
    }
    for (size_t layer = 0; layer <= top; ++layer) {
      bool linked = false;
      for (uint32_t n : s.new_lists[layer]) {
        [[maybe_unused]] auto held = sync.lock(n);
        linked |= ix.link_back(n, layer, id);
      }
      // Pruning may drop the new node from every list, which tombstones crowding those lists
      // make likely. Rather than leave a live node unreachable, its nearest neighbour gives up
      // its farthest tombstone for it; lists without tombstones are pruned as usual.
      if (!linked && !s.new_lists[layer].empty()) {
        const uint32_t nearest = s.new_lists[layer][0];
        [[maybe_unused]] auto held = sync.lock(nearest);
        ix.adopt_in_place_of_tombstone(nearest, layer, id);
      }
    }
  }

  static void insert_batch(HnswIndex& ix, std::span<const HnswIndex::BatchNode> nodes,
                           size_t threads, const ProgressFn& progress);
  static void link_concurrently(HnswIndex& ix, std::span<const HnswIndex::BatchNode> nodes,
                                uint32_t first, size_t threads, ProgressReporter& report);
};

void HnswIndex::insert(uint32_t id, std::span<const float> vector, const QuantizedVector& q) {
  assert(id == node_count_ && vector.size() == dimension_ && q.data.size() == dimension_);
  const size_t level = level_for_draw(level_draw(level_seed_, id), config_.m, config_.max_layers);
  if (!entry_point_) {
    store_node(vector, q, level);
    entry_point_ = id;
    max_level_ = level;
    return;
  }

  InsertScratch& s = insert_scratch();
  InsertDriver::NoSync sync;
  const size_t top = std::min<uint64_t>(level, max_level_);
  InsertDriver::plan(*this, vector, level, *entry_point_, max_level_, s, sync);
  store_node(vector, q, level);
  try {
    InsertDriver::link(*this, id, top, s, sync);
  } catch (...) {
    // Out of memory while linking (a list widened, scratch grown): the graph stays sound, with
    // the half-linked node as a tombstone, a waypoint only.
    deleted_[id] = 1;
    throw;
  }
  if (level > max_level_) {
    max_level_ = level;
    entry_point_ = id;
  }
}

void HnswIndex::insert_batch(std::span<const BatchNode> nodes, size_t threads,
                             const ProgressFn& progress) {
  InsertDriver::insert_batch(*this, nodes, threads, progress);
}

bool HnswIndex::lists_follow_levels() {
  if (lists_follow_levels_) return true;
  if (entry_point_ && layer_list_count(*entry_point_) <= max_level_) return false;
  for (const UpperLists& u : upper_nodes_) {
    for (size_t l = 0; l < u.list_count; ++l) {
      const uint32_t* list = &upper_[u.offset + l * (upper_cap_ + 1)];
      for (uint32_t i = 1; i <= list[0]; ++i) {
        if (layer_list_count(list[i]) <= l + 1) return false;
      }
    }
  }
  lists_follow_levels_ = true;
  return true;
}

void InsertDriver::insert_batch(HnswIndex& ix, std::span<const HnswIndex::BatchNode> nodes,
                                size_t threads, const ProgressFn& progress) {
  ProgressReporter report(progress, nodes.size());
  const uint32_t first = ix.node_count_;
  // Concurrent linking needs blocks that never move: full-width lists (bounded, so that a huge
  // configured m stays on one thread) and no list added on the way.
  constexpr uint64_t kConcurrentCapLimit = 1024;
  const bool concurrent = threads > 1 && nodes.size() >= HnswIndex::kParallelMinBatch &&
                          ix.config_.m_max0 <= kConcurrentCapLimit &&
                          ix.config_.m <= kConcurrentCapLimit && ix.lists_follow_levels();
  try {
    size_t i = 0;
    if (!concurrent || !ix.entry_point_) {
      // One at a time: the whole batch, or the first node of an empty graph.
      const size_t end = concurrent ? 1 : nodes.size();
      for (; i < end; ++i) {
        ix.insert(ix.node_count_, nodes[i].vector, *nodes[i].q);
        report.advance(i + 1);
      }
    }
    if (i < nodes.size()) {
      if (ix.level0_cap_ < ix.config_.m_max0) ix.widen_level0(ix.config_.m_max0);
      if (ix.upper_cap_ < ix.config_.m) ix.widen_upper(ix.config_.m);
      // Stored first, unlinked (so unreachable) until their own turn.
      for (size_t j = i; j < nodes.size(); ++j) {
        const uint32_t id = ix.node_count_;
        const size_t level =
            level_for_draw(level_draw(ix.level_seed_, id), ix.config_.m, ix.config_.max_layers);
        ix.store_node(nodes[j].vector, *nodes[j].q, level);
      }
      link_concurrently(ix, nodes.subspan(i), first + static_cast<uint32_t>(i), threads, report);
    }
  } catch (...) {
    // Half-linked or unlinked, the batch's nodes stay as waypoints only.
    for (uint32_t id = first; id < ix.node_count_; ++id) ix.deleted_[id] = 1;
    throw;
  }
  report.finish();
}

void InsertDriver::link_concurrently(HnswIndex& ix, std::span<const HnswIndex::BatchNode> nodes,
                                     uint32_t first, size_t threads, ProgressReporter& report) {
  NodeLocks locks;
  std::mutex entry_mu;  // guards entry_point and max_level
  std::atomic<size_t> next{0};
  std::atomic<size_t> done{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex error_mu;

  const auto work = [&](bool reporting) {
    Locked sync{locks, {}};
    while (!failed.load(std::memory_order_relaxed)) {
      const size_t j = next.fetch_add(1, std::memory_order_relaxed);
      if (j >= nodes.size()) break;
      const uint32_t id = first + static_cast<uint32_t>(j);
      try {
        InsertScratch& s = insert_scratch();
        const size_t level = ix.layers_[id];
        // A node that will become the entry point holds the lock until it is one, as the
        // parallel builders do: rare, and it keeps every walk starting from a linked node.
        std::unique_lock entry(entry_mu);
        const uint32_t ep = *ix.entry_point_;
        const uint64_t top_level = ix.max_level_;
        if (level <= top_level) entry.unlock();
        plan(ix, nodes[j].vector, level, ep, top_level, s, sync);
        link(ix, id, std::min<uint64_t>(level, top_level), s, sync);
        if (level > top_level) {
          ix.max_level_ = level;
          ix.entry_point_ = id;
        }
      } catch (...) {
        std::lock_guard guard(error_mu);
        if (!error) error = std::current_exception();
        failed = true;
        break;
      }
      const size_t finished = done.fetch_add(1, std::memory_order_relaxed) + 1;
      if (reporting) report.advance(finished);
    }
  };

  std::vector<std::thread> workers;
  try {
    workers.reserve(threads - 1);
    for (size_t t = 1; t < threads; ++t) workers.emplace_back(work, false);
  } catch (...) {
    // Fewer threads than asked (the system refused one): those started carry on.
  }
  work(true);
  for (std::thread& t : workers) t.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace tarnwell_core
