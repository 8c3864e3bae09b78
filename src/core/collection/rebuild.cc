// Rebuild: fresh indexes and id tables over the live documents, ids renumbered densely from 0.
// The slow part (graph construction, PQ training) runs with no lock held while searches go on
// against the installed indexes; the swap and the catch-up with changes made meanwhile run
// under the exclusive lock. A failed PQ training returns an error before anything is swapped.
#include <algorithm>
#include <unordered_map>
#include <utility>

#include "core/quantization/scalar.h"
#include "core/collection/collection.h"

namespace tarnwell_core {
namespace {

// The stored form of node p as full-precision values: the raw copy when there is one, else
// min + code * scale in single precision (the inverse of the scalar quantization).
void stored_vector(const HnswIndex& index, uint32_t p, float* out) {
  const size_t dim = index.dimension;
  const size_t at = static_cast<size_t>(p) * dim;
  if (index.has_raw_vectors()) {
    std::copy_n(index.raw_vectors.data() + at, dim, out);
    return;
  }
  const float min = index.vector_min[p];
  const float scale = index.vector_scale[p];
  for (size_t j = 0; j < dim; ++j) {
    const float step = static_cast<float>(index.vector_data[at + j]) * scale;
    out[j] = min + step;
  }
}

// What a rebuild works from: the live documents with their node's vector, laid end to end.
struct Collected {
  std::vector<std::shared_ptr<const Document>> docs;
  std::vector<float> vectors;  // docs.size() x dimension
};

struct NewIndexes {
  HnswIndex hnsw;
  InvertedIndex bm25;
  UuidToInternal uuid_to_internal;
  std::vector<Uuid> internal_to_uuid;
  MetadataIndex metadata;
};

// Builds the new structures over `c`, training product quantization when configured.
Result<NewIndexes> build(const Collected& c, const HnswConfig& config, uint64_t dimension,
                         const BatchOptions& options) {
  NewIndexes out{HnswIndex(config, dimension), {}, {}, {}, {}};
  const size_t n = c.docs.size();
  out.uuid_to_internal.reserve(n);
  out.internal_to_uuid.reserve(n);
  std::vector<QuantizedVector> q;
  std::vector<HnswIndex::BatchNode> nodes;
  q.reserve(n);
  nodes.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const auto id = static_cast<uint32_t>(i);
    const std::span<const float> v(c.vectors.data() + i * dimension, dimension);
    out.uuid_to_internal.emplace(c.docs[i]->id, id);
    out.internal_to_uuid.push_back(c.docs[i]->id);
    out.bm25.add_document(id, c.docs[i]->text);
    out.metadata.add(id, c.docs[i]->metadata);
    q.push_back(QuantizedVector::quantize(v));
    nodes.push_back({v, &q.back()});
  }
  const size_t threads = options.thread_count();
  out.hnsw.insert_batch(nodes, threads, options.progress);
  q = {};
  if (config.pq_subspaces == 0 || out.hnsw.node_count == 0) return out;

  std::vector<float> training;
  std::span<const float> vectors = out.hnsw.raw_vectors;
  if (!out.hnsw.has_raw_vectors()) {
    training.resize(n * dimension);
    for (size_t i = 0; i < n; ++i) {
      stored_vector(out.hnsw, static_cast<uint32_t>(i), training.data() + i * dimension);
    }
    vectors = training;
  }
  Result<PqCodebook> book = PqCodebook::train(vectors, dimension, config.pq_subspaces);
  if (!book) {
    return Err(
        Status::invalid_data("product quantization training failed: " + book.error().message()));
  }
  Result<std::vector<uint8_t>> codes = book->encode_batch(vectors, dimension);
  if (!codes) {
    return Err(
        Status::invalid_data("product quantization encoding failed: " + codes.error().message()));
  }
  out.hnsw.pq_codebook = std::move(*book);
  out.hnsw.pq_codes = std::move(*codes);
  return out;
}

}  // namespace

Result<size_t> Collection::rebuild(const BatchOptions& options) {
  Collected collected;
  HnswConfig config;
  {
    std::shared_lock lock(mu_);
    const CollectionData& d = data_;
    config = d.hnsw.config;
    collected.docs.reserve(d.documents.size());
    collected.vectors.reserve(d.documents.size() * dimension_);
    // In internal id order, so that the rebuilt collection keeps the insertion order (scans
    // rely on it) and the same state always rebuilds alike.
    for (uint32_t p = 0; p < live_.size() && p < d.hnsw.node_count; ++p) {
      const Document* doc = live_[p];
      if (doc == nullptr) continue;
      collected.docs.push_back(owner(doc));
      collected.vectors.resize(collected.vectors.size() + dimension_);
      stored_vector(d.hnsw, p, collected.vectors.data() + collected.vectors.size() - dimension_);
    }
  }
  const size_t n = collected.docs.size();

  ASSIGN_OR_RETURN(NewIndexes built, build(collected, config, dimension_, options));
  collected.vectors = {};

  // The replaced structures are freed after the lock is released.
  NewIndexes old{HnswIndex(config, dimension_), {}, {}, {}, {}};
  {
    std::unique_lock lock(mu_);
    CollectionData& d = data_;
    // Documents inserted (or replaced) since they were collected, with their vectors from the
    // still-installed index.
    std::unordered_map<Uuid, uint32_t, UuidHash> collected_at;
    collected_at.reserve(n);
    for (size_t i = 0; i < n; ++i) collected_at.emplace(collected.docs[i]->id, i);
    std::vector<std::shared_ptr<const Document>> late;
    std::vector<float> late_vectors;
    for (const auto& entry : d.documents) {
      const auto c = collected_at.find(entry.first);
      if (c != collected_at.end() && collected.docs[c->second] == entry.second) continue;
      const auto it = d.uuid_to_internal.find(entry.first);
      if (it == d.uuid_to_internal.end() || it->second >= d.hnsw.node_count) continue;
      late.push_back(entry.second);
      late_vectors.resize(late_vectors.size() + dimension_);
      stored_vector(d.hnsw, it->second, late_vectors.data() + late_vectors.size() - dimension_);
    }

    old.hnsw = std::exchange(d.hnsw, std::move(built.hnsw));
    old.bm25 = std::exchange(d.bm25, std::move(built.bm25));
    old.uuid_to_internal = std::exchange(d.uuid_to_internal, std::move(built.uuid_to_internal));
    old.internal_to_uuid = std::exchange(d.internal_to_uuid, std::move(built.internal_to_uuid));
    old.metadata = std::exchange(metadata_, std::move(built.metadata));
    rebuild_live_table();
    layout_ = next_layout();  // scan cursors taken before now no longer apply
    // A collected document deleted or replaced meanwhile must not stay live in the new indexes.
    for (size_t i = 0; i < n; ++i) {
      if (live_[i] != collected.docs[i].get()) unindex_locked(static_cast<uint32_t>(i));
    }
    std::vector<PendingInsert> pending;
    pending.reserve(late.size());
    for (size_t j = 0; j < late.size(); ++j) {
      pending.push_back(
          pend(std::move(late[j]), std::span(late_vectors.data() + j * dimension_, dimension_)));
    }
    reserve_locked(pending);
    for (PendingInsert& p : pending) commit_locked(p);
  }
  return n;
}

}  // namespace tarnwell_core
