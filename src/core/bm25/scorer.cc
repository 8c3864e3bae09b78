// BM25 ranking. The f32 operations follow one fixed order so that scores are reproducible to
// the bit. Queries that visit many postings accumulate into a per-thread array indexed by
// document id, reused from query to query; the others into a small hash table sized from the
// postings visited. Top-k keeps a bounded min-heap instead of sorting every scored document.
#include <algorithm>
#include <array>
#include <cmath>

#include "core/bm25/inverted_index.h"
#include "core/bm25/tokenizer.h"
#include "core/util/per_thread.h"

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

// Scores indexed directly by document id: one memory access per posting instead of a probe.
// The slots outlive the query (zeroing an array per query would cost more than the query), and
// a stamp tells this query's slots from stale ones.
class DenseScores {
 public:
  // Ready for a query over ids below `n`.
  void begin(size_t n) {
    if (slots_.size() < n) slots_.resize(n, Slot{0.0f, 0});
    touched_.clear();
    if (++stamp_ == 0) {  // wrapped: no stale slot may match the new stamp
      for (Slot& s : slots_) s.stamp = 0;
      stamp_ = 1;
    }
  }

  void add(uint32_t doc_id, float value) {
    Slot& s = slots_[doc_id];
    if (s.stamp != stamp_) {
      s = Slot{0.0f, stamp_};
      touched_.push_back(doc_id);
    }
    s.score += value;
  }

  float score(uint32_t doc_id) const { return slots_[doc_id].score; }
  const std::vector<uint32_t>& touched() const { return touched_; }

 private:
  struct Slot {
    float score;
    uint32_t stamp;
  };
  std::vector<Slot> slots_;
  std::vector<uint32_t> touched_;
  uint32_t stamp_ = 0;
};

// The dense array pays off once a query visits a fair share of the documents; it stays
// allocated per thread, so it is only used for collections of a bounded size.
constexpr size_t kDenseMaxDocs = size_t{1} << 21;
constexpr size_t kDenseMinShare = 16;  // visited postings >= documents / this

PerThread<DenseScores> DENSE_SCORES;

// The thread's array, looked up once per query (each lookup is a library call).
[[gnu::noinline]] DenseScores& dense_scores() { return DENSE_SCORES.get(); }

// (tf * 2.2) / (tf + 1.2 * (0.25 + 0.75 * dl / avgdl)), BM25's term-frequency part, read from
// a table for the common small counts and short documents. The table is filled with the very
// operations of the direct formula, so every score stays bit-identical; it saves a division
// per posting.
class TermWeights {
 public:
  explicit TermWeights(float avgdl) : avgdl_(avgdl) {
    for (uint32_t tf = 1; tf <= kMaxTf; ++tf) {
      for (uint32_t dl = 0; dl < kLengths; ++dl) table_[(tf - 1) * kLengths + dl] = compute(tf, dl);
    }
  }

  float operator()(uint32_t tf, uint32_t dl) const {
    if (tf - 1 < kMaxTf && dl < kLengths) return table_[(tf - 1) * kLengths + dl];
    return compute(tf, dl);
  }

 private:
  static constexpr uint32_t kMaxTf = 3;
  static constexpr uint32_t kLengths = 64;

  float compute(uint32_t term_freq, uint32_t dl) const {
    const float norm = (static_cast<float>(dl) * 0.75f) / avgdl_ + 0.25f;
    const float tf = static_cast<float>(term_freq);
    return (tf * 2.2f) / (tf + 1.2f * norm);
  }

  float avgdl_;
  std::array<float, kMaxTf * kLengths> table_;
};

}  // namespace

Status check_bm25_statistics(const Bm25Statistics& stats, std::string_view query) {
  const Tokens q = tokenize(query);
  for (size_t i = 0; i < q.size(); ++i) {
    const std::string term(q.token(i));
    auto it = stats.doc_freqs.find(term);
    if (it == stats.doc_freqs.end()) {
      return Status::invalid_argument("bm25_statistics has no document frequency for the term '" +
                                      term + "'");
    }
    if (it->second > stats.doc_count) {
      return Status::invalid_argument("bm25_statistics counts the term '" + term +
                                      "' in more documents than it counts");
    }
  }
  return Status();
}

Bm25Statistics InvertedIndex::statistics(std::string_view query) const {
  Bm25Statistics s{doc_count, total_length, {}};
  const Tokens q = tokenize(query);
  for (size_t i = 0; i < q.size(); ++i) {
    std::string term(q.token(i));
    auto it = postings.find(term);
    s.doc_freqs[std::move(term)] = it == postings.end() ? 0 : it->second.size();
  }
  return s;
}

std::vector<std::pair<uint32_t, float>> InvertedIndex::bm25_search(
    std::string_view query, size_t k, const Bm25Statistics* global) const {
  return ranked(query, k, nullptr, global);
}

std::vector<std::pair<uint32_t, float>> InvertedIndex::bm25_search_filtered(
    std::string_view query, size_t k, const IdBitset& admitted,
    const Bm25Statistics* global) const {
  return ranked(query, k, &admitted, global);
}

std::vector<std::pair<uint32_t, float>> InvertedIndex::ranked(std::string_view query, size_t k,
                                                              const IdBitset* admitted,
                                                              const Bm25Statistics* global) const {
  const Tokens q = tokenize(query);
  if (q.size() == 0 || doc_count == 0) return {};
  // Figures that count no document leave nothing to score with (and no average length).
  if (global != nullptr && global->doc_count == 0) return {};

  // The same conversions whichever figures are used, so that equal figures give equal bits.
  const float n_docs = static_cast<float>(global != nullptr ? global->doc_count : doc_count);
  const float avgdl =
      static_cast<float>(global != nullptr ? global->total_length : total_length) / n_docs;
  // Look every query term up once; a repeated term contributes once per occurrence.
  std::vector<const std::vector<Posting>*> lists;
  std::vector<float> dfs;  // per list: the document frequency scored with
  lists.reserve(q.size());
  dfs.reserve(q.size());
  size_t visited = 0;
  if (!postings.empty()) {
    for (size_t i = 0; i < q.size(); ++i) {
      const std::string term(q.token(i));
      auto it = postings.find(term);
      if (it == postings.end()) continue;
      uint64_t df = it->second.size();
      if (global != nullptr) {
        auto g = global->doc_freqs.find(term);
        if (g != global->doc_freqs.end()) df = g->second;  // callers check every term is there
      }
      lists.push_back(&it->second);
      dfs.push_back(static_cast<float>(df));
      visited += it->second.size();
    }
  }

  const TermWeights weight(avgdl);
  const size_t n_ids = doc_lengths.size();
  // Calls add(doc_id, contribution) for every posting, in list order: each document's sum
  // is taken in the same order whichever accumulator is used.
  const auto score_postings = [&](auto&& add) {
    for (size_t l = 0; l < lists.size(); ++l) {
      const std::vector<Posting>* list = lists[l];
      const float df = dfs[l];
      const float idf = std::log((n_docs - df + 0.5f) / (df + 0.5f) + 1.0f);
      for (const Posting& p : *list) {
        if (admitted != nullptr && !admitted->test(p.doc_id)) continue;
        // A loaded index may name ids beyond doc_lengths; they read as empty documents.
        const uint32_t dl = p.doc_id < n_ids ? doc_lengths[p.doc_id] : 0;
        add(p.doc_id, idf * weight(p.term_freq, dl));
      }
    }
  };

  std::vector<Scored> heap;
  size_t keep = 0;
  // Offers one scored document to the bounded heap of the best `keep`.
  const auto offer = [&](const Scored& s) {
    // Only an inconsistent loaded index yields NaN; it has no rank and would break the order.
    if (std::isnan(s.first)) return;
    if (heap.size() == keep && !ranks_above(s, heap.front())) return;
    heap.push_back(s);
    std::push_heap(heap.begin(), heap.end(), ranks_above);
    if (heap.size() > keep) {
      std::pop_heap(heap.begin(), heap.end(), ranks_above);
      heap.pop_back();
    }
  };

  const bool dense = n_ids <= kDenseMaxDocs && visited * kDenseMinShare >= n_ids;
  ScoreTable overflow(dense ? 16 : std::min(visited, std::max<size_t>(n_ids, 16)));
  if (dense) {
    DenseScores& scores = dense_scores();
    scores.begin(n_ids);
    score_postings([&](uint32_t id, float v) {
      if (id < n_ids) {
        scores.add(id, v);
      } else {
        overflow[id] += v;
      }
    });
    // Never larger than what was scored, so a huge k costs nothing extra.
    keep = std::min(k, scores.touched().size() + overflow.entries().size());
    if (keep == 0) return {};
    heap.reserve(keep + 1);
    for (uint32_t id : scores.touched()) {
      const float score = scores.score(id);
      // Most documents score below the k-th best kept so far: rejected without a call.
      if (heap.size() == keep && score < heap.front().first) continue;
      offer(Scored{score, id});
    }
  } else {
    score_postings([&](uint32_t id, float v) { overflow[id] += v; });
    keep = std::min(k, overflow.entries().size());
    if (keep == 0) return {};
    heap.reserve(keep + 1);
  }
  for (const Scored& s : overflow.entries()) offer(s);

  std::sort(heap.begin(), heap.end(), [](const Scored& a, const Scored& b) {
    return a.first > b.first || (a.first == b.first && a.second < b.second);
  });
  std::vector<std::pair<uint32_t, float>> out;
  out.reserve(heap.size());
  for (const Scored& s : heap) out.emplace_back(s.second, s.first);
  return out;
}

}  // namespace tarnwell_core
