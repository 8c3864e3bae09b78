// HnswIndex: the layered proximity graph of one collection over scalar-quantized vectors, with
// an optional full-precision copy and optional product-quantization codes. Per-node data lives
// in flat id-indexed arrays, in their persisted order, readable through const accessors;
// adjacency in one block with a fixed capacity per node for layer 0 and a second block that only
// nodes above layer 0 pay for. The state is private: it changes through insertion, tombstoning
// and the installation of product quantization, and HnswIndexFields (from_fields / to_fields) is
// the persisted form and the only way to set it wholesale.
// Levels of new nodes come from a per-index seed (see level_seed()), never persisted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/hnsw/config.h"
#include "core/quantization/pq.h"
#include "core/quantization/scalar.h"
#include "core/util/progress.h"

namespace tarnwell_core {

// A node and its distance to some target (smaller is closer).
struct ScoredNode {
  float distance;
  uint32_t id;
  bool operator==(const ScoredNode&) const = default;
};

// The fourteen persisted fields, adjacency as one list of ids per node and layer. A snapshot
// decoder fills it and the collection validates it before any index is built from it.
struct HnswIndexFields {
  HnswConfig config;
  std::vector<uint8_t> vector_data;
  std::vector<float> vector_min;
  std::vector<float> vector_scale;
  std::vector<float> raw_vectors;
  std::vector<std::vector<std::vector<uint32_t>>> neighbors;
  std::vector<uint8_t> layers;
  std::vector<uint8_t> deleted;  // 0 or 1
  std::optional<PqCodebook> pq_codebook;
  std::vector<uint8_t> pq_codes;
  std::optional<uint32_t> entry_point;
  uint64_t max_level = 0;
  uint64_t dimension = 0;
  uint32_t node_count = 0;

  bool operator==(const HnswIndexFields&) const = default;
};

class HnswIndex {
 public:
  // An empty index: no nodes, no entry point, max_level 0.
  HnswIndex(const HnswConfig& config, size_t dimension);

  // Takes the arrays over and builds the adjacency. The caller has validated that every
  // per-node array has node_count entries, every neighbour id is < node_count, node i has at
  // least layers[i] + 1 lists and entry_point < node_count. Lists of any length are accepted.
  static HnswIndex from_fields(HnswIndexFields&& fields);
  HnswIndexFields to_fields() const;

  // Adds node `id`, which must equal node_count; `vector` has `dimension` components and `q`
  // is its quantization. Only resource exhaustion can fail (std::bad_alloc): the index is then
  // unchanged, or, when it failed while linking, holds the node as a tombstone (node_count
  // tells which).
  void insert(uint32_t id, std::span<const float> vector, const QuantizedVector& q);

  // One vector of a batch insertion and its quantization.
  struct BatchNode {
    std::span<const float> vector;
    const QuantizedVector* q;
  };
  // Adds nodes node_count, node_count + 1, ... for `nodes` in order, the graph insertions running
  // on up to `threads` threads (the calling one among them) with a lock per node's lists and
  // one for the entry point; small batches, and graphs read from files whose lists do not
  // follow the levels, stay on the calling thread. `progress` hears (inserted, nodes.size())
  // on the calling thread. Only resource exhaustion can fail: every node the call stored is
  // then a tombstone (node_count tells how many), and the exception is rethrown.
  void insert_batch(std::span<const BatchNode> nodes, size_t threads,
                    const ProgressFn& progress = {});
  // Batches below this many nodes are inserted on the calling thread.
  static constexpr size_t kParallelMinBatch = 128;

  // The seed of the level draws: node `id` gets level_for_draw(level_draw(seed, id), ...) (see
  // core/hnsw/insert.h). Each index, whether new or built from fields, starts with a seed from
  // the operating system; nothing persists it. Being a pure function of seed and id, a draw
  // needs no state that concurrent insertions would have to share, and an index seeded alike
  // draws the same levels on any thread in any order, so tests set it for reproducible graphs.
  // Set it before insertions start.
  uint64_t level_seed() const { return level_seed_; }
  void set_level_seed(uint64_t seed) { level_seed_ = seed; }

  // The k nearest live nodes, ascending by precise distance; empty without an entry point.
  std::vector<ScoredNode> knn_search(std::span<const float> query, size_t k) const;

  // As knn_search, but a node is admitted as a result only if admit(id) is also true. admit is
  // called only for live nodes whose distance qualifies for the beam, at most once per node
  // per layer-0 pass. Defined in core/hnsw/search.h: include it to call this.
  template <class Admit>
  std::vector<ScoredNode> knn_search_filtered(std::span<const float> query, size_t k,
                                              Admit&& admit) const;

  // Tombstones a node; ids beyond `deleted` are ignored.
  void mark_deleted(uint32_t id) {
    if (id < deleted_.size()) deleted_[id] = 1;
  }

  // The node's stored vector as min + scale * code.
  std::vector<float> reconstruct(uint32_t id) const;
  void reconstruct_into(uint32_t id, float* out) const;

  // Number of adjacency lists of a node (its level + 1, or more for data read from a file).
  size_t layer_list_count(uint32_t node) const {
    const uint32_t ref = upper_ref_[node];
    return ref == kNoUpper ? 1 : 1 + upper_nodes_[ref].list_count;
  }

  // The node's neighbours on one layer; empty when it has no list there.
  std::span<const uint32_t> neighbors(uint32_t node, size_t layer) const {
    const uint32_t* list = list_address(node, layer);
    if (list == nullptr) return {};
    return {list + 1, list[0]};
  }

  // Where a node's list for a layer starts (its count word), or nullptr; for prefetching.
  const uint32_t* list_address(uint32_t node, size_t layer) const {
    if (layer == 0) return &level0_[static_cast<size_t>(node) * (level0_cap_ + 1)];
    const uint32_t ref = upper_ref_[node];
    if (ref == kNoUpper || layer > upper_nodes_[ref].list_count) return nullptr;
    return &upper_[upper_nodes_[ref].offset + (layer - 1) * (upper_cap_ + 1)];
  }

  // True when raw_vectors holds a full-precision copy of every node.
  bool has_raw_vectors() const {
    return dimension_ != 0 && raw_vectors_.size() / dimension_ >= node_count_ &&
           !raw_vectors_.empty();
  }

  // True when the PQ side store can serve every node: a well-formed codebook matching the
  // dimension and codes for every node.
  bool pq_usable() const;

  // Bytes held by the adjacency blocks and the per-node distance metadata (for memory
  // estimates).
  size_t adjacency_bytes() const;

  // What a distance to one node's codes reads besides the codes, packed so that one cache
  // line serves four nodes: the node's min and scale, and the root of the
  // reconstructed vector's squared norm in double precision (as the asymmetric cosine uses
  // it), computed once at insertion so that cosine costs one dot product per node.
  struct NodeMeta {
    float min;
    float scale;
    double root_codes;
  };
  const NodeMeta* node_meta() const { return meta_.data(); }
  // Per node with a raw copy: the f32 root of its squared norm (the exact cosine's).
  const float* raw_roots() const { return raw_roots_.data(); }
  size_t raw_root_count() const { return raw_roots_.size(); }

  // The scalar quantization parameters of a node (kept in its NodeMeta).
  float vector_min(uint32_t node) const { return meta_[node].min; }
  float vector_scale(uint32_t node) const { return meta_[node].scale; }

  // Read access to the state; it changes only through the methods above (and from_fields).
  const HnswConfig& config() const { return config_; }
  // Node-major scalar codes, dimension() per node.
  const std::vector<uint8_t>& vector_data() const { return vector_data_; }
  // Node-major full-precision copies; empty unless the configuration keeps them.
  const std::vector<float>& raw_vectors() const { return raw_vectors_; }
  const std::vector<uint8_t>& layers() const { return layers_; }    // per node: its level
  const std::vector<uint8_t>& deleted() const { return deleted_; }  // per node: 1 if tombstoned
  const std::optional<PqCodebook>& pq_codebook() const { return pq_codebook_; }
  // Node-major, num_subspaces per node.
  const std::vector<uint8_t>& pq_codes() const { return pq_codes_; }
  std::optional<uint32_t> entry_point() const { return entry_point_; }
  uint64_t max_level() const { return max_level_; }
  uint64_t dimension() const { return dimension_; }
  uint32_t node_count() const { return node_count_; }

  // The beam width of a search that does not ask for another.
  void set_ef_search(uint64_t ef) { config_.ef_search = ef; }
  // Installs a trained product quantizer with the codes of every node.
  void set_product_quantization(PqCodebook codebook, std::vector<uint8_t> codes) {
    pq_codebook_ = std::move(codebook);
    pq_codes_ = std::move(codes);
  }

 private:
  HnswConfig config_;
  std::vector<uint8_t> vector_data_;
  std::vector<float> raw_vectors_;
  std::vector<uint8_t> layers_;
  std::vector<uint8_t> deleted_;
  std::optional<PqCodebook> pq_codebook_;
  std::vector<uint8_t> pq_codes_;
  std::optional<uint32_t> entry_point_;
  uint64_t max_level_ = 0;
  uint64_t dimension_ = 0;
  uint32_t node_count_ = 0;

  static constexpr uint32_t kNoUpper = 0xFFFFFFFF;
  // level0_kept_ value of a layer-0 list not known to be in selection order.
  static constexpr uint8_t kOrderUnknown = 0xFF;

  // Upper-layer lists of one node: list_count lists of upper_cap_ + 1 words from offset.
  struct UpperLists {
    uint64_t offset;
    uint32_t list_count;
  };

  size_t cap_of_layer(size_t layer) const { return layer == 0 ? config_.m_max0 : config_.m; }
  uint32_t* mutable_list(uint32_t node, size_t layer) {
    return const_cast<uint32_t*>(list_address(node, layer));
  }
  // Appends the adjacency of a new node with `list_count` empty lists.
  void add_node_adjacency(size_t list_count);
  // Gives `node` at least `list_count` lists, new ones empty.
  void ensure_list_count(uint32_t node, size_t list_count);
  // Replaces a list, widening the block first when it does not fit. A layer-0 list set here is
  // not known to be in selection order.
  void set_list(uint32_t node, size_t layer, std::span<const uint32_t> ids);
  void widen_level0(size_t needed);
  void widen_upper(size_t needed);
  void store_node(std::span<const float> vector, const QuantizedVector& q, size_t level);
  // The distance metadata of a vector with these codes.
  NodeMeta meta_of(const uint8_t* codes, float min, float scale) const;
  // Appends the raw root of node `id` if it has a raw copy and every earlier node has a root.
  void append_raw_root(uint32_t id);
  // Links new_id into node's list at `layer`, pruning on overflow; false if pruning dropped it.
  bool link_back(uint32_t node, size_t layer, uint32_t new_id);
  // Replaces the tombstone in node's list farthest from node by new_id, if there is one.
  void adopt_in_place_of_tombstone(uint32_t node, size_t layer, uint32_t new_id);
  // The node's full-precision vector: its raw copy, or its reconstruction in `buffer`.
  const float* node_vector(uint32_t node, std::vector<float>& buffer) const;

  friend struct InsertDriver;
  // True when every neighbour listed on a layer has a list on that layer and the entry point
  // has lists up to max_level, so that linking never adds lists (which moves blocks) and
  // concurrent insertion may proceed. Insertion keeps it; checked once for lists from a file.
  bool lists_follow_levels();

  std::vector<NodeMeta> meta_;
  std::vector<float> raw_roots_;  // one per node while every node has a raw copy
  // Layer 0: node i owns words [i * (level0_cap_ + 1), ...): a count, then level0_cap_ slots.
  std::vector<uint32_t> level0_;
  size_t level0_cap_ = 0;
  // Per node: how many leading entries of its layer-0 list the diversity rule kept, when the
  // list is a selection's own result (see reselect_with_candidate), else kOrderUnknown. Lets a
  // prune measure only what the newcomer changes. Derived, never persisted: lists read from a
  // file start unknown and acquire it at their first prune.
  std::vector<uint8_t> level0_kept_;
  // Upper layers: upper_ref_[i] indexes upper_nodes_, or is kNoUpper for layer-0-only nodes.
  std::vector<uint32_t> upper_ref_;
  std::vector<UpperLists> upper_nodes_;
  std::vector<uint32_t> upper_;
  size_t upper_cap_ = 0;
  uint64_t level_seed_;
  bool lists_follow_levels_ = false;  // known to hold (see lists_follow_levels())
};

}  // namespace tarnwell_core
