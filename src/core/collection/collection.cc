// The collection store: construction, insertion, deletion, lookup and the memory estimate.
// Every internal id keeps its own UUID in the id table and at most one node per document
// id is live: inserting an id that was used before retires its earlier internal id, which keeps
// a fresh random id of its own and stays tombstoned until a rebuild reclaims it.
#include "core/collection/collection.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <utility>

#include "core/quantization/scalar.h"
#include "core/util/os_random.h"

namespace tarnwell_core {
namespace {

// A random version-4 id. Retiring an id must not fail, so when the operating system's source
// does, a shared generator stands in: retired ids only need to be unique in one collection,
// which the caller checks.
Uuid random_uuid() {
  if (Result<Uuid> u = Uuid::new_v4()) return *u;
  static std::atomic<uint64_t> STATE{
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
  Uuid u;
  for (size_t half = 0; half < 2; ++half) {
    // splitmix64
    uint64_t z = STATE.fetch_add(0x9e3779b97f4a7c15ULL) + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    std::memcpy(u.bytes.data() + 8 * half, &z, 8);
  }
  u.bytes[6] = static_cast<uint8_t>((u.bytes[6] & 0x0F) | 0x40);
  u.bytes[8] = static_cast<uint8_t>((u.bytes[8] & 0x3F) | 0x80);
  return u;
}

Uuid fresh_retired_id(const IdTable& taken) {
  for (;;) {
    const Uuid u = random_uuid();
    if (!taken.contains(u)) return u;
  }
}

}  // namespace

Status check_dimension(size_t got, uint64_t dimension) {
  if (got == dimension) return Status();
  return Status::invalid_argument("embedding dimension mismatch: expected " +
                                  std::to_string(dimension) + ", got " + std::to_string(got));
}

Status check_embedding(std::span<const float> embedding, uint64_t dimension) {
  RETURN_IF_ERROR(check_dimension(embedding.size(), dimension));
  for (size_t i = 0; i < embedding.size(); ++i) {
    if (!std::isfinite(embedding[i])) {
      return Status::invalid_argument("embedding contains a non-finite value at index " +
                                      std::to_string(i));
    }
  }
  return Status();
}

CollectionData::CollectionData(std::string name, uint64_t dimension, const HnswConfig& config)
    : name(std::move(name)), dimension(dimension), hnsw(config, dimension) {}

CollectionData::CollectionData(std::string name, uint64_t dimension, DocumentStore documents,
                               HnswIndex hnsw, InvertedIndex bm25, IdTable ids)
    : name(std::move(name)),
      dimension(dimension),
      documents(std::move(documents)),
      hnsw(std::move(hnsw)),
      bm25(std::move(bm25)),
      ids(std::move(ids)) {}

Document CollectionData::document(uint32_t p) const {
  return Document(ids[p], std::string(documents.text(p)), documents.metadata(p));
}

Collection::Collection(std::string name, uint64_t dimension, const HnswConfig& config)
    : dimension_(dimension), data_(std::move(name), dimension, config) {}

Collection::Collection(CollectionData data) : dimension_(data.dimension), data_(std::move(data)) {
  std::vector<bool> live(data_.ids.size());
  for (uint32_t p = 0; p < live.size(); ++p) live[p] = data_.documents.live(p);
  data_.bm25.recount(live);
  rebuild_metadata_index();
}

void Collection::rebuild_metadata_index() {
  MetadataIndex fresh;
  for (uint32_t p = 0; p < data_.documents.slot_count(); ++p) {
    if (data_.documents.live(p)) fresh.add(p, data_.documents.metadata(p));
  }
  metadata_ = std::move(fresh);
}

std::shared_ptr<const Document> Collection::result_document(uint32_t p) const {
  if (!data_.documents.live(p)) return nullptr;
  return std::make_shared<const Document>(data_.document(p));
}

void Collection::unindex_locked(uint32_t p) {
  unlink_locked(p);
  data_.bm25.remove_document(p);
}

void Collection::unlink_locked(uint32_t p) {
  data_.hnsw.mark_deleted(p);
  metadata_.remove(p);
  data_.documents.erase(p);
}

Collection::PendingInsert Collection::pend(Document doc, std::span<const float> embedding) {
  PendingInsert p;
  p.q = QuantizedVector::quantize(embedding);
  p.text = PreparedText::of(doc.text);
  p.metadata = encode_compact_metadata(doc.metadata);
  p.doc = std::move(doc);
  p.embedding = embedding;
  return p;
}

void Collection::reserve_locked(std::span<PendingInsert> pending) {
  CollectionData& d = data_;
  size_t bytes = 0;
  for (const PendingInsert& p : pending) {
    bytes += DocumentStore::record_size(p.doc.text, p.metadata);
  }
  // Each insert issues one id: its own (an earlier id of the same document is re-keyed).
  d.ids.reserve(pending.size());
  d.documents.reserve(d.ids.size() + pending.size(), bytes);
  const auto first = static_cast<uint32_t>(d.ids.size());
  std::vector<PreparedText*> texts;
  texts.reserve(pending.size());
  for (PendingInsert& p : pending) texts.push_back(&p.text);
  d.bm25.reserve_for(first, texts);
}

void Collection::retire_stored_locked(std::span<PendingInsert> pending, uint32_t n) noexcept {
  CollectionData& d = data_;
  for (size_t i = 0; i < pending.size() && n < d.hnsw.node_count(); ++i, ++n) {
    // Stored, then failed while linking: the node stays as a tombstone under an id of its own.
    d.ids.push_back(fresh_retired_id(d.ids));
  }
}

void Collection::commit_locked(PendingInsert& p) {
  CollectionData& d = data_;
  const auto n = static_cast<uint32_t>(d.ids.size());
  // First, so that its failure changes nothing; taken back if the graph insertion fails.
  MetadataIndex::Addition indexed(metadata_, n, p.doc.metadata);
  try {
    d.hnsw.insert(n, p.embedding, p.q);
  } catch (...) {
    retire_stored_locked(std::span(&p, 1), n);
    throw;
  }
  indexed.commit();  // nothing below throws
  finish_commit_locked(p, n);
}

void Collection::finish_commit_locked(PendingInsert& p, uint32_t n) noexcept {
  CollectionData& d = data_;
  const Uuid id = p.doc.id;
  d.bm25.add_prepared(n, p.text);
  if (const std::optional<uint32_t> q = d.ids.find(id)) {
    // The id had a node: tombstone it and give it a fresh id of its own. Un-indexed after the
    // new text went in, so no posting list the new text uses is emptied and dropped meanwhile.
    unindex_locked(*q);
    d.ids.rekey(*q, fresh_retired_id(d.ids));
  }
  d.ids.push_back(id);
  d.documents.put(n, p.doc.text, p.metadata);
}

std::vector<Uuid> Collection::commit_concurrently_locked(std::span<PendingInsert> pending,
                                                         size_t threads,
                                                         const ProgressFn& progress) {
  CollectionData& d = data_;
  const auto first = static_cast<uint32_t>(d.ids.size());
  std::vector<Uuid> ids;
  ids.reserve(pending.size());
  std::vector<HnswIndex::BatchNode> nodes;
  nodes.reserve(pending.size());
  // Metadata first, as for one document: undone by the destructors if anything below fails.
  std::vector<std::unique_ptr<MetadataIndex::Addition>> indexed;
  indexed.reserve(pending.size());
  for (size_t i = 0; i < pending.size(); ++i) {
    ids.push_back(pending[i].doc.id);
    nodes.push_back({pending[i].embedding, &pending[i].q});
    indexed.push_back(std::make_unique<MetadataIndex::Addition>(
        metadata_, first + static_cast<uint32_t>(i), pending[i].doc.metadata));
  }
  try {
    d.hnsw.insert_batch(nodes, threads, progress);
  } catch (...) {
    // Every node the graph stored is a tombstone already; the batch leaves nothing else.
    retire_stored_locked(pending, first);
    throw;
  }
  for (size_t i = 0; i < pending.size(); ++i) {
    indexed[i]->commit();
    finish_commit_locked(pending[i], first + static_cast<uint32_t>(i));
  }
  return ids;
}

std::vector<Uuid> Collection::commit_all_locked(std::span<PendingInsert> pending,
                                                const BatchOptions& options) {
  const size_t threads = options.thread_count();
  if (threads > 1 && pending.size() >= HnswIndex::kParallelMinBatch) {
    return commit_concurrently_locked(pending, threads, options.progress);
  }
  std::vector<Uuid> ids;
  ids.reserve(pending.size());
  ProgressReporter report(options.progress, pending.size());
  size_t done = 0;
  try {
    for (; done < pending.size(); ++done) {
      ids.push_back(pending[done].doc.id);
      commit_locked(pending[done]);
      report.advance(done + 1);
    }
  } catch (...) {
    // All or nothing: what went in before the failure comes out again (as deletions would).
    for (size_t i = 0; i < done; ++i) {
      if (const std::optional<uint32_t> p = data_.live_id(ids[i])) unindex_locked(*p);
    }
    throw;
  }
  report.finish();
  return ids;
}

Uuid Collection::insert_document(Document document, std::span<const float> embedding) {
  PendingInsert p = pend(std::move(document), embedding);
  std::unique_lock lock(mu_);
  reserve_locked(std::span(&p, 1));
  commit_locked(p);
  return p.doc.id;
}

std::vector<Uuid> Collection::insert_documents(std::vector<DocumentWithEmbedding> documents,
                                               const BatchOptions& options) {
  std::vector<PendingInsert> pending;
  pending.reserve(documents.size());
  for (DocumentWithEmbedding& d : documents) {
    pending.push_back(pend(std::move(d.document), d.embedding));
  }
  std::unique_lock lock(mu_);
  reserve_locked(pending);
  return commit_all_locked(pending, options);
}

bool Collection::delete_document(const Uuid& id) {
  std::unique_lock lock(mu_);
  const std::optional<uint32_t> p = data_.live_id(id);
  if (!p) return false;
  unindex_locked(*p);
  return true;
}

std::shared_ptr<const Document> Collection::get_document(const Uuid& id) const {
  std::shared_lock lock(mu_);
  const std::optional<uint32_t> p = data_.live_id(id);
  return p ? result_document(*p) : nullptr;
}

size_t Collection::document_count() const {
  std::shared_lock lock(mu_);
  return data_.documents.size();
}

uint64_t estimate_memory_bytes(const CollectionData& data) {
  const HnswIndex& h = data.hnsw;
  uint64_t total = h.vector_data().size() + 4 * uint64_t{h.raw_vectors().size()};
  total += h.pq_codes().size();
  if (h.pq_codebook()) total += 4 * uint64_t{h.pq_codebook()->centroids.size()};
  total += h.adjacency_bytes() + h.layers().size() + h.deleted().size();
  for (const auto& [term, list] : data.bm25.postings) total += term.size() + 8 * list.size() + 48;
  total += 4 * uint64_t{data.bm25.doc_lengths.size()};
  total += data.documents.memory_bytes() + data.ids.memory_bytes();
  return total;
}

uint64_t Collection::estimate_memory_bytes() const {
  std::shared_lock lock(mu_);
  return tarnwell_core::estimate_memory_bytes(data_) + metadata_.memory_bytes();
}

uint64_t Collection::metadata_index_bytes() const {
  std::shared_lock lock(mu_);
  return metadata_.memory_bytes();
}

std::string Collection::name() const {
  std::shared_lock lock(mu_);
  return data_.name;
}

void Collection::set_name(std::string name) {
  std::unique_lock lock(mu_);
  data_.name = std::move(name);
}

HnswConfig Collection::config() const {
  std::shared_lock lock(mu_);
  return data_.hnsw.config();
}

}  // namespace tarnwell_core
