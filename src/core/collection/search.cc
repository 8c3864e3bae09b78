// The searches of a collection: by embedding, by text, and both fused, each with or without a
// metadata filter. A filter is first evaluated on the metadata index to the exact set of
// matching documents; the vector side then plans its search from that set's size
// (filter_plan.h) and the keyword side ranks only its members. Large sets are kept for reuse
// (filter_cache.h). Each runs under one shared hold of the collection
// lock, so the vector list, the keyword list and the document lookups see one state. Nothing
// is sized from k: every buffer is bounded by what the indexes actually return.
#include <algorithm>

#include "core/collection/filter_plan.h"
#include "core/hnsw/search.h"
#include "core/search/filter.h"
#include "core/search/hybrid.h"
#include "core/collection/collection.h"

namespace tarnwell_core {
namespace {

// Vector hits as a ranked list of similarities (1 - distance), tombstones left out.
RankedList similarities(const HnswIndex& index, const std::vector<ScoredNode>& nodes) {
  RankedList out;
  out.reserve(nodes.size());
  for (const ScoredNode& n : nodes) {
    if (n.id < index.deleted().size() && index.deleted()[n.id] != 0) continue;
    out.emplace_back(n.id, 1.0f - n.distance);
  }
  return out;
}

bool below_threshold(float score, std::optional<float> min_similarity) {
  return min_similarity && score < *min_similarity;  // a NaN score is never below
}

}  // namespace

FilterMatches Collection::matching(const MetadataFilter& filter) const {
  FilterMatches m;
  std::string key = FilterCache::key_of(filter);
  const uint64_t version = metadata_.version();
  if (filter_cache_.find(key, version, m)) return m;
  auto members = std::make_shared<IdBitset>(metadata_.evaluate(filter, data_.hnsw.node_count()));
  m.count = members->count();
  m.members = std::move(members);
  filter_cache_.insert(std::move(key), version, m);
  return m;
}

std::vector<ScoredNode> Collection::filtered_nodes(std::span<const float> query, size_t k,
                                                   const FilterMatches& matches) const {
  return filtered_knn(data_.hnsw, query, k, *matches.members, matches.count,
                      metadata_.live_count());
}

std::vector<ScoredDocument> Collection::to_hits(std::span<const ScoredNode> ranked,
                                                std::optional<float> min_similarity) const {
  std::vector<ScoredDocument> hits;
  hits.reserve(ranked.size());
  for (const ScoredNode& r : ranked) {
    const float score = 1.0f - r.distance;
    if (below_threshold(score, min_similarity)) continue;
    if (auto doc = result_document(r.id)) hits.push_back({std::move(doc), score});
  }
  return hits;
}

std::vector<ScoredDocument> Collection::ranked_to_hits(
    std::span<const std::pair<uint32_t, float>> ranked, std::optional<float> min_similarity) const {
  std::vector<ScoredDocument> hits;
  hits.reserve(ranked.size());
  for (const auto& [id, score] : ranked) {
    if (below_threshold(score, min_similarity)) continue;
    if (auto doc = result_document(id)) hits.push_back({std::move(doc), score});
  }
  return hits;
}

std::vector<ScoredDocument> Collection::vector_search(std::span<const float> query, size_t k,
                                                      std::optional<float> min_similarity) const {
  if (query.size() != dimension_) return {};
  std::shared_lock lock(mu_);
  const std::vector<ScoredNode> nodes = data_.hnsw.knn_search(query, k);
  return to_hits(nodes, min_similarity);
}

std::vector<ScoredDocument> Collection::vector_search_filtered(std::span<const float> query,
                                                               size_t k,
                                                               std::optional<float> min_similarity,
                                                               const MetadataFilter& filter) const {
  if (query.size() != dimension_) return {};
  std::shared_lock lock(mu_);
  return to_hits(filtered_nodes(query, k, matching(filter)), min_similarity);
}

std::vector<ScoredDocument> Collection::keyword_search(std::string_view text, size_t k,
                                                       const Bm25Statistics* global) const {
  std::shared_lock lock(mu_);
  // Raw BM25 scores, never thresholded.
  return ranked_to_hits(data_.bm25.bm25_search(text, k, global), std::nullopt);
}

std::vector<ScoredDocument> Collection::keyword_search_filtered(
    std::string_view text, size_t k, const MetadataFilter& filter,
    const Bm25Statistics* global) const {
  std::shared_lock lock(mu_);
  return ranked_to_hits(
      data_.bm25.bm25_search_filtered(text, k, *matching(filter).members, global), std::nullopt);
}

Bm25Statistics Collection::keyword_statistics(std::string_view text) const {
  std::shared_lock lock(mu_);
  return data_.bm25.statistics(text);
}

std::vector<ScoredDocument> Collection::hybrid_search(std::span<const float> query,
                                                      std::string_view text, size_t k,
                                                      std::optional<float> min_similarity,
                                                      float alpha, FusionMethod fusion,
                                                      const Bm25Statistics* global) const {
  if (query.size() != dimension_) return {};
  std::shared_lock lock(mu_);
  const RankedList vector_hits = similarities(data_.hnsw, data_.hnsw.knn_search(query, k));
  const RankedList keyword_hits = data_.bm25.bm25_search(text, k, global);
  const RankedList fused = fusion == FusionMethod::Linear
                               ? linear_fusion(vector_hits, keyword_hits, k, alpha)
                               : rrf_fusion(vector_hits, keyword_hits, k);
  return ranked_to_hits(fused, min_similarity);
}

std::vector<ScoredDocument> Collection::hybrid_search_filtered(std::span<const float> query,
                                                               std::string_view text, size_t k,
                                                               std::optional<float> min_similarity,
                                                               float alpha, FusionMethod fusion,
                                                               const MetadataFilter& filter,
                                                               const Bm25Statistics* global) const {
  if (query.size() != dimension_) return {};
  std::shared_lock lock(mu_);
  const FilterMatches matches = matching(filter);
  const RankedList vector_hits = similarities(data_.hnsw, filtered_nodes(query, k, matches));
  // The best k matching keyword hits, so positions and reciprocal-rank terms count matches only.
  const RankedList keyword_hits =
      data_.bm25.bm25_search_filtered(text, k, *matches.members, global);
  const RankedList fused = fusion == FusionMethod::Linear
                               ? linear_fusion(vector_hits, keyword_hits, k, alpha)
                               : rrf_fusion(vector_hits, keyword_hits, k);
  return ranked_to_hits(fused, min_similarity);
}

}  // namespace tarnwell_core
