// The unfiltered k-NN search (the filtered one with a predicate that admits everything, so it
// costs nothing) and the self-contained form of the layer search.
#include "core/hnsw/search.h"

namespace tarnwell_core {

std::vector<ScoredNode> HnswIndex::knn_search(std::span<const float> query, size_t k) const {
  return knn_search_filtered(query, k, search_detail::AdmitAll{});
}

std::vector<ScoredNode> search_layer(const HnswIndex& index, std::span<const float> query,
                                     std::span<const uint32_t> entries, size_t ef, size_t layer,
                                     VisitedSet& visited) {
  const QueryDistance dist(index, query.data(), nullptr);
  SearchScratch scratch;
  std::vector<ScoredNode> out;
  visited.grow(index.node_count());
  search_layer(index, dist, entries, ef, layer, visited, scratch, out);
  return out;
}

}  // namespace tarnwell_core
