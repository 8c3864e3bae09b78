// DatabaseHandle: what one open database is — the registry of collections, and for a persistent
// handle its data directory, write-ahead log and key. Every change follows one order: check
// everything, append one log record (persistent handles), then change memory, with the append
// and the change under one hold of the log's checkpoint lock: shared for document changes,
// exclusive for creating and deleting collections (so a name keeps denoting the collection a
// document change looked up). Checkpoints (save, compact, load) hold it exclusively from their
// first snapshot write until the log is cut; a checkpoint writes into data_dir the snapshot of
// every collection changed since the last one and removes the files of deleted ones, so cutting
// the log never loses a change.
//
// Errors carry the message the user sees; their codes decide the Python exception:
// kInvalidArgument and kAlreadyExists → ValueError, kNotFound → KeyError, kIoError and
// kInvalidData → RuntimeError.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/document.h"
#include "core/hnsw/config.h"
#include "core/collection/collection.h"
#include "core/storage/crypto.h"
#include "core/collection/registry.h"
#include "core/storage/wal.h"
#include "core/storage/wal_entry.h"
#include "core/util/status.h"

namespace tarnwell_core {

// How a handle opens, beyond its directory and key.
struct OpenOptions {
  // Automatic checkpoints: nullopt for the default bound (see DatabaseHandle), 0 for none, or
  // the log size in bytes beyond which a change is followed by a checkpoint.
  std::optional<uint64_t> checkpoint_bytes;
  // Receives the progress of the log's replay at start-up (records applied, records read).
  ProgressFn replay_progress;
};

class DatabaseHandle {
 public:
  // The default automatic checkpoint fires when the log outgrows half the bytes of the snapshots
  // a checkpoint would rewrite, and never below this floor. Writing a snapshot costs a few syncs
  // plus its bytes, while replaying a logged insertion costs a graph insertion: half the
  // snapshot keeps the bytes written per byte logged under three (two for snapshots, one for the
  // log) while a crash replays at most that much; the floor keeps tiny collections from being
  // rewritten every few changes (at 1 KiB per record, 8 MiB is several thousand records, whose
  // own syncs outweigh the checkpoint's).
  static constexpr uint64_t kCheckpointFloorBytes = uint64_t{8} << 20;

  // Ephemeral without a data directory; otherwise loads the snapshots in it, opens and reads back
  // the log, and replays it. Errors: "failed to load snapshots from '{}': {}" (the listing, or a
  // snapshot file that cannot be read), "failed to open WAL: {}", "WAL replay failed: {}" (all
  // RuntimeError). A snapshot file that holds no loadable collection (damaged, sealed with another
  // or no key, failing validation) is skipped and reported in recovery_warnings(); the handle then
  // never replaces, renames or removes it. Damaged records in the middle of the log are passed
  // over after the log was copied aside, and reported there too.
  static Result<std::unique_ptr<DatabaseHandle>> open(std::optional<std::string> data_dir,
                                                      std::shared_ptr<const EncryptionKey> key,
                                                      OpenOptions options = {});
  ~DatabaseHandle();

  // Checkpoints when the log holds changes, then closes the log and releases the data
  // directory's lock and the collections. Waits for changes in flight. Idempotent. When the
  // checkpoint fails the handle is closed all the same (the log still holds every change, for
  // the next opening) and the error is returned. In a child of fork() nothing is written.
  Status close();
  bool closed() const { return closed_.load(std::memory_order_acquire); }

  // What start-up passed over and kept, one message each; empty after a clean start.
  const std::vector<std::string>& recovery_warnings() const { return recovery_warnings_; }

  const std::optional<std::string>& data_dir() const { return data_dir_; }
  const std::shared_ptr<const EncryptionKey>& default_key() const { return default_key_; }

  // Collections. Refused before logging: a name that cannot be a file name, dimension 0, m < 2,
  // ef_construction 0 (and m_max0 < m, max_layers outside 1..255, pq_subspaces not dividing the
  // dimension), all kInvalidArgument.
  Status create_collection(std::string_view name, uint64_t dimension, const HnswConfig& config);
  Result<bool> delete_collection(std::string_view name);
  std::vector<std::string> list_collections() const;
  // Read access: searches and lookups are const; every change goes through the methods below.
  std::shared_ptr<const Collection> get_collection(std::string_view name) const;
  uint64_t total_memory_bytes() const;

  // Documents, on a collection the caller looked up under `name` (the name goes into the log
  // record exactly as given). Refused before logging: an embedding of the wrong length, an id
  // that is live (or, for a batch, repeated within it), and a collection that is no longer the
  // one registered under `name` (kNotFound).
  Result<Uuid> insert(const std::shared_ptr<const Collection>& collection, std::string_view name,
                      Document document, std::span<const float> embedding);
  Result<std::vector<Uuid>> batch_insert(const std::shared_ptr<const Collection>& collection,
                                         std::string_view name,
                                         std::vector<DocumentWithEmbedding> documents,
                                         const BatchOptions& options = {});
  Result<bool> delete_document(const std::shared_ptr<const Collection>& collection, std::string_view name,
                               const Uuid& id);

  // Inserts the document, or replaces the live document of its id (text, metadata and embedding)
  // in one step; one record either way. True when a live document was replaced.
  Result<bool> upsert(const std::shared_ptr<const Collection>& collection, std::string_view name,
                      Document document, std::span<const float> embedding);
  // Changes what is given of a live document (kNotFound "document '{}' not found" otherwise), in
  // one record: without an embedding the document keeps its graph node.
  Status update(const std::shared_ptr<const Collection>& collection, std::string_view name,
                const Uuid& id, std::optional<std::string> text, std::optional<Metadata> metadata,
                std::optional<std::vector<float>> embedding);
  // Removes the live documents among `ids`, or those passing `filter`, in one record; returns
  // how many were removed (nothing is logged when none was live).
  Result<size_t> delete_many(const std::shared_ptr<const Collection>& collection, std::string_view name,
                             std::span<const Uuid> ids);
  Result<size_t> delete_where(const std::shared_ptr<const Collection>& collection, std::string_view name,
                              const MetadataFilter& filter);

  // Persistence. `key` (when given) replaces the handle's key for this call only; save refuses
  // (kInvalidArgument) a key other than the handle's own for a snapshot in data_dir. With a log,
  // save and load end with a checkpoint (load empties the log before it replaces anything, so no
  // record of the replaced collection is replayed onto the loaded one); load changes nothing
  // unless it succeeds, and refuses a stored name that is registered (kAlreadyExists).
  Status save(std::string_view collection, std::optional<std::string> path,
              std::shared_ptr<const EncryptionKey> key);
  Status load(std::string_view name, std::optional<std::string> path,
              std::shared_ptr<const EncryptionKey> key);
  Status compact();
  Result<size_t> rebuild(std::string_view collection, const BatchOptions& options = {});

 private:
  // Declared before a logged change takes its locks, so that on the way out (locks released)
  // it checkpoints when the log has outgrown its bound.
  class CheckpointIfDue {
   public:
    explicit CheckpointIfDue(DatabaseHandle& h) : h_(h) {}
    ~CheckpointIfDue() { h_.maybe_checkpoint(); }
    CheckpointIfDue(const CheckpointIfDue&) = delete;
    CheckpointIfDue& operator=(const CheckpointIfDue&) = delete;

   private:
    DatabaseHandle& h_;
  };
  // An automatic checkpoint when the log has reached its bound; failures are left for the next
  // change (the log keeps everything) after another bound's worth of records. Takes the order
  // lock exclusively: the caller holds none of the handle's locks.
  void maybe_checkpoint() noexcept;
  // The log size that triggers an automatic checkpoint now. The caller holds order_lock().
  uint64_t checkpoint_bound_locked();

  DatabaseHandle(std::optional<std::string> data_dir, std::shared_ptr<const EncryptionKey> key,
                 std::unique_ptr<SyncWriteAheadLog> wal);

  // Reads the log back, makes the writer safe to append to, and replays the records.
  Status recover_log();

  // Appends a record; the caller holds order_lock() (shared or exclusive).
  Status log(std::span<const uint8_t> payload, WalRecordSpan* where = nullptr);
  // After a logged insertion of `ids` could not be applied: takes the record back, or logs the
  // deletions that undo it when records follow.
  void unlog_insert(const WalRecordSpan& record, std::string_view name,
                    std::span<const Uuid> ids) noexcept;
  // As unlog_insert, for a change with a compensating record that restores what it replaced.
  void unlog_change(const WalRecordSpan& record, std::span<const uint8_t> compensation) noexcept;
  // Logs and removes the live documents among `ids`; the caller holds the order lock (shared)
  // and the collection's writer mutex.
  Result<size_t> delete_live_locked(Collection& collection, std::string_view name,
                                    std::vector<Uuid> ids);
  // Refuses writes to the log or snapshots from a process that inherited this handle by fork():
  // they would interleave with the owner's.
  Status check_owner() const;
  // Refuses to write the data_dir snapshot of `name` when its file could not be read at start-up.
  Status check_snapshot_writable(std::string_view name) const;
  // Copies the log aside ("wal.bin.kept-{seconds}") before the first checkpoint cuts it, when
  // start-up left records unapplied. The caller holds order_lock() exclusively.
  Status keep_log_copy_if_needed();

  // fork() support: every live handle's locks are taken before a fork and released after it in
  // both processes, so the child never inherits a lock held by a thread it does not have.
  static void prepare_fork();
  static void after_fork_in_parent();
  static void after_fork_in_child();
  // The registered collection `collection` refers to; kNotFound unless it is still the one
  // registered under `name`.
  Result<std::shared_ptr<Collection>> registered(const std::shared_ptr<const Collection>& collection,
                                                 std::string_view name) const;

  void touch(std::string_view name);
  // Writes the collections changed since the last checkpoint into data_dir, removes the files of
  // collections deleted since, and empties the log. The caller holds order_lock() exclusively.
  // With `all`, every registered collection is written. Names in `written` are up to date.
  Status checkpoint_locked(bool all, std::unordered_set<std::string> written = {});
  // Writes data_dir/"{name}.twl" for `c`, first saving elsewhere any collection whose only
  // copy that file is. Adds what it wrote to `written`.
  Status write_data_dir_snapshot(const Collection& c, const EncryptionKey* key,
                                 std::unordered_set<std::string>& written);
  // Removes data_dir/"{name}.twl" and every other file there known to hold `name`.
  Status remove_data_dir_snapshots(const std::string& name, bool canonical_too);
  // After a failed write of data_dir/"{name}.twl" (which may have replaced the file before a
  // later step failed): makes the file match the registry again, rewriting it from the collection
  // registered under `name` or removing it when there is none; if that fails too, the next
  // checkpoint does it. The caller holds order_lock() exclusively.
  void restore_data_dir_snapshot(const std::string& name);
  bool is_data_dir(const std::string& dir) const;

  // Orders logged changes against checkpoints: the log's checkpoint lock, or for a handle without
  // a log a lock of its own. Shared for changes to documents (held from the check to the change),
  // exclusive for changes to the set of collections and for checkpoints, so that a collection
  // looked up under a shared hold stays the one registered under its name until released.
  std::shared_mutex& order_lock() const { return wal_ ? wal_->checkpoint_lock() : order_; }

  const std::optional<std::string> data_dir_;
  const std::shared_ptr<const EncryptionKey> default_key_;
  const std::unique_ptr<SyncWriteAheadLog> wal_;  // present exactly when data_dir_ is
  Database db_;
  mutable std::shared_mutex order_;  // order_lock() of a handle without a log

  // Names whose data_dir snapshot is stale: changed (or deleted) since the last checkpoint, and
  // those of them whose registered collection was really removed (their files go at the next
  // checkpoint; a file that merely failed to load is never removed).
  std::mutex touched_mu_;
  std::unordered_set<std::string> touched_;
  std::unordered_set<std::string> deleted_;

  // Snapshot files of data_dir loaded at start-up whose file name is not "{stored name}.twl",
  // mapped to the stored name they hold. Only touched under the exclusive order_lock().
  std::unordered_map<std::string, std::string> carriers_;

  // Snapshot files of data_dir that start-up could not read, by file name: never written,
  // renamed or removed by this handle. Fixed after start-up.
  std::unordered_set<std::string> unreadable_;
  // Start-up left log records unapplied (their collection's snapshot was unreadable or missing):
  // the first checkpoint copies the log aside before cutting it. Under the exclusive order_lock().
  bool keep_log_copy_ = false;
  std::vector<std::string> recovery_warnings_;
  const pid_t owner_pid_;
  OpenOptions options_;
  std::atomic<bool> closed_{false};
  // The log size below which maybe_checkpoint() does nothing: a cheap test on every change.
  std::atomic<uint64_t> next_checkpoint_check_{kCheckpointFloorBytes};
};

}  // namespace tarnwell_core
