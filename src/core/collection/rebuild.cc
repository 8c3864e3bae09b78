// Rebuild: fresh indexes and id tables over the live documents, ids renumbered densely from 0.
// The slow part (graph construction, PQ training) runs with no lock held while searches go on
// against the installed indexes; the swap and the catch-up with changes made meanwhile run
// under the exclusive lock. A failed PQ training returns an error before anything is swapped.
#include <algorithm>
#include <utility>

#include "core/quantization/scalar.h"
#include "core/collection/collection.h"

namespace tarnwell_core {
namespace {

// The stored form of node p as full-precision values: the raw copy when there is one, else
// min + code * scale in single precision (the inverse of the scalar quantization).
void stored_vector(const HnswIndex& index, uint32_t p, float* out) {
  const size_t dim = index.dimension();
  const size_t at = static_cast<size_t>(p) * dim;
  if (index.has_raw_vectors()) {
    std::copy_n(index.raw_vectors().data() + at, dim, out);
    return;
  }
  const float min = index.vector_min(p);
  const float scale = index.vector_scale(p);
  for (size_t j = 0; j < dim; ++j) {
    const float step = static_cast<float>(index.vector_data()[at + j]) * scale;
    out[j] = min + step;
  }
}

// What a rebuild works from: the live documents as stored, renumbered from 0, with the internal
// id each had and its node's vector, laid end to end.
struct Collected {
  std::vector<uint32_t> old_ids;
  std::vector<Uuid> uuids;
  DocumentStore store;
  std::vector<float> vectors;  // old_ids.size() x dimension
};

struct NewIndexes {
  HnswIndex hnsw;
  InvertedIndex bm25;
  IdTable ids;
  DocumentStore documents;
  MetadataIndex metadata;
};

// Builds the new structures over `c`, training product quantization when configured.
Result<NewIndexes> build(Collected& c, const HnswConfig& config, uint64_t dimension,
                         const BatchOptions& options) {
  const size_t n = c.old_ids.size();
  NewIndexes out{HnswIndex(config, dimension), {}, IdTable(std::move(c.uuids)),
                 std::move(c.store), {}};
  std::vector<QuantizedVector> q;
  std::vector<HnswIndex::BatchNode> nodes;
  q.reserve(n);
  nodes.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const auto id = static_cast<uint32_t>(i);
    const std::span<const float> v(c.vectors.data() + i * dimension, dimension);
    out.bm25.add_document(id, out.documents.text(id));
    out.metadata.add(id, out.documents.metadata(id));
    q.push_back(QuantizedVector::quantize(v));
    nodes.push_back({v, &q.back()});
  }
  const size_t threads = options.thread_count();
  out.hnsw.insert_batch(nodes, threads, options.progress);
  q = {};
  if (config.pq_subspaces == 0 || out.hnsw.node_count() == 0) return out;

  std::vector<float> training;
  std::span<const float> vectors = out.hnsw.raw_vectors();
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
  out.hnsw.set_product_quantization(std::move(*book), std::move(*codes));
  return out;
}

}  // namespace

Result<size_t> Collection::rebuild(const BatchOptions& options) {
  Collected collected;
  HnswConfig config;
  {
    std::shared_lock lock(mu_);
    const CollectionData& d = data_;
    config = d.hnsw.config();
    const DocumentStore& store = d.documents;
    const size_t live = store.size();
    collected.old_ids.reserve(live);
    collected.uuids.reserve(live);
    collected.vectors.reserve(live * dimension_);
    size_t bytes = 0;
    for (uint32_t p = 0; p < store.slot_count(); ++p) {
      if (store.live(p)) bytes += store.record(p).size();
    }
    collected.store.reserve(live, bytes);
    // In internal id order, so that the rebuilt collection keeps the insertion order (scans
    // rely on it) and the same state always rebuilds alike.
    for (uint32_t p = 0; p < store.slot_count() && p < d.hnsw.node_count(); ++p) {
      if (!store.live(p)) continue;
      const auto i = static_cast<uint32_t>(collected.old_ids.size());
      collected.old_ids.push_back(p);
      collected.uuids.push_back(d.ids[p]);
      collected.store.put(i, store.text(p), store.metadata_bytes(p));
      collected.vectors.resize(collected.vectors.size() + dimension_);
      stored_vector(d.hnsw, p, collected.vectors.data() + collected.vectors.size() - dimension_);
    }
  }
  const std::vector<uint32_t>& old_ids = collected.old_ids;
  const size_t n = old_ids.size();

  ASSIGN_OR_RETURN(NewIndexes built, build(collected, config, dimension_, options));
  collected.vectors = {};

  // The replaced structures are freed after the lock is released.
  NewIndexes old{HnswIndex(config, dimension_), {}, {}, {}, {}};
  {
    std::unique_lock lock(mu_);
    CollectionData& d = data_;
    // A collected document deleted or changed since is taken out of the new indexes; documents
    // inserted or changed since go in anew, with their vectors from the still-installed index.
    std::vector<bool> unchanged(d.documents.slot_count(), false);
    std::vector<uint32_t> stale;
    for (size_t i = 0; i < n; ++i) {
      const uint32_t p = old_ids[i];
      const auto id = static_cast<uint32_t>(i);
      if (d.documents.live(p) && d.documents.record(p) == built.documents.record(id)) {
        unchanged[p] = true;
      } else {
        stale.push_back(id);
      }
    }
    std::vector<Document> late;
    std::vector<float> late_vectors;
    for (uint32_t p = 0; p < d.documents.slot_count() && p < d.hnsw.node_count(); ++p) {
      if (!d.documents.live(p) || unchanged[p]) continue;
      late.push_back(d.document(p));
      late_vectors.resize(late_vectors.size() + dimension_);
      stored_vector(d.hnsw, p, late_vectors.data() + late_vectors.size() - dimension_);
    }

    old.hnsw = std::exchange(d.hnsw, std::move(built.hnsw));
    old.bm25 = std::exchange(d.bm25, std::move(built.bm25));
    old.ids = std::exchange(d.ids, std::move(built.ids));
    old.documents = std::exchange(d.documents, std::move(built.documents));
    old.metadata = std::exchange(metadata_, std::move(built.metadata));
    layout_ = next_layout();  // scan cursors taken before now no longer apply
    for (const uint32_t i : stale) unindex_locked(i);
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
