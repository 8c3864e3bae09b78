// Adding and removing documents in the inverted index. There is no forward index, so removal
// scans the whole vocabulary; deletions are rare next to searches.
#include "core/bm25/inverted_index.h"

#include <algorithm>
#include <limits>

#include "core/bm25/tokenizer.h"

namespace tarnwell_core {

void InvertedIndex::add_document(uint32_t doc_id, std::string_view text) {
  if (doc_id < doc_lengths.size() && doc_lengths[doc_id] != 0) remove_document(doc_id);

  Tokens tokens = tokenize(text);
  const auto n =
      static_cast<uint32_t>(std::min<size_t>(tokens.size(), std::numeric_limits<uint32_t>::max()));
  if (doc_lengths.size() <= doc_id) doc_lengths.resize(size_t{doc_id} + 1, 0);
  doc_lengths[doc_id] = n;
  doc_count += 1;
  total_length += n;

  std::unordered_map<std::string_view, uint32_t> counts;
  counts.reserve(tokens.size());
  for (size_t i = 0; i < tokens.size(); ++i) ++counts[tokens.token(i)];
  for (const auto& [term, tf] : counts) {
    postings[std::string(term)].push_back(Posting{doc_id, tf});
  }
}

void InvertedIndex::remove_document(uint32_t doc_id) {
  if (doc_id >= doc_lengths.size() || doc_lengths[doc_id] == 0) return;
  const uint32_t length = doc_lengths[doc_id];
  doc_lengths[doc_id] = 0;
  doc_count -= 1;
  total_length -= length;
  for (auto it = postings.begin(); it != postings.end();) {
    std::vector<Posting>& list = it->second;
    std::erase_if(list, [doc_id](const Posting& p) { return p.doc_id == doc_id; });
    if (list.empty()) {
      it = postings.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace tarnwell_core
