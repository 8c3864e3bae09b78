// A collection: named documents of one embedding dimension with their two indexes (HNSW over the
// embeddings, BM25 over the texts), tied together by dense internal ids. `Collection` is a
// reader-writer lock around `CollectionData`: inserts, deletes and the swap of a rebuild hold it
// exclusively; lookups, estimates, searches and snapshot writing hold it shared.
//
// Invariants kept here (and checked by validate() on loaded data): internal ids are issued in
// insertion order and never reused before a rebuild; every internal id has its own UUID in the id
// table; at most one live node exists per document id; documents ⊆ live nodes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/bm25/inverted_index.h"
#include "core/collection/document_store.h"
#include "core/collection/filter_cache.h"
#include "core/collection/metadata_index.h"
#include "core/document.h"
#include "core/filter_types.h"
#include "core/hnsw/config.h"
#include "core/hnsw/graph.h"
#include "core/search/types.h"
#include "core/util/progress.h"
#include "core/util/status.h"
#include "core/util/uuid.h"

namespace tarnwell_core {

using UuidToInternal = std::unordered_map<Uuid, uint32_t, UuidHash>;

// The state of one collection, fields in their persisted order.
struct CollectionData {
  std::string name;
  uint64_t dimension = 0;
  DocumentStore documents;  // the live documents, by internal id
  HnswIndex hnsw;
  InvertedIndex bm25;
  IdTable ids;  // every id issued since creation or the last rebuild, by internal id

  // An empty collection.
  CollectionData(std::string name, uint64_t dimension, const HnswConfig& config);
  CollectionData(std::string name, uint64_t dimension, DocumentStore documents, HnswIndex hnsw,
                 InvertedIndex bm25, IdTable ids);

  // The internal id of the live document `id`, if there is one.
  std::optional<uint32_t> live_id(const Uuid& id) const {
    const std::optional<uint32_t> p = ids.find(id);
    return p && documents.live(*p) ? p : std::nullopt;
  }
  // A copy of the live document of internal id p (which must be live).
  Document document(uint32_t p) const;
};

// "{name}.twl.tmp" must fit the usual 255-byte limit on a file name.
inline constexpr size_t MAX_COLLECTION_NAME_BYTES = 247;

// Whether a collection name may become a file name: not empty, not "." or "..", no '/' or NUL,
// at most 247 bytes. kInvalidArgument naming the problem otherwise.
Status validate_collection_name(std::string_view name);

// Whether an embedding may enter a collection of `dimension` (a stored vector or a query):
// kInvalidArgument "embedding dimension mismatch: expected {}, got {}", or "embedding contains a
// non-finite value at index {}" for NaN and infinities, which would rank arbitrarily.
Status check_embedding(std::span<const float> embedding, uint64_t dimension);
// The dimension part of check_embedding alone.
Status check_dimension(size_t got, uint64_t dimension);

// The memory estimate of a collection's state, for callers already holding its lock.
uint64_t estimate_memory_bytes(const CollectionData& data);

// Documents as read from a file, in file order: the key each is stored under, its own id, and
// its text and metadata as record i of `records`.
struct StoredDocuments {
  std::vector<Uuid> keys;
  std::vector<Uuid> ids;
  DocumentStore records;
  size_t size() const { return keys.size(); }
};

// The decoded, not yet trusted form of a collection read from a file: like CollectionData, with
// the index in its persisted form. validate() decides whether it may become a Collection.
struct CollectionFields {
  std::string name;
  uint64_t dimension = 0;
  StoredDocuments documents;
  HnswIndexFields hnsw;
  InvertedIndex bm25;
  UuidToInternal uuid_to_internal;
  std::vector<Uuid> internal_to_uuid;
  // Size of the encoded body these fields came from (0 when unknown), which bounds what building
  // the index from them may allocate.
  uint64_t source_bytes = 0;
};

// The consistency checks run on a loaded collection, stopping at the first failure, whose
// message is returned (kInvalidData). Beyond the documented checks it refuses anything that
// would make a later operation read out of bounds, loop without end or abort.
Status validate(const CollectionFields& fields);

// How a batch insertion or a rebuild runs: the graph insertions on up to `threads` threads (0:
// one per core; batches below HnswIndex::kParallelMinBatch stay on the calling thread), and
// who hears of its progress.
struct BatchOptions {
  size_t threads = 0;
  ProgressFn progress;
  size_t thread_count() const {
    return threads != 0 ? threads : std::max(1u, std::thread::hardware_concurrency());
  }
};

class Collection {
 public:
  // An empty collection.
  Collection(std::string name, uint64_t dimension, const HnswConfig& config);
  // Takes over validated data (see validate()).
  explicit Collection(CollectionData data);
  static std::shared_ptr<Collection> from_fields(CollectionFields&& validated);

  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;

  // Inserts a document with its embedding, which must have dimension() components (callers
  // check). An id that was deleted before is inserted anew and its earlier internal id retired;
  // an id that is live is replaced (the earlier node tombstoned and unindexed) — the facade
  // refuses that case before logging, replay relies on it for update records. All or nothing:
  // when memory runs out it throws std::bad_alloc and documents, id tables and indexes read as
  // before (at most a tombstoned node under a retired id is left behind).
  Uuid insert_document(Document document, std::span<const float> embedding);
  // Inserts documents with distinct ids, all or nothing in the same sense.
  std::vector<Uuid> insert_documents(std::vector<DocumentWithEmbedding> documents,
                                     const BatchOptions& options = {});
  // Removes a live document; false when no live document has that id.
  bool delete_document(const Uuid& id);
  // Removes the live documents among `ids`; returns how many there were.
  size_t delete_documents(std::span<const Uuid> ids);
  // Changes the text and/or metadata of a live document, keeping its graph node and internal id.
  // False when no live document has that id. All or nothing under memory exhaustion.
  bool patch_document(const Uuid& id, std::optional<std::string> text,
                      std::optional<Metadata> metadata);
  std::shared_ptr<const Document> get_document(const Uuid& id) const;
  // The stored embedding of a live document: its raw copy when the collection keeps one,
  // otherwise the reconstruction from its scalar codes (approximate). Null when not live.
  std::optional<std::vector<float>> get_embedding(const Uuid& id) const;

  // Live documents in insertion order (internal id order, which a rebuild keeps), starting after
  // the document `after` when given, at most `limit`, passing `filter` when given. kNotFound when
  // `after` was never an id of this collection (or was reclaimed by a rebuild).
  // Where a scan stopped: valid while the collection keeps its internal ids (a rebuild renumbers
  // them, and another collection object has its own), which `layout` tells.
  struct ScanCursor {
    size_t position = 0;
    uint64_t layout = 0;
  };
  struct ScanPage {
    std::vector<std::shared_ptr<const Document>> documents;
    bool more = false;  // documents passing the filter remain after the page
    ScanCursor next;    // where the next page starts
  };
  // With a `resume` cursor of this layout, the page starts there (so a document changed after it
  // was listed moves nothing); otherwise after `after`, or at the start.
  Result<ScanPage> scan(const std::optional<Uuid>& after, size_t limit,
                        const MetadataFilter* filter, const ScanCursor* resume = nullptr) const;
  // The live documents passing `filter` (all of them without one), in insertion order.
  std::vector<Uuid> matching_ids(const MetadataFilter* filter) const;
  size_t count(const MetadataFilter* filter) const;
  size_t document_count() const;
  uint64_t estimate_memory_bytes() const;
  // The metadata index's part of estimate_memory_bytes().
  uint64_t metadata_index_bytes() const;

  // Fixed at creation (the name may be changed once, by load, before the collection is shared).
  std::string name() const;
  void set_name(std::string name);
  uint64_t dimension() const { return dimension_; }
  HnswConfig config() const;

  // Searches. The query has dimension() components (callers check); a query of any other
  // length finds nothing rather than read past a stored vector.
  std::vector<ScoredDocument> vector_search(std::span<const float> query, size_t k,
                                            std::optional<float> min_similarity) const;
  std::vector<ScoredDocument> vector_search_filtered(std::span<const float> query, size_t k,
                                                     std::optional<float> min_similarity,
                                                     const MetadataFilter& filter) const;
  // The searches that rank by keyword take `global`, figures checked by check_bm25_statistics,
  // to score with instead of this collection's own (see keyword_statistics).
  std::vector<ScoredDocument> hybrid_search(std::span<const float> query, std::string_view text,
                                            size_t k, std::optional<float> min_similarity,
                                            float alpha, FusionMethod fusion,
                                            const Bm25Statistics* global = nullptr) const;
  std::vector<ScoredDocument> hybrid_search_filtered(std::span<const float> query,
                                                     std::string_view text, size_t k,
                                                     std::optional<float> min_similarity,
                                                     float alpha, FusionMethod fusion,
                                                     const MetadataFilter& filter,
                                                     const Bm25Statistics* global = nullptr) const;
  // BM25 only: raw scores, no threshold.
  std::vector<ScoredDocument> keyword_search(std::string_view text, size_t k,
                                             const Bm25Statistics* global = nullptr) const;
  // The best k documents that pass the filter, by BM25 (raw scores, no threshold).
  std::vector<ScoredDocument> keyword_search_filtered(std::string_view text, size_t k,
                                                      const MetadataFilter& filter,
                                                      const Bm25Statistics* global = nullptr) const;
  // This collection's BM25 figures for the query `text`: summed over the collections a larger
  // one is split into, they let each part rank as the whole would.
  Bm25Statistics keyword_statistics(std::string_view text) const;

  // Rebuilds both indexes and the id tables from the live documents; returns how many.
  // Fails (leaving the collection unchanged) only when product-quantization training refuses
  // the configuration.
  Result<size_t> rebuild(const BatchOptions& options = {});

  // Runs fn(const CollectionData&) under the shared lock (snapshot writing, tests).
  template <class Fn>
  decltype(auto) read(Fn&& fn) const {
    std::shared_lock lock(mu_);
    return fn(static_cast<const CollectionData&>(data_));
  }

  // Serialises the logged changes of this collection from their checks to their in-memory
  // effect, so that "is this id live?" still holds when the insert it allowed is applied. Taken
  // after the log's checkpoint lock and before the log's writer mutex or the collection lock.
  std::mutex& writer_mutex() const { return writer_mu_; }

  // fork() support: the exclusive lock, taken and released around a fork (the order lock is
  // held, so no logged change is in flight).
  void lock_for_fork() { mu_.lock(); }
  void unlock_after_fork() { mu_.unlock(); }
  void reset_lock_in_child() {
    std::construct_at(&mu_);
    std::construct_at(&writer_mu_);
  }

 private:
  // One document on its way in, with everything it needs allocated before anything changes.
  struct PendingInsert {
    Document doc;
    std::string metadata;  // doc.metadata in the store's compact form
    std::span<const float> embedding;
    QuantizedVector q;
    PreparedText text;
  };
  static PendingInsert pend(Document doc, std::span<const float> embedding);

  // The steps below run under the exclusive lock.
  // Makes room for the pending documents, which will take the next internal ids in order. May
  // throw std::bad_alloc, having changed nothing a reader can see.
  void reserve_locked(std::span<PendingInsert> pending);
  // Gives a reserved document the next internal id in both indexes, the id table and the store.
  // An earlier internal id of the same document id is retired (tombstoned, un-indexed, and given
  // a fresh random id of its own). Only the graph insertion can throw; the tables are then as
  // before, plus the new node as a tombstone under a retired id when the graph had stored it.
  void commit_locked(PendingInsert& p);
  // The rest of commit_locked once node n is in the graph; cannot fail.
  void finish_commit_locked(PendingInsert& p, uint32_t n) noexcept;
  // After the graph stored nodes [n, node_count) for pending[0..] and then failed: gives them
  // retired ids of their own, as tombstones.
  void retire_stored_locked(std::span<PendingInsert> pending, uint32_t n) noexcept;
  // Inserts reserved documents in order; on failure, removes those already committed and throws.
  std::vector<Uuid> commit_all_locked(std::span<PendingInsert> pending,
                                      const BatchOptions& options);
  // commit_all_locked with the graph insertions of the whole batch on several threads.
  std::vector<Uuid> commit_concurrently_locked(std::span<PendingInsert> pending, size_t threads,
                                               const ProgressFn& progress);
  // Tombstones node p, removes its document and its text from the keyword index.
  void unindex_locked(uint32_t p);
  // unindex_locked but for the keyword index, which the caller updates.
  void unlink_locked(uint32_t p);
  // Indexes the metadata of every live document afresh.
  void rebuild_metadata_index();

  // A copy of the live document of internal id p for a result, or null.
  std::shared_ptr<const Document> result_document(uint32_t p) const;
  // The live documents that pass the filter, and the vector search restricted to them.
  FilterMatches matching(const MetadataFilter& filter) const;
  std::vector<ScoredNode> filtered_nodes(std::span<const float> query, size_t k,
                                         const FilterMatches& matches) const;
  // Scores (1 - distance), applies the threshold and resolves ids to documents.
  std::vector<ScoredDocument> to_hits(std::span<const ScoredNode> ranked,
                                      std::optional<float> min_similarity) const;
  // Resolves ranked (id, score) pairs to documents, applying the threshold when given.
  std::vector<ScoredDocument> ranked_to_hits(std::span<const std::pair<uint32_t, float>> ranked,
                                             std::optional<float> min_similarity) const;

  const uint64_t dimension_;
  mutable std::shared_mutex mu_;  // guards data_ and metadata_
  mutable std::mutex writer_mu_;
  CollectionData data_;
  // Field -> value -> internal ids of the live documents, for filters. Never persisted; kept in
  // step by insert, delete, rebuild and construction.
  MetadataIndex metadata_;
  // Changes whenever internal ids are renumbered (rebuild); unique across collection objects.
  uint64_t layout_ = next_layout();
  static uint64_t next_layout() noexcept;
  mutable FilterCache filter_cache_;  // has its own lock: searches share it
};

}  // namespace tarnwell_core
