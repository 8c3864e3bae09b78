// Reads and changes of a collection beyond one document at a time: deleting many, changing a
// document's text or metadata in place, reading a stored embedding back, counting and listing
// the documents that pass a filter in insertion order.
#include <atomic>

#include "core/collection/collection.h"

namespace tarnwell_core {

size_t Collection::delete_documents(std::span<const Uuid> ids) {
  std::vector<std::shared_ptr<const Document>> removed;  // released after the lock
  removed.reserve(ids.size());
  std::vector<uint32_t> nodes;
  nodes.reserve(ids.size());
  std::unique_lock lock(mu_);
  for (const Uuid& id : ids) {
    const auto it = data_.documents.find(id);
    if (it == data_.documents.end()) continue;
    if (const auto u = data_.uuid_to_internal.find(id); u != data_.uuid_to_internal.end()) {
      unlink_locked(u->second);
      nodes.push_back(u->second);
    }
    removed.push_back(std::move(it->second));
    data_.documents.erase(it);
  }
  // The keyword index drops the whole batch in one pass over its postings (one pass per
  // document otherwise); without memory for that, it goes one document at a time.
  try {
    data_.bm25.remove_documents(nodes);
  } catch (const std::bad_alloc&) {
    for (const uint32_t p : nodes) data_.bm25.remove_document(p);
  }
  return removed.size();
}

bool Collection::patch_document(const Uuid& id, std::optional<std::string> text,
                                std::optional<Metadata> metadata) {
  std::shared_ptr<const Document> old = get_document(id);
  if (!old) return false;
  // Built before the lock; the writer mutex (held by the caller for logged changes) keeps the
  // document from changing meanwhile, and a concurrent unlogged change is checked below.
  auto doc = std::make_shared<const Document>(id, text ? std::move(*text) : old->text,
                                              metadata ? std::move(*metadata) : old->metadata);
  PreparedText prepared;
  if (text) prepared = PreparedText::of(doc->text);
  std::unique_lock lock(mu_);
  const auto it = data_.documents.find(id);
  const auto u = data_.uuid_to_internal.find(id);
  if (it == data_.documents.end() || u == data_.uuid_to_internal.end()) return false;
  const uint32_t p = u->second;
  // The steps that may throw come first and leave nothing a reader can see on failure.
  if (text) {
    PreparedText* one = &prepared;
    data_.bm25.reserve_for(p, std::span(&one, 1));
  }
  if (metadata) metadata_.replace(p, it->second->metadata, doc->metadata);
  if (text) data_.bm25.replace_prepared(p, prepared);
  if (p < live_.size()) live_[p] = doc.get();
  std::swap(it->second, doc);  // the old version is released after the lock, with `doc`
  lock.unlock();
  return true;
}

std::optional<std::vector<float>> Collection::get_embedding(const Uuid& id) const {
  std::shared_lock lock(mu_);
  const auto u = data_.uuid_to_internal.find(id);
  if (u == data_.uuid_to_internal.end() || live_document(u->second) == nullptr) return std::nullopt;
  const uint32_t p = u->second;
  const HnswIndex& h = data_.hnsw;
  if (h.has_raw_vectors()) {
    const float* v = h.raw_vectors.data() + static_cast<size_t>(p) * dimension_;
    return std::vector<float>(v, v + dimension_);
  }
  return h.reconstruct(p);
}

Result<Collection::ScanPage> Collection::scan(const std::optional<Uuid>& after, size_t limit,
                                              const MetadataFilter* filter,
                                              const ScanCursor* resume) const {
  std::shared_lock lock(mu_);
  size_t p = 0;
  if (resume != nullptr && resume->layout == layout_) {
    p = resume->position;
  } else if (after) {
    const auto u = data_.uuid_to_internal.find(*after);
    if (u == data_.uuid_to_internal.end()) {
      return Err(Status::not_found("scan position '" + after->to_string() +
                                   "' is not a document of this collection"));
    }
    p = size_t{u->second} + 1;
  }
  std::optional<IdBitset> members;
  if (filter != nullptr) members = metadata_.evaluate(*filter, live_.size());
  ScanPage page;
  for (; p < live_.size(); ++p) {
    const Document* doc = live_[p];
    if (doc == nullptr || (members && !members->test(static_cast<uint32_t>(p)))) continue;
    if (page.documents.size() == limit) {
      page.more = true;
      break;
    }
    page.documents.push_back(owner(doc));
  }
  page.next = {p, layout_};
  return page;
}

uint64_t Collection::next_layout() noexcept {
  static std::atomic<uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::vector<Uuid> Collection::matching_ids(const MetadataFilter* filter) const {
  std::shared_lock lock(mu_);
  std::vector<Uuid> ids;
  if (filter == nullptr) {
    ids.reserve(data_.documents.size());
    for (const Document* doc : live_) {
      if (doc != nullptr) ids.push_back(doc->id);
    }
    return ids;
  }
  const IdBitset members = metadata_.evaluate(*filter, live_.size());
  members.for_each([&](uint32_t p) {
    if (const Document* doc = live_document(p)) ids.push_back(doc->id);
  });
  return ids;
}

size_t Collection::count(const MetadataFilter* filter) const {
  std::shared_lock lock(mu_);
  if (filter == nullptr) return data_.documents.size();
  return metadata_.evaluate(*filter, live_.size()).count();
}

}  // namespace tarnwell_core
