// Shared helpers of the collection tests: deterministic ids, documents, small collections, and
// the persisted form of a collection as a snapshot loader would hand it to validate().
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/document.h"
#include "core/collection/collection.h"

namespace tarnwell_core::testing_util {

inline Uuid uid(uint32_t n) {
  Uuid u;
  u.bytes[0] = 0xA0;
  u.bytes[12] = static_cast<uint8_t>(n >> 24);
  u.bytes[13] = static_cast<uint8_t>(n >> 16);
  u.bytes[14] = static_cast<uint8_t>(n >> 8);
  u.bytes[15] = static_cast<uint8_t>(n);
  return u;
}

inline Document doc(uint32_t n, std::string text = "", Metadata metadata = {}) {
  return Document(uid(n), std::move(text), std::move(metadata));
}

inline HnswConfig config_with(DistanceMetric metric, bool raw, uint64_t max_layers = 16) {
  HnswConfig c;
  c.distance_metric = metric;
  c.store_raw_vectors = raw;
  c.max_layers = max_layers;
  return c;
}

// An empty collection whose index draws its levels from `level_seed`, for tests whose outcome
// depends on the shape of the graph.
inline Collection seeded_collection(std::string name, uint64_t dimension, const HnswConfig& config,
                                    uint64_t level_seed) {
  CollectionData data(std::move(name), dimension, config);
  data.hnsw.set_level_seed(level_seed);
  return Collection(std::move(data));
}

// Copies of the live documents of a collection in internal id order.
inline std::vector<Document> live_documents(const CollectionData& d) {
  std::vector<Document> out;
  for (uint32_t p = 0; p < d.documents.slot_count(); ++p) {
    if (d.documents.live(p)) out.push_back(d.document(p));
  }
  return out;
}

using DocumentMap = std::unordered_map<Uuid, std::shared_ptr<const Document>, UuidHash>;

// Documents as a snapshot loader hands them over: `key` stored under, document appended.
inline void add_document(StoredDocuments& docs, const Uuid& key, const Document& doc) {
  const std::string metadata = encode_compact_metadata(doc.metadata);
  const auto i = static_cast<uint32_t>(docs.size());
  docs.records.reserve(size_t{i} + 1, DocumentStore::record_size(doc.text, metadata));
  docs.records.put(i, doc.text, metadata);
  docs.keys.push_back(key);
  docs.ids.push_back(doc.id);
}
// Drops every document stored under `key`.
inline void remove_document(StoredDocuments& docs, const Uuid& key) {
  StoredDocuments kept;
  for (size_t i = 0; i < docs.size(); ++i) {
    if (docs.keys[i] == key) continue;
    add_document(kept, docs.keys[i],
                 Document(docs.ids[i], std::string(docs.records.text(static_cast<uint32_t>(i))),
                          docs.records.metadata(static_cast<uint32_t>(i))));
  }
  docs = std::move(kept);
}
inline DocumentMap document_map(const StoredDocuments& docs) {
  DocumentMap out;
  for (size_t i = 0; i < docs.size(); ++i) {
    const auto p = static_cast<uint32_t>(i);
    out[docs.keys[i]] = std::make_shared<const Document>(
        docs.ids[i], std::string(docs.records.text(p)), docs.records.metadata(p));
  }
  return out;
}
inline UuidToInternal id_map(const CollectionData& d) {
  UuidToInternal out;
  for (uint32_t p = 0; p < d.ids.size(); ++p) out.emplace(d.ids[p], p);
  return out;
}

inline CollectionFields fields_of(const Collection& c) {
  return c.read([](const CollectionData& d) {
    StoredDocuments docs;
    for (const Document& doc : live_documents(d)) add_document(docs, doc.id, doc);
    return CollectionFields{d.name, d.dimension, std::move(docs), d.hnsw.to_fields(),
                            d.bm25, id_map(d),   d.ids.uuids()};
  });
}

// The ids of hits, in order.
inline std::vector<Uuid> ids_of(const std::vector<ScoredDocument>& hits) {
  std::vector<Uuid> out;
  for (const ScoredDocument& h : hits) out.push_back(h.document->id);
  return out;
}

}  // namespace tarnwell_core::testing_util
