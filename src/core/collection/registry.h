// Database: the registry of one handle's collections by name, under a reader-writer lock
// (shared for lookups and listing, exclusive for changes), and the replay of logged changes at
// start-up. Lookups hand out shared references, so a collection removed meanwhile stays usable
// by whoever holds one. The registry lock is never held while a collection lock is waited for,
// except shared-over-shared in total_memory_bytes (registry outside, collection inside).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/hnsw/config.h"
#include "core/collection/collection.h"
#include "core/storage/wal_entry.h"
#include "core/util/status.h"

namespace tarnwell_core {

// Refuses configurations an index cannot work with (kInvalidArgument): dimension 0, m < 2,
// ef_construction 0, m_max0 < m, max_layers outside 1..255, pq_subspaces not dividing the
// dimension.
Status validate_collection_config(uint64_t dimension, const HnswConfig& config);

// What a replay did, so that the handle knows which snapshots the log's changes make stale.
struct ReplaySummary {
  std::unordered_set<std::string> changed;  // names that an applied record created or changed
  std::unordered_set<std::string> removed;  // names whose registered collection a record removed
  size_t applied = 0;                       // records (batch pairs counted singly) applied
  size_t skipped = 0;                       // records or pairs passed over
  size_t missing_collection = 0;            // of those, changes to a collection not registered
};

class Database {
 public:
  Database() = default;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Registers an empty collection; kAlreadyExists "Collection '{}' already exists" when the name
  // is taken (the registry is then unchanged). Arguments are the caller's to check.
  Status create_collection(std::string name, uint64_t dimension, const HnswConfig& config);
  std::shared_ptr<Collection> get_collection(std::string_view name) const;
  // True when a collection of that name was registered and is now removed.
  bool delete_collection(std::string_view name);
  // Names in the registry's iteration order (unspecified).
  std::vector<std::string> list_collections() const;
  size_t collection_count() const;
  // Sum of the collections' memory estimates.
  uint64_t total_memory_bytes() const;

  // Re-applies logged changes in order; never fails. Records that cannot apply are skipped:
  // creations of a taken name or with an unusable name or configuration, changes to missing
  // collections, insertions of ids already present and embeddings of the wrong length.
  // `progress`, when given, hears (records done, records) as replay advances.
  ReplaySummary replay_wal(std::vector<WalEntry> entries, const ProgressFn& progress = {});

  // Releases every collection (a closed handle's registry).
  void clear();

  // Registers collections read at start-up under their own names, in order (a later one
  // replaces an earlier one of the same name).
  void register_loaded(std::vector<std::shared_ptr<Collection>> collections);

  // Registers `loaded` under `name`, replacing whatever was registered there.
  void install_loaded(const std::string& name, std::shared_ptr<Collection> loaded);

  // fork() support: takes the registry lock and every collection's lock exclusively (registry
  // first, the order total_memory_bytes nests them in), and releases them.
  void lock_for_fork();
  void unlock_after_fork();
  // In the child of a fork, where the locks taken by lock_for_fork cannot be unlocked.
  void reset_locks_in_child();

 private:
  using Map = std::unordered_map<std::string, std::shared_ptr<Collection>>;

  void replay_one(WalEntry& entry, ReplaySummary& summary);
  // Inserts a replayed document unless the collection cannot take it; true when inserted.
  static bool replay_insert(Collection& collection, Document&& document,
                            std::span<const float> embedding);
  // Inserts the pairs of a replayed batch the collection can take; true when any went in.
  static bool replay_batch(Collection& collection, std::vector<DocumentWithEmbedding> pairs,
                           ReplaySummary& summary);

  mutable std::shared_mutex mu_;  // guards collections_
  Map collections_;
  std::vector<std::shared_ptr<Collection>> fork_locked_;  // held across a fork
};

}  // namespace tarnwell_core
