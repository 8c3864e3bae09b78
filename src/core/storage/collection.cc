// The collection store: construction, insertion, deletion, lookup and the memory estimate.
// Every internal id keeps its own entry in uuid_to_internal and at most one node per document
// id is live: inserting an id that was used before retires its earlier internal id, which keeps
// a fresh random id of its own and stays tombstoned until a rebuild reclaims it.
#include "core/storage/collection.h"

#include <chrono>
#include <cstring>
#include <utility>

#include "core/quantization/scalar.h"
#include "core/util/os_random.h"

namespace tarnwell_core {
namespace {

// A random version-4 id. Retiring an id must not fail, so when the operating system's source
// does, a per-thread generator stands in: retired ids only need to be unique in one collection,
// which the caller checks.
Uuid random_uuid() {
  if (Result<Uuid> u = Uuid::new_v4()) return *u;
  thread_local uint64_t state =
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count() ^
                            reinterpret_cast<uintptr_t>(&state));
  Uuid u;
  for (size_t half = 0; half < 2; ++half) {
    // splitmix64
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    std::memcpy(u.bytes.data() + 8 * half, &z, 8);
  }
  u.bytes[6] = static_cast<uint8_t>((u.bytes[6] & 0x0F) | 0x40);
  u.bytes[8] = static_cast<uint8_t>((u.bytes[8] & 0x3F) | 0x80);
  return u;
}

Uuid fresh_retired_id(const UuidToInternal& taken) {
  for (;;) {
    const Uuid u = random_uuid();
    if (!taken.contains(u)) return u;
  }
}

}  // namespace

CollectionData::CollectionData(std::string name, uint64_t dimension, const HnswConfig& config)
    : name(std::move(name)), dimension(dimension), hnsw(config, dimension) {}

CollectionData::CollectionData(std::string name, uint64_t dimension, DocumentMap documents,
                               HnswIndex hnsw, InvertedIndex bm25, UuidToInternal uuid_to_internal,
                               std::vector<Uuid> internal_to_uuid)
    : name(std::move(name)),
      dimension(dimension),
      documents(std::move(documents)),
      hnsw(std::move(hnsw)),
      bm25(std::move(bm25)),
      uuid_to_internal(std::move(uuid_to_internal)),
      internal_to_uuid(std::move(internal_to_uuid)) {}

Collection::Collection(std::string name, uint64_t dimension, const HnswConfig& config)
    : dimension_(dimension), data_(std::move(name), dimension, config) {}

Collection::Collection(CollectionData data) : dimension_(data.dimension), data_(std::move(data)) {
  rebuild_live_table();
  rebuild_metadata_index();
}

void Collection::rebuild_metadata_index() {
  MetadataIndex fresh;
  for (size_t p = 0; p < live_.size(); ++p) {
    if (live_[p] != nullptr) fresh.add(static_cast<uint32_t>(p), live_[p]->metadata);
  }
  metadata_ = std::move(fresh);
}

void Collection::rebuild_live_table() {
  const std::vector<Uuid>& ids = data_.internal_to_uuid;
  live_.assign(ids.size(), nullptr);
  for (size_t p = 0; p < ids.size(); ++p) {
    const auto it = data_.documents.find(ids[p]);
    if (it != data_.documents.end()) live_[p] = it->second.get();
  }
}

void Collection::unindex_locked(uint32_t p) {
  data_.hnsw.mark_deleted(p);
  data_.bm25.remove_document(p);
  metadata_.remove(p);
  if (p < live_.size()) live_[p] = nullptr;
}

void Collection::index_locked(const Document& doc, std::span<const float> embedding,
                              const QuantizedVector& q) {
  CollectionData& d = data_;
  // Taken back if a later step throws, so the index never holds a document that is not in.
  MetadataIndex::Addition indexed(metadata_, static_cast<uint32_t>(d.internal_to_uuid.size()),
                                  doc.metadata);
  if (const auto it = d.uuid_to_internal.find(doc.id); it != d.uuid_to_internal.end()) {
    const uint32_t p = it->second;
    unindex_locked(p);
    if (p < d.internal_to_uuid.size()) {
      const Uuid retired = fresh_retired_id(d.uuid_to_internal);
      d.internal_to_uuid[p] = retired;
      d.uuid_to_internal.emplace(retired, p);
    }
  }
  const auto n = static_cast<uint32_t>(d.internal_to_uuid.size());
  d.uuid_to_internal[doc.id] = n;
  d.internal_to_uuid.push_back(doc.id);
  d.bm25.add_document(n, doc.text);
  d.hnsw.insert(n, embedding, q);
  live_.push_back(&doc);
  indexed.commit();
}

Uuid Collection::insert_document(Document document, std::span<const float> embedding) {
  const QuantizedVector q = QuantizedVector::quantize(embedding);
  auto doc = std::make_shared<const Document>(std::move(document));
  const Uuid id = doc->id;
  std::shared_ptr<const Document> replaced;  // released after the lock
  {
    std::unique_lock lock(mu_);
    auto [it, inserted] = data_.documents.try_emplace(id, nullptr);
    replaced = std::exchange(it->second, std::move(doc));
    index_locked(*it->second, embedding, q);
  }
  return id;
}

bool Collection::delete_document(const Uuid& id) {
  std::shared_ptr<const Document> removed;  // released after the lock
  {
    std::unique_lock lock(mu_);
    const auto it = data_.documents.find(id);
    if (it == data_.documents.end()) return false;
    if (const auto u = data_.uuid_to_internal.find(id); u != data_.uuid_to_internal.end()) {
      unindex_locked(u->second);
    }
    removed = std::move(it->second);
    data_.documents.erase(it);
  }
  return true;
}

std::shared_ptr<const Document> Collection::get_document(const Uuid& id) const {
  std::shared_lock lock(mu_);
  const auto it = data_.documents.find(id);
  return it == data_.documents.end() ? nullptr : it->second;
}

size_t Collection::document_count() const {
  std::shared_lock lock(mu_);
  return data_.documents.size();
}

uint64_t estimate_memory_bytes(const CollectionData& data) {
  const HnswIndex& h = data.hnsw;
  uint64_t total = h.vector_data.size();
  total += 4 * (uint64_t{h.vector_min.size()} + h.vector_scale.size() + h.raw_vectors.size());
  total += h.pq_codes.size();
  if (h.pq_codebook) total += 4 * uint64_t{h.pq_codebook->centroids.size()};
  for (uint32_t i = 0; i < h.node_count; ++i) {
    total += 24;
    const size_t lists = h.layer_list_count(i);
    for (size_t layer = 0; layer < lists; ++layer) total += 24 + 4 * h.neighbors(i, layer).size();
  }
  total += h.layers.size() + h.deleted.size();
  for (const auto& [term, list] : data.bm25.postings) total += term.size() + 8 * list.size() + 48;
  total += 4 * uint64_t{data.bm25.doc_lengths.size()};
  for (const auto& [id, doc] : data.documents) {
    total += doc->text.size() + 64 * doc->metadata.size() + 80;
  }
  total +=
      24 * uint64_t{data.uuid_to_internal.size()} + 16 * uint64_t{data.internal_to_uuid.size()};
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
  return data_.hnsw.config;
}

}  // namespace tarnwell_core
