// The keyword index of one collection: per-term posting lists keyed by the collection's dense
// internal ids, per-document token counts, and BM25 (k1 = 1.2, b = 0.75) ranking. The four
// public fields are exactly what a snapshot stores, in this order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/util/id_bitset.h"
#include "core/util/status.h"

namespace tarnwell_core {

struct Posting {
  uint32_t doc_id;
  uint32_t term_freq;  // occurrences of the term in that document, at least 1

  bool operator==(const Posting&) const = default;
};

// A text tokenized and counted ahead of its insertion, with room made for it (see
// InvertedIndex::reserve_for), so that adding it cannot fail.
struct PreparedText {
  uint32_t length = 0;                                 // kept tokens
  std::vector<std::pair<std::string, uint32_t>> terms;  // distinct terms with their counts
  // Filled by reserve_for: the existing lists of its terms, each with room for one more posting
  // (and the term's count), and the lists of terms new to the index, already holding theirs.
  std::vector<std::pair<std::vector<Posting>*, uint32_t>> lists;
  std::vector<std::unordered_map<std::string, std::vector<Posting>>::node_type> new_lists;

  static PreparedText of(std::string_view text);
};

// The figures BM25 scores a query with: the document count, the summed document length and
// each distinct query term's document frequency. Figures summed over the parts of a collection
// split across several indexes make every part score exactly as the whole would.
struct Bm25Statistics {
  uint64_t doc_count = 0;
  uint64_t total_length = 0;
  std::unordered_map<std::string, uint64_t> doc_freqs;  // query term -> documents holding it
};

// kInvalidArgument unless `stats` gives a document frequency, at most its document count, for
// every term of `query`.
Status check_bm25_statistics(const Bm25Statistics& stats, std::string_view query);

class InvertedIndex {
 public:
  // One list per term, postings in the order documents were added; never an empty list.
  std::unordered_map<std::string, std::vector<Posting>> postings;
  // Kept-token count per internal id; 0 for ids never indexed or removed. Never shrinks.
  std::vector<uint32_t> doc_lengths;
  uint32_t doc_count = 0;     // documents currently counted
  uint64_t total_length = 0;  // sum of the counted documents' lengths

  // Indexes `text` under `doc_id`. An id that is still indexed is removed first, so its postings
  // are never duplicated.
  void add_document(uint32_t doc_id, std::string_view text);

  // add_document in two steps, for texts that take the ids first_id, first_id + 1, ...:
  // reserve_for allocates everything they need (it may throw std::bad_alloc and then changes
  // nothing a reader can see), add_prepared then cannot fail. The texts are added in order, or a
  // prefix of them; nothing else may change the index meanwhile.
  // The ids must not be indexed (add_document removes an indexed id first).
  void reserve_for(uint32_t first_id, std::span<PreparedText* const> texts);
  void add_prepared(uint32_t doc_id, PreparedText& text) noexcept;
  // Replaces the text of an indexed id by a text reserved for it (reserve_for with that id):
  // cannot fail. The id keeps being counted once.
  void replace_prepared(uint32_t doc_id, PreparedText& text) noexcept;

  // Un-indexes a document: it leaves doc_count, total_length and its postings, a document with
  // no tokens included. Ids never indexed or already removed change nothing. Scans every posting
  // list of a document with tokens.
  void remove_document(uint32_t doc_id);
  // As remove_document for each id, in one pass over the postings. Throws std::bad_alloc before
  // changing anything when its scratch cannot be allocated.
  void remove_documents(std::span<const uint32_t> doc_ids);

  // Derives which ids are indexed from the ids of the live documents (every live document is
  // indexed, nothing else is), for an index read from a file, where token-less documents cannot
  // be told from removed ones; doc_count and total_length are recomputed to match, which also
  // heals counts that older files let drift.
  void recount(const std::vector<bool>& live);

  bool is_indexed(uint32_t doc_id) const {
    return doc_id < indexed_.size() && indexed_[doc_id];
  }

  // Up to k (doc_id, score) pairs, highest BM25 score first; equal scores by ascending doc_id.
  // When more than k documents score, the cut drops the lowest scores and, among equal scores
  // at the cut, the smallest doc_ids. Memory is bounded by the documents scored, whatever k.
  // With `global` (checked by check_bm25_statistics), documents are scored with those figures
  // instead of this index's own.
  std::vector<std::pair<uint32_t, float>> bm25_search(
      std::string_view query, size_t k, const Bm25Statistics* global = nullptr) const;
  // As bm25_search, ranking only the documents in `admitted` (scores are unchanged: the
  // statistics stay those of the whole index).
  std::vector<std::pair<uint32_t, float>> bm25_search_filtered(
      std::string_view query, size_t k, const IdBitset& admitted,
      const Bm25Statistics* global = nullptr) const;

  // This index's figures for `query`, every distinct query term listed (0 when unknown).
  Bm25Statistics statistics(std::string_view query) const;

 private:
  std::vector<std::pair<uint32_t, float>> ranked(std::string_view query, size_t k,
                                                 const IdBitset* admitted,
                                                 const Bm25Statistics* global) const;

  // Per id: counted in doc_count. Never persisted (see recount).
  std::vector<bool> indexed_;
};

}  // namespace tarnwell_core
