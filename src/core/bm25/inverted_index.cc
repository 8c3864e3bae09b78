// Adding and removing documents in the inverted index. There is no forward index, so removal
// scans the whole vocabulary; deletions are rare next to searches.
#include "core/bm25/inverted_index.h"

#include <algorithm>
#include <limits>

#include "core/bm25/tokenizer.h"
#include "core/util/hash_map.h"

namespace tarnwell_core {

PreparedText PreparedText::of(std::string_view text) {
  const Tokens tokens = tokenize(text);
  PreparedText out;
  out.length =
      static_cast<uint32_t>(std::min<size_t>(tokens.size(), std::numeric_limits<uint32_t>::max()));
  std::unordered_map<std::string_view, uint32_t> counts;
  counts.reserve(tokens.size());
  for (size_t i = 0; i < tokens.size(); ++i) ++counts[tokens.token(i)];
  out.terms.reserve(counts.size());
  for (const auto& [term, tf] : counts) out.terms.emplace_back(std::string(term), tf);
  return out;
}

void InvertedIndex::add_document(uint32_t doc_id, std::string_view text) {
  remove_document(doc_id);
  PreparedText prepared = PreparedText::of(text);
  PreparedText* one = &prepared;
  reserve_for(doc_id, std::span(&one, 1));
  add_prepared(doc_id, prepared);
}

void InvertedIndex::reserve_for(uint32_t first_id, std::span<PreparedText* const> texts) {
  // How many postings each term is about to receive.
  std::unordered_map<std::string_view, uint32_t> adds;
  for (const PreparedText* t : texts) {
    for (const auto& [term, tf] : t->terms) ++adds[term];
  }
  // Lists of terms new to the index, each owned by the first text holding the term.
  std::unordered_map<std::string_view, std::vector<Posting>*> fresh;
  size_t new_terms = 0;
  for (PreparedText* t : texts) {
    t->lists.clear();
    t->new_lists.clear();
    t->lists.reserve(t->terms.size());
    for (const auto& [term, tf] : t->terms) {
      std::vector<Posting>* list;
      if (const auto it = postings.find(term); it != postings.end()) {
        list = &it->second;  // elements keep their address through rehashes
        list->reserve(list->size() + adds[term]);
      } else if (const auto f = fresh.find(term); f != fresh.end()) {
        list = f->second;
      } else {
        std::unordered_map<std::string, std::vector<Posting>> one;
        one.emplace(term, std::vector<Posting>()).first->second.reserve(adds[term]);
        auto& node = t->new_lists.emplace_back(one.extract(one.begin()));
        list = &node.mapped();
        fresh.emplace(node.key(), list);
        ++new_terms;
      }
      t->lists.emplace_back(list, tf);
    }
  }
  reserve_room(postings, new_terms);
  const size_t end = size_t{first_id} + texts.size();
  doc_lengths.reserve(std::max(doc_lengths.size(), end));
  indexed_.reserve(std::max(indexed_.size(), end));
}

void InvertedIndex::add_prepared(uint32_t doc_id, PreparedText& text) noexcept {
  if (doc_lengths.size() <= doc_id) doc_lengths.resize(size_t{doc_id} + 1, 0);
  if (indexed_.size() <= doc_id) indexed_.resize(size_t{doc_id} + 1, false);
  doc_lengths[doc_id] = text.length;
  indexed_[doc_id] = true;
  doc_count += 1;
  total_length += text.length;
  for (const auto& [list, tf] : text.lists) list->push_back(Posting{doc_id, tf});
  for (auto& node : text.new_lists) postings.insert(std::move(node));
  text.lists.clear();
  text.new_lists.clear();
}

void InvertedIndex::replace_prepared(uint32_t doc_id, PreparedText& text) noexcept {
  // The old postings go first but their lists stay, even emptied: the prepared text may point
  // into them. Lists left empty are dropped once the new postings are in.
  if (is_indexed(doc_id)) {
    indexed_[doc_id] = false;
    doc_count -= 1;
    const uint32_t length = doc_id < doc_lengths.size() ? doc_lengths[doc_id] : 0;
    total_length -= length;
    if (length != 0) {
      doc_lengths[doc_id] = 0;
      for (auto& [term, list] : postings) {
        std::erase_if(list, [doc_id](const Posting& p) { return p.doc_id == doc_id; });
      }
    }
  }
  add_prepared(doc_id, text);
  std::erase_if(postings, [](const auto& entry) { return entry.second.empty(); });
}

void InvertedIndex::remove_document(uint32_t doc_id) {
  if (!is_indexed(doc_id)) return;
  indexed_[doc_id] = false;
  const uint32_t length = doc_id < doc_lengths.size() ? doc_lengths[doc_id] : 0;
  doc_count -= 1;
  if (length == 0) return;
  doc_lengths[doc_id] = 0;
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

void InvertedIndex::remove_documents(std::span<const uint32_t> doc_ids) {
  std::vector<bool> gone(doc_lengths.size(), false);  // may throw; nothing changed yet
  bool any = false;
  for (const uint32_t doc_id : doc_ids) {
    if (!is_indexed(doc_id)) continue;
    indexed_[doc_id] = false;
    doc_count -= 1;
    const uint32_t length = doc_id < doc_lengths.size() ? doc_lengths[doc_id] : 0;
    if (length == 0) continue;
    doc_lengths[doc_id] = 0;
    total_length -= length;
    gone[doc_id] = true;
    any = true;
  }
  if (!any) return;
  // One pass over the postings for the whole batch.
  for (auto it = postings.begin(); it != postings.end();) {
    std::vector<Posting>& list = it->second;
    std::erase_if(list, [&gone](const Posting& p) { return gone[p.doc_id]; });
    if (list.empty()) {
      it = postings.erase(it);
    } else {
      ++it;
    }
  }
}

void InvertedIndex::recount(const std::vector<bool>& live) {
  // Nothing of an id without a live document stays: a file may carry its length or postings,
  // and counting them out of total_length while keeping them would make the index fail its
  // own validation once saved again.
  const auto is_live = [&live](size_t id) { return id < live.size() && live[id]; };
  for (size_t id = 0; id < doc_lengths.size(); ++id) {
    if (!is_live(id)) doc_lengths[id] = 0;
  }
  for (auto it = postings.begin(); it != postings.end();) {
    std::vector<Posting>& list = it->second;
    std::erase_if(list, [&is_live](const Posting& p) { return !is_live(p.doc_id); });
    if (list.empty()) {
      it = postings.erase(it);
    } else {
      ++it;
    }
  }
  indexed_.assign(doc_lengths.size(), false);
  doc_count = 0;
  total_length = 0;
  for (size_t id = 0; id < live.size(); ++id) {
    if (!live[id]) continue;
    if (indexed_.size() <= id) indexed_.resize(id + 1, false);
    indexed_[id] = true;
    ++doc_count;
    if (id < doc_lengths.size()) total_length += doc_lengths[id];
  }
}

}  // namespace tarnwell_core
