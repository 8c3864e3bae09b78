// Storage of HnswIndex: construction, conversion to and from the persisted per-node lists, and
// the adjacency blocks. A block's per-list capacity starts at the configured cap (bounded, so a
// huge configured m costs nothing up front) and widens on demand, so lists of any length read
// from a file fit without ever writing past a node's slots.
#include "core/hnsw/graph.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "core/hnsw/huge_pages.h"
#include "core/hnsw/insert.h"
#include "core/quantization/simd/kernels.h"
#include "core/util/per_thread.h"

namespace tarnwell_core {
namespace {

// Capacity reserved up front per list; larger configured caps are reached by widening.
constexpr size_t kInitialCapLimit = 128;

size_t widened_cap(size_t current, size_t needed, uint64_t configured_cap) {
  const size_t doubled = current == 0 ? 4 : 2 * current;
  const size_t ceiling = std::max<size_t>(needed, configured_cap);
  return std::max(needed, std::min(doubled, ceiling));
}

}  // namespace

HnswIndex::HnswIndex(const HnswConfig& cfg, size_t dim)
    : config_(cfg),
      dimension_(dim),
      level0_cap_(std::min<uint64_t>(cfg.m_max0, kInitialCapLimit)),
      upper_cap_(std::min<uint64_t>(cfg.m, kInitialCapLimit)),
      level_seed_(os_level_seed()) {}

HnswIndex HnswIndex::from_fields(HnswIndexFields&& f) {
  HnswIndex idx(f.config, f.dimension);
  const uint32_t n = f.node_count;
  assert(f.neighbors.size() == n && f.layers.size() == n && f.deleted.size() == n);
  assert(!f.entry_point || *f.entry_point < n);

  size_t longest0 = 0;
  size_t longest_upper = 0;
  for (const auto& lists : f.neighbors) {
    for (size_t layer = 0; layer < lists.size(); ++layer) {
      size_t& longest = layer == 0 ? longest0 : longest_upper;
      longest = std::max(longest, lists[layer].size());
    }
  }
  idx.level0_cap_ = std::max(idx.level0_cap_, longest0);
  idx.upper_cap_ = std::max(idx.upper_cap_, longest_upper);

  reserve_on_huge_pages(idx.level0_, static_cast<size_t>(n) * (idx.level0_cap_ + 1));
  idx.level0_kept_.reserve(n);
  idx.upper_ref_.reserve(n);
  std::vector<uint32_t> kept;
  for (uint32_t i = 0; i < n; ++i) {
    const size_t list_count = i < f.neighbors.size() ? f.neighbors[i].size() : 0;
    idx.add_node_adjacency(std::max<size_t>(list_count, 1));
    for (size_t layer = 0; layer < list_count; ++layer) {
      // Validated data holds no out-of-range id; dropping any keeps the graph memory-safe.
      kept.clear();
      for (uint32_t x : f.neighbors[i][layer]) {
        assert(x < n);
        if (x < n) kept.push_back(x);
      }
      idx.set_list(i, layer, kept);
    }
  }
  f.neighbors.clear();
  f.neighbors.shrink_to_fit();

  idx.vector_data_ = std::move(f.vector_data);
  idx.raw_vectors_ = std::move(f.raw_vectors);
  idx.layers_ = std::move(f.layers);
  idx.deleted_ = std::move(f.deleted);
  idx.pq_codebook_ = std::move(f.pq_codebook);
  idx.pq_codes_ = std::move(f.pq_codes);
  idx.entry_point_ = f.entry_point;
  idx.max_level_ = f.max_level;
  idx.node_count_ = n;
  move_to_huge_pages(idx.vector_data_);
  move_to_huge_pages(idx.raw_vectors_);
  reserve_on_huge_pages(idx.meta_, n);
  for (uint32_t i = 0; i < n; ++i) {
    idx.meta_.push_back(idx.meta_of(&idx.vector_data_[static_cast<size_t>(i) * idx.dimension_],
                                    f.vector_min[i], f.vector_scale[i]));
    idx.append_raw_root(i);
  }
  return idx;
}

HnswIndexFields HnswIndex::to_fields() const {
  HnswIndexFields f;
  f.config = config_;
  f.vector_data = vector_data_;
  f.vector_min.resize(node_count_);
  f.vector_scale.resize(node_count_);
  for (uint32_t i = 0; i < node_count_; ++i) {
    f.vector_min[i] = meta_[i].min;
    f.vector_scale[i] = meta_[i].scale;
  }
  f.raw_vectors = raw_vectors_;
  f.neighbors.resize(node_count_);
  for (uint32_t i = 0; i < node_count_; ++i) {
    const size_t count = layer_list_count(i);
    f.neighbors[i].resize(count);
    for (size_t layer = 0; layer < count; ++layer) {
      const std::span<const uint32_t> ids = neighbors(i, layer);
      f.neighbors[i][layer].assign(ids.begin(), ids.end());
    }
  }
  f.layers = layers_;
  f.deleted = deleted_;
  f.pq_codebook = pq_codebook_;
  f.pq_codes = pq_codes_;
  f.entry_point = entry_point_;
  f.max_level = max_level_;
  f.dimension = dimension_;
  f.node_count = node_count_;
  return f;
}

void HnswIndex::reconstruct_into(uint32_t id, float* out) const {
  simd::kernels().dequantize_u8(&vector_data_[static_cast<size_t>(id) * dimension_], dimension_,
                                meta_[id].min, meta_[id].scale, out);
}

std::vector<float> HnswIndex::reconstruct(uint32_t id) const {
  std::vector<float> v(dimension_);
  reconstruct_into(id, v.data());
  return v;
}

bool HnswIndex::pq_usable() const {
  if (!pq_codebook_ || !pq_codebook_->well_formed()) return false;
  const uint64_t s = pq_codebook_->num_subspaces;
  return s * pq_codebook_->subspace_dim == dimension_ && pq_codes_.size() / s >= node_count_;
}

size_t HnswIndex::adjacency_bytes() const {
  return level0_.capacity() * sizeof(uint32_t) + upper_ref_.capacity() * sizeof(uint32_t) +
         upper_nodes_.capacity() * sizeof(UpperLists) + upper_.capacity() * sizeof(uint32_t) +
         meta_.capacity() * sizeof(NodeMeta) + raw_roots_.capacity() * sizeof(float) +
         level0_kept_.capacity();
}

HnswIndex::NodeMeta HnswIndex::meta_of(const uint8_t* codes, float min, float scale) const {
  const simd::KernelTable& k = simd::kernels();
  static PerThread<std::vector<float>> BUFFERS;
  std::vector<float>& buffer = BUFFERS.get();
  buffer.resize(dimension_);
  k.dequantize_u8(codes, dimension_, min, scale, buffer.data());
  const float norm_sq = k.norm_sq_f32(buffer.data(), dimension_);
  return {min, scale, std::sqrt(static_cast<double>(norm_sq))};
}

void HnswIndex::append_raw_root(uint32_t id) {
  if (raw_roots_.size() != id || dimension_ == 0 || raw_vectors_.size() / dimension_ <= id) return;
  const float* raw = raw_vectors_.data() + static_cast<size_t>(id) * dimension_;
  raw_roots_.push_back(std::sqrt(simd::kernels().norm_sq_f32(raw, dimension_)));
}

void HnswIndex::add_node_adjacency(size_t list_count) {
  const size_t node = upper_ref_.size();
  level0_.resize(level0_.size() + level0_cap_ + 1, 0);
  level0_kept_.push_back(kOrderUnknown);
  upper_ref_.push_back(kNoUpper);
  if (list_count > 1) ensure_list_count(static_cast<uint32_t>(node), list_count);
}

void HnswIndex::ensure_list_count(uint32_t node, size_t list_count) {
  const size_t have = layer_list_count(node);
  if (list_count <= have) return;
  const size_t stride = upper_cap_ + 1;
  const size_t upper_have = have - 1;
  const size_t upper_want = list_count - 1;
  uint32_t ref = upper_ref_[node];
  if (ref == kNoUpper) {
    ref = static_cast<uint32_t>(upper_nodes_.size());
    upper_nodes_.push_back({upper_.size(), 0});
    upper_ref_[node] = ref;
  }
  UpperLists& u = upper_nodes_[ref];
  if (u.offset + upper_have * stride != upper_.size()) {
    // Not the last block: move it to the end. Only lists read from a file can get here, so
    // the abandoned words are rare.
    const size_t old_offset = u.offset;
    u.offset = upper_.size();
    upper_.resize(upper_.size() + upper_have * stride);
    std::copy_n(upper_.begin() + old_offset, upper_have * stride, upper_.begin() + u.offset);
  }
  upper_.resize(upper_.size() + (upper_want - upper_have) * stride, 0);
  u.list_count = static_cast<uint32_t>(upper_want);
}

void HnswIndex::set_list(uint32_t node, size_t layer, std::span<const uint32_t> ids) {
  if (layer == 0 && ids.size() > level0_cap_) widen_level0(ids.size());
  if (layer > 0 && ids.size() > upper_cap_) widen_upper(ids.size());
  uint32_t* list = mutable_list(node, layer);
  assert(list != nullptr);
  list[0] = static_cast<uint32_t>(ids.size());
  std::copy(ids.begin(), ids.end(), list + 1);
  if (layer == 0) level0_kept_[node] = kOrderUnknown;
}

void HnswIndex::widen_level0(size_t needed) {
  const size_t cap = widened_cap(level0_cap_, needed, config_.m_max0);
  const size_t n = upper_ref_.size();
  std::vector<uint32_t> block(n * (cap + 1), 0);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t* from = &level0_[i * (level0_cap_ + 1)];
    std::copy_n(from, from[0] + 1, &block[i * (cap + 1)]);
  }
  level0_ = std::move(block);
  level0_cap_ = cap;
}

void HnswIndex::widen_upper(size_t needed) {
  const size_t cap = widened_cap(upper_cap_, needed, config_.m);
  std::vector<uint32_t> block;
  for (UpperLists& u : upper_nodes_) {
    const size_t offset = block.size();
    block.resize(offset + u.list_count * (cap + 1), 0);
    for (size_t l = 0; l < u.list_count; ++l) {
      const uint32_t* from = &upper_[u.offset + l * (upper_cap_ + 1)];
      std::copy_n(from, from[0] + 1, &block[offset + l * (cap + 1)]);
    }
    u.offset = offset;
  }
  upper_ = std::move(block);
  upper_cap_ = cap;
}

}  // namespace tarnwell_core
