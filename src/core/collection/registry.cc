// Registry operations and log replay. Replay trusts nothing in a record beyond what the log's
// framing checked: names, configurations and embedding lengths are checked here, so that a
// record the facade would have refused cannot build a collection that misbehaves later.
#include "core/collection/registry.h"

#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/storage/snapshot.h"

namespace tarnwell_core {

Status validate_collection_config(uint64_t dimension, const HnswConfig& c) {
  if (dimension == 0) return Status::invalid_argument("dimension must be at least 1");
  if (c.m < 2) {
    return Status::invalid_argument("m must be at least 2, got " + std::to_string(c.m));
  }
  if (c.ef_construction == 0) {
    return Status::invalid_argument("ef_construction must be at least 1");
  }
  if (c.m_max0 < c.m) {
    return Status::invalid_argument("m_max0 (" + std::to_string(c.m_max0) +
                                    ") must be at least m (" + std::to_string(c.m) + ")");
  }
  if (c.max_layers < 1 || c.max_layers > 255) {
    return Status::invalid_argument("max_layers must be between 1 and 255, got " +
                                    std::to_string(c.max_layers));
  }
  if (c.pq_subspaces != 0 && dimension % c.pq_subspaces != 0) {
    return Status::invalid_argument("pq_subspaces " + std::to_string(c.pq_subspaces) +
                                    " does not divide dimension " + std::to_string(dimension));
  }
  return Status();
}

Status Database::create_collection(std::string name, uint64_t dimension, const HnswConfig& config) {
  std::unique_lock lock(mu_);
  if (collections_.contains(name)) {
    return Status::already_exists("Collection '" + name + "' already exists");
  }
  auto collection = std::make_shared<Collection>(name, dimension, config);
  collections_.emplace(std::move(name), std::move(collection));
  return Status();
}

std::shared_ptr<Collection> Database::get_collection(std::string_view name) const {
  std::shared_lock lock(mu_);
  auto it = collections_.find(std::string(name));
  return it == collections_.end() ? nullptr : it->second;
}

bool Database::delete_collection(std::string_view name) {
  std::shared_ptr<Collection> dropped;  // released after the lock
  std::unique_lock lock(mu_);
  auto it = collections_.find(std::string(name));
  if (it == collections_.end()) return false;
  dropped = std::move(it->second);
  collections_.erase(it);
  return true;
}

std::vector<std::string> Database::list_collections() const {
  std::shared_lock lock(mu_);
  std::vector<std::string> names;
  names.reserve(collections_.size());
  for (const auto& [name, collection] : collections_) names.push_back(name);
  return names;
}

size_t Database::collection_count() const {
  std::shared_lock lock(mu_);
  return collections_.size();
}

uint64_t Database::total_memory_bytes() const {
  // Registry lock outside, each collection's shared lock inside: the one nesting allowed.
  std::shared_lock lock(mu_);
  uint64_t total = 0;
  for (const auto& [name, collection] : collections_) total += collection->estimate_memory_bytes();
  return total;
}

void Database::register_loaded(std::vector<std::shared_ptr<Collection>> collections) {
  std::unique_lock lock(mu_);
  for (auto& collection : collections) {
    std::string name = collection->name();
    collections_.insert_or_assign(std::move(name), std::move(collection));
  }
}

void Database::install_loaded(const std::string& name, std::shared_ptr<Collection> loaded) {
  std::shared_ptr<Collection> replaced;  // released after the lock
  std::unique_lock lock(mu_);
  const auto it = collections_.try_emplace(name, nullptr).first;
  replaced = std::exchange(it->second, std::move(loaded));
}

void Database::lock_for_fork() {
  mu_.lock();
  fork_locked_.clear();
  for (const auto& [name, collection] : collections_) {
    collection->lock_for_fork();
    fork_locked_.push_back(collection);
  }
}

void Database::reset_locks_in_child() {
  for (const auto& c : fork_locked_) c->reset_lock_in_child();
  fork_locked_.clear();
  std::construct_at(&mu_);
}

void Database::unlock_after_fork() {
  for (auto it = fork_locked_.rbegin(); it != fork_locked_.rend(); ++it) (*it)->unlock_after_fork();
  fork_locked_.clear();
  mu_.unlock();
}

bool Database::replay_insert(Collection& collection, Document&& document,
                             std::span<const float> embedding) {
  // An embedding of another length would break the index's per-node arrays.
  if (embedding.size() != collection.dimension()) return false;
  if (collection.get_document(document.id) != nullptr) return false;
  collection.insert_document(std::move(document), embedding);
  return true;
}

bool Database::replay_batch(Collection& collection, std::vector<DocumentWithEmbedding> pairs,
                            ReplaySummary& summary) {
  // The pairs the collection can take, inserted as one batch (on every core when it is large);
  // the others are skipped one by one, as single inserts would be.
  std::vector<DocumentWithEmbedding> usable;
  usable.reserve(pairs.size());
  std::unordered_set<Uuid, UuidHash> seen;
  for (DocumentWithEmbedding& pair : pairs) {
    if (pair.embedding.size() == collection.dimension() && seen.insert(pair.document.id).second &&
        collection.get_document(pair.document.id) == nullptr) {
      usable.push_back(std::move(pair));
    }
  }
  summary.skipped += pairs.size() - usable.size();
  summary.applied += usable.size();
  if (usable.empty()) return false;
  collection.insert_documents(std::move(usable));
  return true;
}

void Database::replay_one(WalEntry& entry, ReplaySummary& summary) {
  auto count = [&summary](bool applied) { ++(applied ? summary.applied : summary.skipped); };
  std::visit(
      [&](auto& e) {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, WalEntry::CreateCollection>) {
          const bool usable = validate_collection_name(e.name).ok() &&
                              validate_collection_config(e.dimension, e.config).ok();
          const bool created = usable && create_collection(e.name, e.dimension, e.config).ok();
          if (created) summary.changed.insert(e.name);
          count(created);
        } else if constexpr (std::is_same_v<E, WalEntry::DeleteCollection>) {
          const bool removed = delete_collection(e.name);
          if (removed) {
            summary.changed.insert(e.name);
            summary.removed.insert(e.name);
          }
          count(removed);
        } else {
          std::shared_ptr<Collection> c = get_collection(e.collection);
          if (!c) {
            count(false);
            ++summary.missing_collection;
            return;
          }
          bool changed = false;
          if constexpr (std::is_same_v<E, WalEntry::InsertDocument>) {
            changed = replay_insert(*c, std::move(e.document), e.embedding);
            count(changed);
          } else if constexpr (std::is_same_v<E, WalEntry::DeleteDocument>) {
            changed = c->delete_document(e.id);
            count(changed);
          } else if constexpr (std::is_same_v<E, WalEntry::BatchInsert>) {
            changed = replay_batch(*c, std::move(e.documents), summary);
          } else if constexpr (std::is_same_v<E, WalEntry::UpdateDocument>) {
            // Checked before the delete, so that a bad record removes nothing.
            if (e.embedding.size() == c->dimension()) {
              c->delete_document(e.id);
              c->insert_document(std::move(e.document), e.embedding);
              changed = true;
            }
            count(changed);
          } else if constexpr (std::is_same_v<E, WalEntry::PatchDocument>) {
            changed = c->patch_document(e.id, std::move(e.text), std::move(e.metadata));
            count(changed);
          } else if constexpr (std::is_same_v<E, WalEntry::DeleteDocuments>) {
            changed = c->delete_documents(e.ids) != 0;
            count(changed);
          }
          if (changed) summary.changed.insert(e.collection);
        }
      },
      entry.value);
}

ReplaySummary Database::replay_wal(std::vector<WalEntry> entries, const ProgressFn& progress) {
  ReplaySummary summary;
  ProgressReporter report(progress, entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    replay_one(entries[i], summary);
    entries[i].value = WalEntry::DeleteCollection{};  // releases the documents as replay goes
    report.advance(i + 1);
  }
  report.finish();
  return summary;
}

void Database::clear() {
  Map dropped;  // released after the lock
  std::unique_lock lock(mu_);
  dropped.swap(collections_);
}

}  // namespace tarnwell_core
