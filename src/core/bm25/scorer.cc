// BM25 ranking. The f32 operations follow one fixed order so that scores are reproducible to
// the bit; top-k keeps a bounded min-heap instead of sorting every scored document.
#include <algorithm>
#include <cmath>

#include "core/bm25/inverted_index.h"
#include "core/bm25/tokenizer.h"

namespace tarnwell_core {
namespace {

constexpr size_t MAX_SCORE_RESERVE = 256;

using Scored = std::pair<float, uint32_t>;  // (score, doc_id)

// Whether `a` is kept in preference to `b`: higher score, or equal score and larger doc_id.
// As the heap's ordering it puts the pair to drop first (lowest score, then smallest doc_id)
// on top.
bool ranks_above(const Scored& a, const Scored& b) {
  return a.first > b.first || (a.first == b.first && a.second > b.second);
}

}  // namespace

std::vector<std::pair<uint32_t, float>> InvertedIndex::bm25_search(std::string_view query,
                                                                   size_t k) const {
  const Tokens q = tokenize(query);
  if (q.size() == 0 || doc_count == 0) return {};

  const float n_docs = static_cast<float>(doc_count);
  const float avgdl = static_cast<float>(total_length) / n_docs;
  std::unordered_map<uint32_t, float> scores;
  scores.reserve(std::min<size_t>(doc_count, MAX_SCORE_RESERVE));

  if (!postings.empty()) {
    // A term repeated in the query contributes once per occurrence.
    for (size_t i = 0; i < q.size(); ++i) {
      auto it = postings.find(std::string(q.token(i)));
      if (it == postings.end()) continue;
      const float df = static_cast<float>(it->second.size());
      const float idf = std::log((n_docs - df + 0.5f) / (df + 0.5f) + 1.0f);
      for (const Posting& p : it->second) {
        // A loaded index may name ids beyond doc_lengths; they read as empty documents.
        const float dl =
            p.doc_id < doc_lengths.size() ? static_cast<float>(doc_lengths[p.doc_id]) : 0.0f;
        const float norm = (dl * 0.75f) / avgdl + 0.25f;
        const float tf = static_cast<float>(p.term_freq);
        const float term = (tf * 2.2f) / (tf + 1.2f * norm);
        scores[p.doc_id] += idf * term;
      }
    }
  }

  // Never larger than what was scored, so a huge k costs nothing extra.
  const size_t keep = std::min(k, scores.size());
  if (keep == 0) return {};
  std::vector<Scored> heap;
  heap.reserve(keep + 1);
  for (const auto& [doc_id, score] : scores) {
    // Only an inconsistent loaded index yields NaN; it has no rank and would break the order.
    if (std::isnan(score)) continue;
    Scored s{score, doc_id};
    if (heap.size() == keep && !ranks_above(s, heap.front())) continue;
    heap.push_back(s);
    std::push_heap(heap.begin(), heap.end(), ranks_above);
    if (heap.size() > keep) {
      std::pop_heap(heap.begin(), heap.end(), ranks_above);
      heap.pop_back();
    }
  }

  std::sort(heap.begin(), heap.end(), [](const Scored& a, const Scored& b) {
    return a.first > b.first || (a.first == b.first && a.second < b.second);
  });
  std::vector<std::pair<uint32_t, float>> out;
  out.reserve(heap.size());
  for (const Scored& s : heap) out.emplace_back(s.second, s.first);
  return out;
}

}  // namespace tarnwell_core
