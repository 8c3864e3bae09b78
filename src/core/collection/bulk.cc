// Reads and changes of a collection beyond one document at a time: deleting many, changing a
// document's text or metadata in place, reading a stored embedding back, counting and listing
// the documents that pass a filter in insertion order.
#include <atomic>

#include "core/collection/collection.h"

namespace tarnwell_core {

size_t Collection::delete_documents(std::span<const Uuid> ids) {
  std::vector<uint32_t> nodes;
  nodes.reserve(ids.size());
  std::unique_lock lock(mu_);
  for (const Uuid& id : ids) {
    const std::optional<uint32_t> p = data_.live_id(id);
    if (!p) continue;
    unlink_locked(*p);
    nodes.push_back(*p);
  }
  // The keyword index drops the whole batch in one pass over its postings (one pass per
  // document otherwise); without memory for that, it goes one document at a time.
  try {
    data_.bm25.remove_documents(nodes);
  } catch (const std::bad_alloc&) {
    for (const uint32_t p : nodes) data_.bm25.remove_document(p);
  }
  return nodes.size();
}

bool Collection::patch_document(const Uuid& id, std::optional<std::string> text,
                                std::optional<Metadata> metadata) {
  // Prepared before the lock; the writer mutex (held by the caller for logged changes) keeps the
  // document from changing meanwhile, and a concurrent unlogged change is checked below.
  const bool text_changed = text.has_value();
  PreparedText prepared;
  if (text_changed) prepared = PreparedText::of(*text);
  std::string compact;
  if (metadata) compact = encode_compact_metadata(*metadata);
  std::unique_lock lock(mu_);
  const std::optional<uint32_t> found = data_.live_id(id);
  if (!found) return false;
  const uint32_t p = *found;
  DocumentStore& store = data_.documents;
  // The steps that may throw come first and leave nothing a reader can see on failure. What is
  // kept is copied out first: making room may move the arena.
  if (!metadata) compact = std::string(store.metadata_bytes(p));
  if (!text) text = std::string(store.text(p));
  store.reserve(store.slot_count(), DocumentStore::record_size(*text, compact));
  if (text_changed) {
    PreparedText* one = &prepared;
    data_.bm25.reserve_for(p, std::span(&one, 1));
  }
  if (metadata) metadata_.replace(p, store.metadata(p), *metadata);
  if (text_changed) data_.bm25.replace_prepared(p, prepared);
  store.put(p, *text, compact);
  return true;
}

std::optional<std::vector<float>> Collection::get_embedding(const Uuid& id) const {
  std::shared_lock lock(mu_);
  const std::optional<uint32_t> found = data_.live_id(id);
  if (!found) return std::nullopt;
  const uint32_t p = *found;
  const HnswIndex& h = data_.hnsw;
  if (h.has_raw_vectors()) {
    const float* v = h.raw_vectors().data() + static_cast<size_t>(p) * dimension_;
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
    const std::optional<uint32_t> u = data_.ids.find(*after);
    if (!u) {
      return Err(Status::not_found("scan position '" + after->to_string() +
                                   "' is not a document of this collection"));
    }
    p = size_t{*u} + 1;
  }
  const DocumentStore& store = data_.documents;
  const size_t end = store.slot_count();
  std::optional<IdBitset> members;
  if (filter != nullptr) members = metadata_.evaluate(*filter, end);
  ScanPage page;
  for (; p < end; ++p) {
    const auto q = static_cast<uint32_t>(p);
    if (!store.live(q) || (members && !members->test(q))) continue;
    if (page.documents.size() == limit) {
      page.more = true;
      break;
    }
    page.documents.push_back(result_document(q));
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
  const DocumentStore& store = data_.documents;
  if (filter == nullptr) {
    ids.reserve(store.size());
    for (uint32_t p = 0; p < store.slot_count(); ++p) {
      if (store.live(p)) ids.push_back(data_.ids[p]);
    }
    return ids;
  }
  const IdBitset members = metadata_.evaluate(*filter, store.slot_count());
  members.for_each([&](uint32_t p) {
    if (store.live(p)) ids.push_back(data_.ids[p]);
  });
  return ids;
}

size_t Collection::count(const MetadataFilter* filter) const {
  std::shared_lock lock(mu_);
  if (filter == nullptr) return data_.documents.size();
  return metadata_.evaluate(*filter, data_.documents.slot_count()).count();
}

}  // namespace tarnwell_core
