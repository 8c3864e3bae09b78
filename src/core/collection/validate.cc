// Validation of a collection read from a file, and the construction of a Collection from it.
// The thirteen documented checks run first, in order, with their fixed messages; then the
// checks that keep every later insert, delete, search and rebuild inside its arrays and loops.
// Nothing here trusts a count or an id from the file before comparing it with node_count.
#include <algorithm>
#include <string>

#include "core/collection/collection.h"

namespace tarnwell_core {
namespace {

using u128 = unsigned __int128;

std::string str(uint64_t v) { return std::to_string(v); }

Status bad(std::string msg) { return Status::invalid_data(std::move(msg)); }

// A stored name is held to the rules of a new one (it becomes a file name).
Status check_name(const std::string& name) {
  if (Status s = validate_collection_name(name); !s.ok()) return bad("stored " + s.message());
  return {};
}

// The thirteen checks every loaded collection has always been held to.
Status check_documented(const CollectionFields& f) {
  const HnswIndexFields& h = f.hnsw;
  const uint64_t n = h.node_count;
  const uint64_t d = f.dimension;
  if (h.dimension != d) {
    return bad("HNSW dimension " + str(h.dimension) + " != collection dimension " + str(d));
  }
  if (u128{h.vector_data.size()} != u128{n} * d) {
    return bad("vector_data length " + str(h.vector_data.size()) + " != node_count(" + str(n) +
               ") * dimension(" + str(d) + ")");
  }
  if (h.vector_min.size() != n) {
    return bad("vector_min length " + str(h.vector_min.size()) + " != node_count " + str(n));
  }
  if (h.vector_scale.size() != n) {
    return bad("vector_scale length " + str(h.vector_scale.size()) + " != node_count " + str(n));
  }
  if (h.neighbors.size() != n) {
    return bad("neighbors length " + str(h.neighbors.size()) + " != node_count " + str(n));
  }
  if (h.layers.size() != n) {
    return bad("layers length " + str(h.layers.size()) + " != node_count " + str(n));
  }
  if (h.deleted.size() != n) {
    return bad("deleted length " + str(h.deleted.size()) + " != node_count " + str(n));
  }
  if (h.pq_codebook) {
    const uint64_t s = h.pq_codebook->num_subspaces;
    if (u128{h.pq_codes.size()} != u128{n} * s) {
      return bad("pq_codes length " + str(h.pq_codes.size()) + " != node_count(" + str(n) +
                 ") * num_subspaces(" + str(s) + ")");
    }
  }
  if (f.uuid_to_internal.size() != f.internal_to_uuid.size()) {
    return bad("uuid_to_internal(" + str(f.uuid_to_internal.size()) + ") != internal_to_uuid(" +
               str(f.internal_to_uuid.size()) + ")");
  }
  if (f.internal_to_uuid.size() != n) {
    return bad("internal_to_uuid length " + str(f.internal_to_uuid.size()) + " != node_count " +
               str(n));
  }
  if (f.documents.size() > n) {
    return bad("documents(" + str(f.documents.size()) + ") > node_count(" + str(n) + ")");
  }
  if (h.entry_point && *h.entry_point >= n) {
    return bad("entry_point " + str(*h.entry_point) + " >= node_count " + str(n));
  }
  if (!h.entry_point && n == 0) return {};
  for (size_t i = 0; i < h.neighbors.size(); ++i) {
    for (size_t layer = 0; layer < h.neighbors[i].size(); ++layer) {
      for (uint32_t x : h.neighbors[i][layer]) {
        if (x >= n) {
          return bad("neighbor " + str(x) + " out of bounds (node_count=" + str(n) + ") at node " +
                     str(i) + " layer " + str(layer));
        }
      }
    }
  }
  return {};
}

// The configuration rules new collections are created under, and what the index relies on.
Status check_config(const HnswConfig& c, uint64_t dimension) {
  if (dimension == 0) return bad("collection dimension is 0");
  if (c.m < 2) return bad("config m " + str(c.m) + " < 2");
  if (c.ef_construction == 0) return bad("config ef_construction is 0");
  if (c.max_layers == 0 || c.max_layers > 255) {
    return bad("config max_layers " + str(c.max_layers) + " outside 1..255");
  }
  if (c.m_max0 < c.m) return bad("config m_max0 " + str(c.m_max0) + " < m " + str(c.m));
  if (c.pq_subspaces != 0 && dimension % c.pq_subspaces != 0) {
    return bad("config pq_subspaces " + str(c.pq_subspaces) + " does not divide dimension " +
               str(dimension));
  }
  return {};
}

// Building the index lays each layer's lists out at the longest list's capacity (see graph.h). A
// file may not make that cost more than a small multiple of its own size: one over-long list
// among many short ones would otherwise cost node_count times its length.
constexpr uint64_t kAdjacencyBytesPerFileByte = 32;
constexpr uint64_t kAdjacencyBytesAllowance = uint64_t{64} << 20;

Status check_adjacency_size(const HnswIndexFields& h, uint64_t source_bytes) {
  if (source_bytes == 0) return {};
  uint64_t longest0 = 0, longest_upper = 0, upper_lists = 0;
  for (const auto& lists : h.neighbors) {
    if (!lists.empty()) longest0 = std::max<uint64_t>(longest0, lists[0].size());
    for (size_t layer = 1; layer < lists.size(); ++layer) {
      longest_upper = std::max<uint64_t>(longest_upper, lists[layer].size());
    }
    if (lists.size() > 1) upper_lists += lists.size() - 1;
  }
  const u128 words = u128{h.node_count} * (longest0 + 1) +
                     u128{upper_lists} * (longest_upper + 1);
  const u128 allowed = u128{source_bytes} * kAdjacencyBytesPerFileByte + kAdjacencyBytesAllowance;
  if (words * 4 > allowed) {
    return bad("neighbour lists would take " + str(static_cast<uint64_t>(words * 4 >> 20)) +
               " MiB for a body of " + str(source_bytes) + " bytes");
  }
  return {};
}

// Vectors, levels and adjacency; the per-node lengths are already known to equal node_count.
Status check_index(const HnswIndexFields& h) {
  const uint64_t n = h.node_count;
  const HnswConfig& c = h.config;
  if (c.store_raw_vectors) {
    if (u128{h.raw_vectors.size()} != u128{n} * h.dimension) {
      return bad("raw_vectors length " + str(h.raw_vectors.size()) + " != node_count(" + str(n) +
                 ") * dimension(" + str(h.dimension) + ")");
    }
  } else if (!h.raw_vectors.empty()) {
    return bad("raw_vectors length " + str(h.raw_vectors.size()) +
               " but store_raw_vectors is false");
  }
  if (h.max_level > 255) return bad("max_level " + str(h.max_level) + " > 255");
  if (h.entry_point && h.max_level != h.layers[*h.entry_point]) {
    return bad("max_level " + str(h.max_level) + " != level " + str(h.layers[*h.entry_point]) +
               " of entry_point " + str(*h.entry_point));
  }
  for (size_t i = 0; i < n; ++i) {
    const uint64_t level = h.layers[i];
    const size_t lists = h.neighbors[i].size();
    if (level >= c.max_layers) {
      return bad("node " + str(i) + " level " + str(level) + " >= max_layers " + str(c.max_layers));
    }
    if (lists < level + 1) {
      return bad("node " + str(i) + " has " + str(lists) + " adjacency lists for level " +
                 str(level));
    }
    if (lists > c.max_layers) {
      return bad("node " + str(i) + " has " + str(lists) + " adjacency lists, more than " +
                 "max_layers " + str(c.max_layers));
    }
    // Insertion never makes a list longer than its layer's cap.
    for (size_t layer = 0; layer < lists; ++layer) {
      const uint64_t cap = layer == 0 ? c.m_max0 : c.m;
      if (h.neighbors[i][layer].size() > cap) {
        return bad("node " + str(i) + " layer " + str(layer) + " has " +
                   str(h.neighbors[i][layer].size()) + " neighbours, more than its cap " +
                   str(cap));
      }
    }
  }
  if (h.pq_codebook) {
    const PqCodebook& b = *h.pq_codebook;
    if (b.num_centroids != PQ_NUM_CENTROIDS) {
      return bad("pq_codebook num_centroids " + str(b.num_centroids) +
                 " != " + str(PQ_NUM_CENTROIDS));
    }
    if (u128{b.num_subspaces} * b.subspace_dim != h.dimension) {
      return bad("pq_codebook num_subspaces(" + str(b.num_subspaces) + ") * subspace_dim(" +
                 str(b.subspace_dim) + ") != dimension " + str(h.dimension));
    }
    // num_subspaces * subspace_dim is the dimension, so this product cannot overflow.
    const uint64_t want = b.num_subspaces * PQ_NUM_CENTROIDS * b.subspace_dim;
    if (b.centroids.size() != want) {
      return bad("pq_codebook centroids length " + str(b.centroids.size()) + " != " + str(want));
    }
  }
  return {};
}

// The id tables are inverse to each other, and every document sits under its own id and has a
// node.
Status check_tables(const CollectionFields& f) {
  const uint64_t n = f.hnsw.node_count;
  for (const auto& [id, p] : f.uuid_to_internal) {
    if (p >= n) {
      return bad("uuid_to_internal maps " + id.to_string() + " to " + str(p) +
                 " (node_count=" + str(n) + ")");
    }
    if (f.internal_to_uuid[p] != id) {
      return bad("uuid_to_internal maps " + id.to_string() + " to " + str(p) +
                 " but internal_to_uuid[" + str(p) + "] is " + f.internal_to_uuid[p].to_string());
    }
  }
  std::vector<bool> stored(n, false);
  for (size_t i = 0; i < f.documents.size(); ++i) {
    const Uuid& id = f.documents.keys[i];
    if (f.documents.ids[i] != id) {
      return bad("documents key " + id.to_string() + " holds document " +
                 f.documents.ids[i].to_string());
    }
    const auto it = f.uuid_to_internal.find(id);
    if (it == f.uuid_to_internal.end()) {
      return bad("document " + id.to_string() + " has no internal id");
    }
    if (stored[it->second]) return bad("document " + id.to_string() + " is stored twice");
    stored[it->second] = true;
  }
  return {};
}

// Keeps removals from wrapping the counters and later insertions from inheriting postings.
Status check_bm25(const InvertedIndex& b, uint64_t n) {
  if (b.doc_lengths.size() > n) {
    return bad("bm25 doc_lengths length " + str(b.doc_lengths.size()) + " > node_count " + str(n));
  }
  uint64_t sum = 0;
  uint64_t indexed = 0;
  for (uint32_t len : b.doc_lengths) {
    sum += len;
    indexed += len != 0;
  }
  if (b.total_length < sum) {
    return bad("bm25 total_length " + str(b.total_length) + " < sum of doc_lengths " + str(sum));
  }
  if (b.doc_count < indexed) {
    return bad("bm25 doc_count " + str(b.doc_count) + " < indexed documents " + str(indexed));
  }
  for (const auto& [term, list] : b.postings) {
    for (const Posting& p : list) {
      if (p.doc_id >= n) {
        return bad("bm25 posting of doc " + str(p.doc_id) + " out of bounds (node_count=" + str(n) +
                   ")");
      }
    }
  }
  return {};
}

}  // namespace

Status validate(const CollectionFields& fields) {
  RETURN_IF_ERROR(check_documented(fields));
  RETURN_IF_ERROR(check_name(fields.name));
  RETURN_IF_ERROR(check_config(fields.hnsw.config, fields.dimension));
  RETURN_IF_ERROR(check_index(fields.hnsw));
  RETURN_IF_ERROR(check_adjacency_size(fields.hnsw, fields.source_bytes));
  RETURN_IF_ERROR(check_tables(fields));
  RETURN_IF_ERROR(check_bm25(fields.bm25, fields.hnsw.node_count));
  return {};
}

std::shared_ptr<Collection> Collection::from_fields(CollectionFields&& validated) {
  CollectionFields& f = validated;
  HnswIndex index = HnswIndex::from_fields(std::move(f.hnsw));
  // Every document is under its own internal id (validated, once each).
  std::vector<uint32_t> target;
  target.reserve(f.documents.size());
  for (const Uuid& key : f.documents.keys) target.push_back(f.uuid_to_internal.find(key)->second);
  f.uuid_to_internal = {};
  IdTable ids(std::move(f.internal_to_uuid));
  DocumentStore store = std::move(f.documents.records).renumbered(target, ids.size());
  return std::make_shared<Collection>(CollectionData(std::move(f.name), f.dimension,
                                                     std::move(store), std::move(index),
                                                     std::move(f.bm25), std::move(ids)));
}

Status validate_collection_name(std::string_view name) {
  if (name.empty()) return Status::invalid_argument("collection name must not be empty");
  if (name == "." || name == "..") {
    return Status::invalid_argument("collection name '" + std::string(name) +
                                    "' is not a valid file name");
  }
  if (name.find('/') != std::string_view::npos) {
    return Status::invalid_argument("collection name '" + std::string(name) +
                                    "' must not contain '/'");
  }
  if (name.find('\0') != std::string_view::npos) {
    return Status::invalid_argument("collection name must not contain a NUL character");
  }
  if (name.size() > MAX_COLLECTION_NAME_BYTES) {
    return Status::invalid_argument("collection name is " + std::to_string(name.size()) +
                                    " bytes long; at most " +
                                    std::to_string(MAX_COLLECTION_NAME_BYTES) + " are allowed");
  }
  return Status();
}

}  // namespace tarnwell_core
