// The two fusions share one merge (contributions summed per id, vector side first) and one
// top-k selection. The merge sorts the at most 2k contributions by id instead of hashing them:
// it allocates once and makes the sum order independent of any hash seed.
#include "core/search/hybrid.h"

#include <algorithm>
#include <bit>
#include <limits>

namespace tarnwell_core {

Status check_alpha(float alpha) {
  if (alpha >= 0.0f && alpha <= 1.0f) return Status();
  return Status::invalid_argument("alpha must be between 0 and 1");
}
namespace {

struct Contribution {
  uint32_t id;
  float value;
};

// Orders fused scores: like the floats, except that -0 equals +0 and a NaN is below -inf (a
// score that means nothing is the first to be cut).
uint32_t score_key(float s) {
  if (s != s) return 0;
  const uint32_t u = std::bit_cast<uint32_t>(s + 0.0f);
  return (u & 0x80000000u) ? ~u : (u | 0x80000000u);  // -inf gives 0x007FFFFF, never 0
}

// The k strongest ids by (score, id), strongest first. `c` is sorted by id, vector side first
// within an id, so each id's sum is vector term + keyword term as the fusion defines it.
RankedList select_top_k(std::vector<Contribution>& c, size_t k) {
  std::vector<std::pair<uint64_t, float>> fused;  // (score key << 32 | id, score)
  fused.reserve(c.size());
  for (size_t i = 0; i < c.size();) {
    const uint32_t id = c[i].id;
    float sum = 0.0f;
    for (; i < c.size() && c[i].id == id; ++i) sum += c[i].value;
    fused.emplace_back((uint64_t{score_key(sum)} << 32) | id, sum);
  }
  const size_t keep = std::min(k, fused.size());
  const auto stronger = [](const auto& a, const auto& b) { return a.first > b.first; };
  std::partial_sort(fused.begin(), fused.begin() + static_cast<std::ptrdiff_t>(keep), fused.end(),
                    stronger);
  RankedList out;
  out.reserve(keep);
  for (size_t i = 0; i < keep; ++i) {
    out.emplace_back(static_cast<uint32_t>(fused[i].first), fused[i].second);
  }
  return out;
}

void sort_by_id(std::vector<Contribution>& c) {
  std::stable_sort(c.begin(), c.end(),
                   [](const Contribution& a, const Contribution& b) { return a.id < b.id; });
}

// Appends weight * normalised score for every entry of `list`.
void add_normalised(const RankedList& list, float weight, std::vector<Contribution>& out) {
  if (list.empty()) return;
  float max = -std::numeric_limits<float>::max();
  float min = std::numeric_limits<float>::max();
  for (const auto& [id, s] : list) {
    if (s > max) max = s;  // a NaN compares false and changes neither bound
    if (s < min) min = s;
  }
  const float range = max - min;
  for (const auto& [id, s] : list) {
    const float norm = range < LINEAR_NORM_EPSILON ? 1.0f : (s - min) / range;
    out.push_back({id, weight * norm});
  }
}

}  // namespace

RankedList rrf_fusion(const RankedList& vector_hits, const RankedList& keyword_hits, size_t k) {
  if (k == 0) return {};
  std::vector<Contribution> c;
  c.reserve(vector_hits.size() + keyword_hits.size());
  for (const RankedList* list : {&vector_hits, &keyword_hits}) {
    for (size_t n = 0; n < list->size(); ++n) {
      const float denom = (static_cast<float>(n) + RRF_K) + 1.0f;
      c.push_back({(*list)[n].first, 1.0f / denom});
    }
  }
  sort_by_id(c);
  return select_top_k(c, k);
}

RankedList linear_fusion(const RankedList& vector_hits, const RankedList& keyword_hits, size_t k,
                         float alpha) {
  if (k == 0) return {};
  std::vector<Contribution> c;
  c.reserve(vector_hits.size() + keyword_hits.size());
  add_normalised(vector_hits, alpha, c);
  add_normalised(keyword_hits, 1.0f - alpha, c);
  sort_by_id(c);
  return select_top_k(c, k);
}

}  // namespace tarnwell_core
