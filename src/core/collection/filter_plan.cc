// The planner of filtered vector searches and the exact ranking it falls back on.
#include "core/collection/filter_plan.h"

#include <algorithm>

#include "core/hnsw/distance.h"
#include "core/hnsw/search_two_hop.h"

namespace tarnwell_core {

FilterStrategy choose_filter_strategy(size_t matches, size_t live, size_t k,
                                      const HnswConfig& config, const FilterCostModel& model) {
  if (matches == 0 || k == 0) return FilterStrategy::Nothing;
  // A walk cannot return more than the matches; with k at least that, rank them all.
  if (k >= matches) return FilterStrategy::Exact;
  if (matches >= live) return FilterStrategy::All;
  const double ef = static_cast<double>(std::max<size_t>(config.ef_search, k));
  const double walk_cost = ef * static_cast<double>(std::max<uint64_t>(config.m_max0, 1));
  const double share = live == 0 ? 1.0 : static_cast<double>(matches) / static_cast<double>(live);
  if (static_cast<double>(matches) <= model.exact_per_visit * walk_cost ||
      share < model.two_hop_min_share) {
    return FilterStrategy::Exact;
  }
  return share >= model.walk_share ? FilterStrategy::Walk : FilterStrategy::TwoHop;
}

double two_hop_ef_scale(double share, const FilterCostModel& model) {
  return std::clamp(1.0 + model.two_hop_ef_per_share * share, 1.0,
                    std::max(model.two_hop_ef_max, 1.0));
}

std::vector<ScoredNode> exact_rank(const HnswIndex& index, std::span<const float> query, size_t k,
                                   const IdBitset& members) {
  using namespace search_detail;
  if (k == 0 || index.node_count() == 0) return {};
  const QueryDistance dist(index, query.data(), nullptr);
  std::vector<uint32_t> ids;
  ids.reserve(std::min(members.count(), static_cast<size_t>(index.node_count())));
  members.for_each([&](uint32_t id) {
    if (id < index.node_count()) ids.push_back(id);
  });
  // The k best so far in a max-heap of packed (distance, id): equal distances keep the
  // smaller id, the order a walk's re-ranking falls back on.
  const size_t keep = std::min(k, ids.size());
  std::vector<uint64_t> heap;
  heap.reserve(keep + 1);
  constexpr size_t kAhead = 8;
  for (size_t i = 0; i < ids.size() && i < kAhead; ++i) dist.prefetch(ids[i]);
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i + kAhead < ids.size()) dist.prefetch(ids[i + kAhead]);
    const uint64_t e = pack(dist.precise(ids[i]), ids[i]);
    if (heap.size() == keep) {
      if (e >= heap.front()) continue;
      std::pop_heap(heap.begin(), heap.end());
      heap.back() = e;
    } else {
      heap.push_back(e);
    }
    std::push_heap(heap.begin(), heap.end());
  }
  std::sort_heap(heap.begin(), heap.end());
  std::vector<ScoredNode> out;
  out.reserve(heap.size());
  for (uint64_t e : heap) out.push_back(unpack(e));
  return out;
}

std::vector<ScoredNode> filtered_knn(const HnswIndex& index, std::span<const float> query,
                                     size_t k, const IdBitset& members, size_t member_count,
                                     size_t live, const FilterCostModel& model) {
  const auto member = [&](uint32_t id) { return members.test(id); };
  std::vector<ScoredNode> found;
  switch (choose_filter_strategy(member_count, live, k, index.config(), model)) {
    case FilterStrategy::Nothing:
      return {};
    case FilterStrategy::Exact:
      return exact_rank(index, query, k, members);
    case FilterStrategy::All:
      found = index.knn_search(query, k);
      break;
    case FilterStrategy::Walk:
      found = index.knn_search_filtered(query, k, member);
      break;
    case FilterStrategy::TwoHop:
      found = knn_search_two_hop(
          index, query, k, member,
          two_hop_ef_scale(static_cast<double>(member_count) / static_cast<double>(live), model));
      break;
  }
  // Every match is reachable by scoring: a walk that found fewer than it could is replaced.
  if (found.size() < std::min(k, member_count)) return exact_rank(index, query, k, members);
  return found;
}

}  // namespace tarnwell_core
