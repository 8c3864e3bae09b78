// The keyword index of one collection: per-term posting lists keyed by the collection's dense
// internal ids, per-document token counts, and BM25 (k1 = 1.2, b = 0.75) ranking. The four
// public fields are exactly what a snapshot stores, in this order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/util/id_bitset.h"

namespace tarnwell_core {

struct Posting {
  uint32_t doc_id;
  uint32_t term_freq;  // occurrences of the term in that document, at least 1

  bool operator==(const Posting&) const = default;
};

class InvertedIndex {
 public:
  // One list per term, postings in the order documents were added; never an empty list.
  std::unordered_map<std::string, std::vector<Posting>> postings;
  // Kept-token count per internal id; 0 for ids never indexed or removed. Never shrinks.
  std::vector<uint32_t> doc_lengths;
  uint32_t doc_count = 0;     // documents currently counted
  uint64_t total_length = 0;  // sum of the counted documents' lengths

  // Indexes `text` under `doc_id`. An id that is still indexed (non-zero length) is removed
  // first, so its postings are never duplicated.
  void add_document(uint32_t doc_id, std::string_view text);

  // Un-indexes a document. Ids with length 0 (never indexed, already removed, or texts without
  // tokens) change nothing, so a token-less document stays counted in doc_count. Scans every
  // posting list.
  void remove_document(uint32_t doc_id);

  // Up to k (doc_id, score) pairs, highest BM25 score first; equal scores by ascending doc_id.
  // When more than k documents score, the cut drops the lowest scores and, among equal scores
  // at the cut, the smallest doc_ids. Memory is bounded by the documents scored, whatever k.
  std::vector<std::pair<uint32_t, float>> bm25_search(std::string_view query, size_t k) const;
  // As bm25_search, ranking only the documents in `admitted` (scores are unchanged: the
  // statistics stay those of the whole index).
  std::vector<std::pair<uint32_t, float>> bm25_search_filtered(std::string_view query, size_t k,
                                                               const IdBitset& admitted) const;

 private:
  std::vector<std::pair<uint32_t, float>> ranked(std::string_view query, size_t k,
                                                 const IdBitset* admitted) const;
};

}  // namespace tarnwell_core
