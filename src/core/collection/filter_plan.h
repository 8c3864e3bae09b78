// How a filtered vector search runs, chosen per query from the exact number of matching
// documents: an exact ranking of the matches when few match, else a graph walk that keeps only
// matches (two hops over non-matching neighbours when matches are a minority). Whatever runs,
// the result holds min(k, matches) nodes: a walk that comes back short is replaced by the
// exact ranking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/hnsw/graph.h"
#include "core/util/id_bitset.h"

namespace tarnwell_core {

enum class FilterStrategy : uint8_t {
  Nothing,  // no document matches
  Exact,    // score every match
  Walk,     // the beam walk; non-matching nodes guide it but take no result slot
  TwoHop,   // the walk over matches only, stepping over non-matching neighbours
  All,      // every live document matches: the unfiltered walk, no membership test
};

// The cost model. Costs are counted in distance evaluations, which dominate both sides: a walk
// costs about ef x m_max0 of them once it stays on matching nodes, an exact ranking one per
// match, each much cheaper (ids ascend, so memory is read in order and prefetched ahead).
// Calibrated on the MiniLM set of bench/peers_filtered.py (60,000 x 384, scalar codes), each
// strategy forced at 5 to 50 % matching: the exact ranking beats every walk up to about
// 6 x ef x m_max0 matches (at 10 % it runs at the unfiltered speed, the two-hop walk at half
// of it); the two-hop walk beats the plain one below about 35 % of the collection, and below
// about a twentieth its recall drops (too few matches within two hops to stay connected), so
// there the matches are ranked exactly.
struct FilterCostModel {
  // Exact while matches <= exact_per_visit x ef x m_max0, or below two_hop_min_share.
  double exact_per_visit = 6.0;
  double two_hop_min_share = 0.05;
  // The plain walk from this share of the live documents on: a node it scores is then likely a
  // result, and the second hop would cost more than it saves.
  double walk_share = 0.35;
  // The two-hop walk's beam, as a multiple of the plain one's: 1 + two_hop_ef_per_share x
  // share, at most two_hop_ef_max. The more members, the more of each expansion's quota the
  // first hop fills, the fewer gaps the second hop crosses, and the wider the beam must be to
  // keep recall (on the MiniLM set at 20 % matching: recall@10 0.969 at 1x, 0.982 at 1.5x).
  double two_hop_ef_per_share = 2.5;
  double two_hop_ef_max = 1.5;
};

// The two-hop walk's beam multiple for `share` of the live documents matching.
double two_hop_ef_scale(double share, const FilterCostModel& model = FilterCostModel{});

FilterStrategy choose_filter_strategy(size_t matches, size_t live, size_t k,
                                      const HnswConfig& config,
                                      const FilterCostModel& model = FilterCostModel{});

// The min(k, members) members nearest to the query by their most precise stored form (raw
// copy, else scalar codes), ascending, as a walk's re-ranking orders them.
std::vector<ScoredNode> exact_rank(const HnswIndex& index, std::span<const float> query, size_t k,
                                   const IdBitset& members);

// The filtered k-NN search: `members` are the live nodes that pass the filter and
// `member_count` their number; `live` is the number of live nodes.
std::vector<ScoredNode> filtered_knn(const HnswIndex& index, std::span<const float> query,
                                     size_t k, const IdBitset& members, size_t member_count,
                                     size_t live,
                                     const FilterCostModel& model = FilterCostModel{});

}  // namespace tarnwell_core
