// Shared helpers of the collection tests: deterministic ids, documents, small collections, and
// the persisted form of a collection as a snapshot loader would hand it to validate().
#pragma once

#include <cstdint>
#include <memory>
#include <string>
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

// The live documents of a collection keyed by id, and its id table as a map.
inline DocumentMap document_map(const CollectionData& d) {
  DocumentMap out;
  for (Document& doc : d.live_documents()) {
    const Uuid id = doc.id;
    out.emplace(id, std::make_shared<const Document>(std::move(doc)));
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
    return CollectionFields{d.name, d.dimension, document_map(d), d.hnsw.to_fields(),
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
