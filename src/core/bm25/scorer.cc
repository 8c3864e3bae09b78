// BM25 ranking. The f32 operations follow one fixed order so that scores are reproducible to
// the bit; scores accumulate in a flat table sized from the postings visited, and top-k keeps
// a bounded min-heap instead of sorting every scored document.
#include <algorithm>
#include <cmath>

#include "core/bm25/inverted_index.h"
#include "core/bm25/tokenizer.h"

namespace tarnwell_core {
namespace {

using Scored = std::pair<float, uint32_t>;  // (score, doc_id)

// Whether `a` is kept in preference to `b`: higher score, or equal score and larger doc_id.
// As the heap's ordering it puts the pair to drop first (lowest score, then smallest doc_id)
// on top.
bool ranks_above(const Scored& a, const Scored& b) {
  return a.first > b.first || (a.first == b.first && a.second > b.second);
}

// Per-query score accumulator: open addressing over a flat slot array, entries kept densely in
// first-touch order. Sized from the postings the query will visit, so it rarely grows, and
// never allocates per document the way a node-based map does.
class ScoreTable {
 public:
  explicit ScoreTable(size_t expected_docs) {
    size_t capacity = 16;
    while (capacity < expected_docs * 2) capacity <<= 1;
    slots_.assign(capacity, 0);
    entries_.reserve(expected_docs);
  }

  float& operator[](uint32_t doc_id) {
    size_t mask = slots_.size() - 1;
    size_t i = slot_of(doc_id) & mask;
    for (uint32_t s; (s = slots_[i]) != 0; i = (i + 1) & mask) {
      if (entries_[s - 1].second == doc_id) return entries_[s - 1].first;
    }
    if ((entries_.size() + 1) * 2 > slots_.size()) {
      grow();
      return (*this)[doc_id];
    }
    entries_.emplace_back(0.0f, doc_id);
    slots_[i] = static_cast<uint32_t>(entries_.size());  // entry index + 1; 0 marks empty
    return entries_.back().first;
  }

  const std::vector<Scored>& entries() const { return entries_; }

 private:
  static size_t slot_of(uint32_t doc_id) {
    return static_cast<size_t>((uint64_t{doc_id} * 0x9E3779B97F4A7C15ULL) >> 32);
  }

  void grow() {
    slots_.assign(slots_.size() * 2, 0);
    size_t mask = slots_.size() - 1;
    for (size_t e = 0; e < entries_.size(); ++e) {
      size_t i = slot_of(entries_[e].second) & mask;
      while (slots_[i] != 0) i = (i + 1) & mask;
      slots_[i] = static_cast<uint32_t>(e + 1);
    }
  }

  std::vector<uint32_t> slots_;
  std::vector<Scored> entries_;
};

}  // namespace

std::vector<std::pair<uint32_t, float>> InvertedIndex::bm25_search(std::string_view query,
                                                                   size_t k) const {
  const Tokens q = tokenize(query);
  if (q.size() == 0 || doc_count == 0) return {};

  const float n_docs = static_cast<float>(doc_count);
  const float avgdl = static_cast<float>(total_length) / n_docs;
  // Look every query term up once; a repeated term contributes once per occurrence.
  std::vector<const std::vector<Posting>*> lists;
  lists.reserve(q.size());
  size_t visited = 0;
  if (!postings.empty()) {
    for (size_t i = 0; i < q.size(); ++i) {
      auto it = postings.find(std::string(q.token(i)));
      if (it == postings.end()) continue;
      lists.push_back(&it->second);
      visited += it->second.size();
    }
  }

  ScoreTable scores(std::min(visited, std::max<size_t>(doc_lengths.size(), 16)));
  for (const std::vector<Posting>* list : lists) {
    const float df = static_cast<float>(list->size());
    const float idf = std::log((n_docs - df + 0.5f) / (df + 0.5f) + 1.0f);
    for (const Posting& p : *list) {
      // A loaded index may name ids beyond doc_lengths; they read as empty documents.
      const float dl =
          p.doc_id < doc_lengths.size() ? static_cast<float>(doc_lengths[p.doc_id]) : 0.0f;
      const float norm = (dl * 0.75f) / avgdl + 0.25f;
      const float tf = static_cast<float>(p.term_freq);
      const float term = (tf * 2.2f) / (tf + 1.2f * norm);
      scores[p.doc_id] += idf * term;
    }
  }

  // Never larger than what was scored, so a huge k costs nothing extra.
  const size_t keep = std::min(k, scores.entries().size());
  if (keep == 0) return {};
  std::vector<Scored> heap;
  heap.reserve(keep + 1);
  for (const Scored& s : scores.entries()) {
    // Only an inconsistent loaded index yields NaN; it has no rank and would break the order.
    if (std::isnan(s.first)) continue;
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
