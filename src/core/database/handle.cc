// DatabaseHandle: start-up (snapshots, log read-back, replay), the logged changes, and the
// checkpoints (save, compact, load). Lock order: the order lock (the log's checkpoint lock) →
// a collection's writer mutex → the log's mutex or a collection's lock; the registry lock is only
// taken briefly, never around a wait for another lock.
#include "core/database/handle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>
#include <new>
#include <shared_mutex>

#include "core/storage/snapshot.h"
#include "core/util/file.h"

namespace tarnwell_core {
namespace {

// `status` with `prefix` before its message, keeping an I/O error's number. Anything that is not
// a file or data problem is reported as an I/O error: these are RuntimeErrors to the user.
Status with_prefix(const std::string& prefix, const Status& status) {
  if (status.code() == StatusCode::kInvalidData) {
    return Status::invalid_data(prefix + status.message());
  }
  return Status::io_error(prefix + status.message(), status.sys_errno());
}

Status not_found(std::string_view name) {
  return Status::not_found("collection '" + std::string(name) + "' not found");
}


Status already_exists(const Uuid& id) {
  return Status::already_exists("document '" + id.to_string() + "' already exists");
}

Status remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return with_path(Status::from_errno(errno), path);
  }
  return Status();
}

// The snapshots found in a data directory at start-up.
struct LoadedSnapshots {
  std::vector<std::shared_ptr<Collection>> winners;       // one per stored name, listing order
  std::unordered_map<std::string, std::string> carriers;  // file name → stored name it holds
  std::vector<std::pair<std::string, std::string>> unreadable;  // file name, why
};

// A snapshot file read and validated; running out of memory on a hostile or huge file fails
// this file alone.
Result<std::shared_ptr<Collection>> load_one(const std::string& path, const EncryptionKey* key) {
  try {
    return load_collection(path, key);
  } catch (const std::bad_alloc&) {
    return Err(Status::invalid_data("not enough memory to load it"));
  }
}

// Loads every snapshot file of `dir`; files that hold no loadable collection are skipped, left
// alone and reported, while one that cannot be read (an I/O error) fails the start-up. Of two
// files holding one stored name, "{name}.twl" wins (checkpoints keep that file current; another
// one is a stale copy), otherwise the later one in listing order.
Result<LoadedSnapshots> load_snapshots(const std::string& dir, const EncryptionKey* key) {
  Result<std::vector<std::string>> entries = list_dir(dir);
  if (!entries) {
    // The directory is named already: the system's text alone follows.
    const int err = entries.error().sys_errno();
    return Err(Status::io_error("failed to load snapshots from '" + dir + "': " +
                                    (err != 0 ? Status::from_errno(err).message()
                                              : entries.error().message()),
                                err));
  }
  struct Candidate {
    std::string file;
    std::shared_ptr<Collection> collection;
    bool canonical;
  };
  std::vector<Candidate> kept;
  std::unordered_map<std::string, size_t> by_name;  // stored name → index in kept
  LoadedSnapshots out;
  for (const std::string& file : *entries) {
    if (!has_snapshot_extension(file)) continue;
    Result<std::shared_ptr<Collection>> loaded = load_one(join_path(dir, file), key);
    if (!loaded) {
      // A file that holds no loadable collection (damaged, sealed with another key, not a
      // regular file) is skipped and protected; one gone since the listing or a directory is
      // no snapshot at all. One that could not be read may hold a collection whose logged
      // changes would be dropped by replay: refuse to start.
      const Status& e = loaded.error();
      if (e.code() == StatusCode::kIoError && (e.sys_errno() == ENOENT || e.sys_errno() == EISDIR)) {
        continue;
      }
      if (e.code() == StatusCode::kIoError) {
        return Err(Status::io_error(
            "failed to load snapshots from '" + dir + "': " + file + ": " + e.message(),
            e.sys_errno()));
      }
      out.unreadable.emplace_back(file, e.message());
      continue;
    }
    std::string name = (*loaded)->name();
    const bool canonical = file == snapshot_file_name(name);
    if (!canonical) out.carriers.emplace(file, name);
    auto [it, fresh] = by_name.emplace(name, kept.size());
    if (fresh) {
      kept.push_back({file, std::move(*loaded), canonical});
    } else if (canonical || !kept[it->second].canonical) {
      kept[it->second] = {file, std::move(*loaded), canonical};
    }
  }
  out.winners.reserve(kept.size());
  for (Candidate& c : kept) out.winners.push_back(std::move(c.collection));
  return out;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// Every live handle, for the fork handlers.
std::mutex LIVE_HANDLES_MU;
std::vector<DatabaseHandle*>& live_handles() {
  static std::vector<DatabaseHandle*> handles;
  return handles;
}

}  // namespace

DatabaseHandle::DatabaseHandle(std::optional<std::string> data_dir,
                               std::shared_ptr<const EncryptionKey> key,
                               std::unique_ptr<SyncWriteAheadLog> wal)
    : data_dir_(std::move(data_dir)),
      default_key_(std::move(key)),
      wal_(std::move(wal)),
      owner_pid_(::getpid()) {
  static std::once_flag atfork;
  std::call_once(atfork, [] {
    ::pthread_atfork(&DatabaseHandle::prepare_fork, &DatabaseHandle::after_fork_in_parent,
                     &DatabaseHandle::after_fork_in_child);
  });
  std::lock_guard lock(LIVE_HANDLES_MU);
  live_handles().push_back(this);
}

DatabaseHandle::~DatabaseHandle() {
  std::lock_guard lock(LIVE_HANDLES_MU);
  std::erase(live_handles(), this);
}

void DatabaseHandle::prepare_fork() {
  // Held until after_fork, in the parent and in the child. Each handle's locks in their one
  // order: the order lock (no change in flight), then the registry and every collection (no
  // search or rebuild step in flight).
  LIVE_HANDLES_MU.lock();
  for (DatabaseHandle* h : live_handles()) {
    h->order_lock().lock();
    h->db_.lock_for_fork();
  }
}

void DatabaseHandle::after_fork_in_parent() {
  std::vector<DatabaseHandle*>& handles = live_handles();
  for (auto it = handles.rbegin(); it != handles.rend(); ++it) {
    (*it)->db_.unlock_after_fork();
    (*it)->order_lock().unlock();
  }
  LIVE_HANDLES_MU.unlock();
}

void DatabaseHandle::after_fork_in_child() {
  // The child's only thread holds every lock, but under another thread id than the one that
  // took them, which a reader-writer lock cannot be unlocked by: the locks start afresh instead.
  // Nothing else runs in the child, and no change was in flight when they were taken.
  for (DatabaseHandle* h : live_handles()) {
    h->db_.reset_locks_in_child();
    if (h->wal_) {
      h->wal_->reset_locks_in_child();
    } else {
      std::construct_at(&h->order_);
    }
  }
  std::construct_at(&LIVE_HANDLES_MU);
}

Status DatabaseHandle::check_owner() const {
  if (!wal_ || ::getpid() == owner_pid_) return Status();
  return Status::invalid_data("this handle was opened by process " + std::to_string(owner_pid_) +
                              "; open a new handle in this process");
}

Status DatabaseHandle::check_snapshot_writable(std::string_view name) const {
  if (!data_dir_) return Status();
  const std::string file = snapshot_file_name(name);
  if (!unreadable_.contains(file)) return Status();
  return Status::invalid_data("snapshot file '" + file +
                              "' could not be read at start-up; move it away or open with its key");
}

Status DatabaseHandle::keep_log_copy_if_needed() {
  if (!keep_log_copy_) return Status();
  struct stat st;
  if (::stat(wal_->path().c_str(), &st) == 0 && st.st_size > 0) {
    Result<std::string> kept = copy_file_aside(wal_->path(), *data_dir_, "wal.bin.kept-");
    if (!kept) return with_prefix("failed to keep a copy of the log: ", kept.error());
  }
  keep_log_copy_ = false;
  return Status();
}

Result<std::unique_ptr<DatabaseHandle>> DatabaseHandle::open(
    std::optional<std::string> data_dir, std::shared_ptr<const EncryptionKey> key,
    OpenOptions options) {
  if (!data_dir) {
    return std::unique_ptr<DatabaseHandle>(
        new DatabaseHandle(std::nullopt, std::move(key), nullptr));
  }
  const std::string dir = *data_dir;
  LoadedSnapshots snapshots;
  if (path_exists(dir)) {
    ASSIGN_OR_RETURN(snapshots, load_snapshots(dir, key.get()));
  }
  Result<std::unique_ptr<SyncWriteAheadLog>> wal = SyncWriteAheadLog::open(dir, key);
  if (!wal) return Err(with_prefix("failed to open WAL: ", wal.error()));
  std::unique_ptr<DatabaseHandle> handle(
      new DatabaseHandle(std::move(data_dir), std::move(key), std::move(*wal)));
  handle->options_ = std::move(options);
  if (handle->options_.checkpoint_bytes.value_or(0) > 0) {
    handle->next_checkpoint_check_ = *handle->options_.checkpoint_bytes;
  }
  handle->db_.register_loaded(std::move(snapshots.winners));
  handle->carriers_ = std::move(snapshots.carriers);
  for (auto& [file, why] : snapshots.unreadable) {
    handle->recovery_warnings_.push_back("snapshot file '" + join_path(dir, file) +
                                         "' could not be read and was skipped: " + why);
    handle->unreadable_.insert(std::move(file));
  }
  RETURN_IF_ERROR(handle->recover_log());
  return handle;
}

Status DatabaseHandle::recover_log() {
  const auto decodes = [](std::span<const uint8_t> payload) {
    return decode_wal_entry(payload).has_value();
  };
  Result<WalReadBack> read = read_wal(wal_->path(), default_key_.get(), decodes);
  if (!read) return with_prefix("WAL replay failed: ", read.error());
  if (read->skipped_bytes > 0) {
    // Damage with good records after it: keep the log as found, then drop the damage (and any
    // torn tail) so that later start-ups read a clean log.
    Result<std::string> copy = copy_file_aside(wal_->path(), *data_dir_, "wal.bin.damaged-");
    if (!copy) return with_prefix("WAL replay failed: could not copy the damaged log: ", copy.error());
    Result<std::vector<uint8_t>> file = read_file(wal_->path());
    if (!file) return with_prefix("WAL replay failed: ", file.error());
    std::vector<uint8_t> kept;
    for (const auto& [begin, end] : read->spans) {
      kept.insert(kept.end(), file->begin() + static_cast<ptrdiff_t>(begin),
                  file->begin() + static_cast<ptrdiff_t>(end));
    }
    file->clear();
    file->shrink_to_fit();
    Status replaced = wal_->replace_contents(kept);
    if (!replaced.ok()) return with_prefix("WAL replay failed: ", replaced);
    recovery_warnings_.push_back(
        "the log '" + wal_->path() + "' held " + std::to_string(read->skipped_bytes) +
        " bytes of damaged records, which were skipped; the log as found was copied to '" +
        join_path(*data_dir_, *copy) + "'");
  } else if (read->stopped_early) {
    // Records appended behind a torn or damaged one would never be read back: cut the damage off
    // before the writer appends anything.
    Status cut = wal_->cut_back(read->good_end);
    if (!cut.ok()) return with_prefix("WAL replay failed: ", cut);
  }
  std::vector<WalEntry> entries;
  entries.reserve(read->payloads.size());
  for (const std::vector<uint8_t>& payload : read->payloads) {
    // A record that passed its integrity check but does not decode is passed over.
    Result<WalEntry> entry = decode_wal_entry(payload);
    if (entry) entries.push_back(std::move(*entry));
  }
  read->payloads.clear();
  ReplaySummary summary = db_.replay_wal(std::move(entries), options_.replay_progress);
  keep_log_copy_ = !unreadable_.empty() || summary.missing_collection > 0;
  // The replayed changes live only in the log until the next checkpoint writes their snapshots.
  std::lock_guard lock(touched_mu_);
  touched_ = std::move(summary.changed);
  deleted_ = std::move(summary.removed);
  return Status();
}

// ---- collections ----

Status DatabaseHandle::create_collection(std::string_view name, uint64_t dimension,
                                         const HnswConfig& config) {
  RETURN_IF_ERROR(validate_collection_name(name));
  RETURN_IF_ERROR(validate_collection_config(dimension, config));
  RETURN_IF_ERROR(check_owner());
  RETURN_IF_ERROR(check_snapshot_writable(name));
  std::vector<uint8_t> record;
  if (wal_) record = encode_create_collection_record(name, dimension, config);
  std::unique_lock order(order_lock());
  if (wal_) RETURN_IF_ERROR(log(record));
  // A taken name fails after the append; replay ignores the duplicate creation.
  RETURN_IF_ERROR(db_.create_collection(std::string(name), dimension, config));
  touch(name);
  return Status();
}

Result<bool> DatabaseHandle::delete_collection(std::string_view name) {
  RETURN_IF_ERROR(check_owner());
  std::vector<uint8_t> record;
  if (wal_) record = encode_delete_collection_record(name);
  std::unique_lock order(order_lock());
  // Logged whether or not the collection exists.
  if (wal_) RETURN_IF_ERROR(log(record));
  const bool existed = db_.delete_collection(name);
  if (existed) {
    std::lock_guard lock(touched_mu_);
    touched_.emplace(name);
    deleted_.emplace(name);
  }
  return existed;
}

std::vector<std::string> DatabaseHandle::list_collections() const { return db_.list_collections(); }

std::shared_ptr<const Collection> DatabaseHandle::get_collection(std::string_view name) const {
  return db_.get_collection(name);
}

uint64_t DatabaseHandle::total_memory_bytes() const { return db_.total_memory_bytes(); }

// ---- documents ----

Status DatabaseHandle::log(std::span<const uint8_t> payload, WalRecordSpan* where) {
  Status s = wal_->append_locked(payload, where);
  if (!s.ok()) return with_prefix("WAL write failed: ", s);
  return s;
}

void DatabaseHandle::unlog_insert(const WalRecordSpan& record, std::string_view name,
                                  std::span<const Uuid> ids) noexcept {
  // Best effort, and never a reason to fail differently: the caller reports the original error.
  try {
    Result<bool> retracted = wal_->retract(record);
    if (!retracted || *retracted) return;
    // Records follow it: replay must undo the insertion instead.
    for (const Uuid& id : ids) (void)log(encode_delete_document_record(name, id));
  } catch (...) {
  }
}

void DatabaseHandle::unlog_change(const WalRecordSpan& record,
                                  std::span<const uint8_t> compensation) noexcept {
  try {
    Result<bool> retracted = wal_->retract(record);
    if (!retracted || *retracted) return;
    (void)log(compensation);
  } catch (...) {
  }
}

Result<std::shared_ptr<Collection>> DatabaseHandle::registered(
    const std::shared_ptr<const Collection>& collection, std::string_view name) const {
  // The record names the collection; replay applies it to whatever is registered under that
  // name, so the change must go to that very collection.
  std::shared_ptr<Collection> c = db_.get_collection(name);
  if (c != collection) return Err(not_found(name));
  return c;
}

void DatabaseHandle::touch(std::string_view name) {
  std::lock_guard lock(touched_mu_);
  touched_.emplace(name);
}

Result<Uuid> DatabaseHandle::insert(const std::shared_ptr<const Collection>& ref,
                                    std::string_view name, Document document,
                                    std::span<const float> embedding) {
  RETURN_IF_ERROR(check_embedding(embedding, ref->dimension()));
  RETURN_IF_ERROR(check_owner());
  CheckpointIfDue checkpoint_if_due(*this);
  std::vector<uint8_t> record;
  if (wal_) record = encode_insert_record(name, document, embedding);
  std::shared_lock order(order_lock());
  ASSIGN_OR_RETURN(const std::shared_ptr<Collection> collection, registered(ref, name));
  // Held from the liveness check to the insert, so the check still holds when it is applied.
  std::lock_guard writer(collection->writer_mutex());
  if (collection->get_document(document.id) != nullptr) return Err(already_exists(document.id));
  WalRecordSpan logged;
  if (wal_) RETURN_IF_ERROR(log(record, &logged));
  const Uuid id = document.id;
  try {
    collection->insert_document(std::move(document), embedding);
  } catch (const std::bad_alloc&) {
    // The collection is as it was; the log must say so too.
    if (wal_) unlog_insert(logged, name, std::span(&id, 1));
    throw;
  }
  touch(name);
  return id;
}

Result<std::vector<Uuid>> DatabaseHandle::batch_insert(
    const std::shared_ptr<const Collection>& ref, std::string_view name,
    std::vector<DocumentWithEmbedding> documents, const BatchOptions& options) {
  std::unordered_set<Uuid, UuidHash> seen;
  seen.reserve(documents.size());
  for (const DocumentWithEmbedding& d : documents) {
    RETURN_IF_ERROR(check_embedding(d.embedding, ref->dimension()));
    if (!seen.insert(d.document.id).second) {
      return Err(Status::invalid_argument("document '" + d.document.id.to_string() +
                                          "' appears more than once in the batch"));
    }
  }
  RETURN_IF_ERROR(check_owner());
  CheckpointIfDue checkpoint_if_due(*this);
  std::vector<uint8_t> record;
  if (wal_) record = encode_batch_insert_record(name, documents);
  std::shared_lock order(order_lock());
  ASSIGN_OR_RETURN(const std::shared_ptr<Collection> collection, registered(ref, name));
  std::lock_guard writer(collection->writer_mutex());
  for (const DocumentWithEmbedding& d : documents) {
    if (collection->get_document(d.document.id) != nullptr) {
      return Err(already_exists(d.document.id));
    }
  }
  WalRecordSpan logged;
  if (wal_) RETURN_IF_ERROR(log(record, &logged));
  std::vector<Uuid> ids;
  ids.reserve(documents.size());
  for (const DocumentWithEmbedding& d : documents) ids.push_back(d.document.id);
  try {
    collection->insert_documents(std::move(documents), options);
  } catch (const std::bad_alloc&) {
    if (wal_) unlog_insert(logged, name, ids);
    throw;
  }
  if (!ids.empty()) touch(name);
  return ids;
}

Result<bool> DatabaseHandle::delete_document(const std::shared_ptr<const Collection>& ref,
                                             std::string_view name, const Uuid& id) {
  RETURN_IF_ERROR(check_owner());
  CheckpointIfDue checkpoint_if_due(*this);
  std::vector<uint8_t> record;
  if (wal_) record = encode_delete_document_record(name, id);
  std::shared_lock order(order_lock());
  ASSIGN_OR_RETURN(const std::shared_ptr<Collection> collection, registered(ref, name));
  std::lock_guard writer(collection->writer_mutex());
  // Logged whether or not a live document has that id.
  if (wal_) RETURN_IF_ERROR(log(record));
  const bool removed = collection->delete_document(id);
  if (removed) touch(name);
  return removed;
}

Result<bool> DatabaseHandle::upsert(const std::shared_ptr<const Collection>& ref,
                                    std::string_view name, Document document,
                                    std::span<const float> embedding) {
  RETURN_IF_ERROR(check_embedding(embedding, ref->dimension()));
  RETURN_IF_ERROR(check_owner());
  CheckpointIfDue checkpoint_if_due(*this);
  std::vector<uint8_t> record;
  if (wal_) record = encode_update_record(name, document.id, document, embedding);
  std::shared_lock order(order_lock());
  ASSIGN_OR_RETURN(const std::shared_ptr<Collection> collection, registered(ref, name));
  std::lock_guard writer(collection->writer_mutex());
  const Uuid id = document.id;
  std::shared_ptr<const Document> old = collection->get_document(id);
  // What replay needs to restore the old version should the change fail after it was logged.
  std::vector<uint8_t> compensation;
  if (wal_) {
    if (old) {
      const std::vector<float> old_embedding = collection->get_embedding(id).value();
      compensation = encode_update_record(name, id, *old, old_embedding);
    } else {
      compensation = encode_delete_document_record(name, id);
    }
  }
  WalRecordSpan logged;
  if (wal_) RETURN_IF_ERROR(log(record, &logged));
  try {
    // Replacing a live id retires its node and gives the new version a node of its own.
    collection->insert_document(std::move(document), embedding);
  } catch (const std::bad_alloc&) {
    if (wal_) unlog_change(logged, compensation);
    throw;
  }
  touch(name);
  return old != nullptr;
}

Status DatabaseHandle::update(const std::shared_ptr<const Collection>& ref,
                              std::string_view name, const Uuid& id,
                              std::optional<std::string> text, std::optional<Metadata> metadata,
                              std::optional<std::vector<float>> embedding) {
  if (embedding) RETURN_IF_ERROR(check_embedding(*embedding, ref->dimension()));
  RETURN_IF_ERROR(check_owner());
  CheckpointIfDue checkpoint_if_due(*this);
  std::shared_lock order(order_lock());
  ASSIGN_OR_RETURN(const std::shared_ptr<Collection> collection, registered(ref, name));
  std::lock_guard writer(collection->writer_mutex());
  std::shared_ptr<const Document> old = collection->get_document(id);
  if (!old) return Status::not_found("document '" + id.to_string() + "' not found");
  if (!text && !metadata && !embedding) return Status();
  if (embedding) {
    // A new embedding needs a new node: the whole document is replaced, in one record.
    Document merged(id, text ? std::move(*text) : old->text,
                    metadata ? std::move(*metadata) : old->metadata);
    std::vector<uint8_t> record, compensation;
    if (wal_) {
      record = encode_update_record(name, id, merged, *embedding);
      compensation =
          encode_update_record(name, id, *old, collection->get_embedding(id).value());
    }
    WalRecordSpan logged;
    if (wal_) RETURN_IF_ERROR(log(record, &logged));
    try {
      collection->insert_document(std::move(merged), *embedding);
    } catch (const std::bad_alloc&) {
      if (wal_) unlog_change(logged, compensation);
      throw;
    }
  } else {
    std::vector<uint8_t> record, compensation;
    if (wal_) {
      record = encode_patch_record(name, id, text, metadata);
      compensation =
          encode_patch_record(name, id, text ? std::optional<std::string>(old->text) : std::nullopt,
                              metadata ? std::optional<Metadata>(old->metadata) : std::nullopt);
    }
    WalRecordSpan logged;
    if (wal_) RETURN_IF_ERROR(log(record, &logged));
    try {
      collection->patch_document(id, std::move(text), std::move(metadata));
    } catch (const std::bad_alloc&) {
      if (wal_) unlog_change(logged, compensation);
      throw;
    }
  }
  touch(name);
  return Status();
}

Result<size_t> DatabaseHandle::delete_live_locked(Collection& collection, std::string_view name,
                                                  std::vector<Uuid> ids) {
  std::erase_if(ids, [&](const Uuid& id) { return collection.get_document(id) == nullptr; });
  if (ids.empty()) return size_t{0};
  if (wal_) RETURN_IF_ERROR(log(encode_delete_many_record(name, ids)));
  const size_t removed = collection.delete_documents(ids);
  touch(name);
  return removed;
}

Result<size_t> DatabaseHandle::delete_many(const std::shared_ptr<const Collection>& ref,
                                           std::string_view name, std::span<const Uuid> ids) {
  RETURN_IF_ERROR(check_owner());
  CheckpointIfDue checkpoint_if_due(*this);
  std::vector<Uuid> unique(ids.begin(), ids.end());
  std::sort(unique.begin(), unique.end());
  unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
  std::shared_lock order(order_lock());
  ASSIGN_OR_RETURN(const std::shared_ptr<Collection> collection, registered(ref, name));
  std::lock_guard writer(collection->writer_mutex());
  return delete_live_locked(*collection, name, std::move(unique));
}

Result<size_t> DatabaseHandle::delete_where(const std::shared_ptr<const Collection>& ref,
                                            std::string_view name, const MetadataFilter& filter) {
  RETURN_IF_ERROR(check_owner());
  CheckpointIfDue checkpoint_if_due(*this);
  std::shared_lock order(order_lock());
  ASSIGN_OR_RETURN(const std::shared_ptr<Collection> collection, registered(ref, name));
  // Under the writer mutex from evaluation to removal: what matched is what goes.
  std::lock_guard writer(collection->writer_mutex());
  return delete_live_locked(*collection, name, collection->matching_ids(&filter));
}

// ---- persistence ----

uint64_t DatabaseHandle::checkpoint_bound_locked() {
  if (options_.checkpoint_bytes) return *options_.checkpoint_bytes;
  std::vector<std::string> names;
  {
    std::lock_guard lock(touched_mu_);
    names.assign(touched_.begin(), touched_.end());
  }
  uint64_t snapshot_bytes = 0;
  for (const std::string& name : names) {
    struct stat st;
    const std::string path = join_path(*data_dir_, snapshot_file_name(name));
    if (::stat(path.c_str(), &st) == 0) snapshot_bytes += static_cast<uint64_t>(st.st_size);
  }
  return std::max(kCheckpointFloorBytes, snapshot_bytes / 2);
}

void DatabaseHandle::maybe_checkpoint() noexcept {
  if (!wal_ || options_.checkpoint_bytes == 0) return;
  if (wal_->size_bytes() < next_checkpoint_check_.load(std::memory_order_relaxed)) return;
  try {
    std::unique_lock order(order_lock());
    if (closed() || !check_owner().ok()) return;
    const uint64_t size = wal_->size_bytes();
    const uint64_t bound = checkpoint_bound_locked();
    if (size >= bound && !checkpoint_locked(false).ok()) {
      // Retried once the log has grown by another bound, not on every change.
      next_checkpoint_check_ = size + bound;
      return;
    }
    // Below the bound: nothing to do until the log reaches it. After a checkpoint the default
    // bound is recomputed once the log reaches the floor again.
    if (size < bound) {
      next_checkpoint_check_ = bound;
    } else {
      next_checkpoint_check_ = options_.checkpoint_bytes.value_or(kCheckpointFloorBytes);
    }
  } catch (...) {
    // Out of memory on the way: the change is logged and applied; the next one tries again.
  }
}

Status DatabaseHandle::close() {
  std::unique_lock order(order_lock());
  if (closed()) return Status();
  const Status why = Status::invalid_data("handle is closed");
  // Closed whether or not the checkpoint succeeds, as a file is closed when its flush fails:
  // the log keeps every change the checkpoint could not write, for the next opening.
  Status checkpointed;
  if (wal_) {
    bool pending = wal_->size_bytes() > 0;
    {
      std::lock_guard lock(touched_mu_);
      pending |= !touched_.empty() || !deleted_.empty();
    }
    // A forked child writes nothing: the parent owns the directory.
    if (pending && check_owner().ok()) checkpointed = checkpoint_locked(false);
    wal_->close(why);
  }
  closed_.store(true, std::memory_order_release);
  db_.clear();
  return checkpointed;
}

bool DatabaseHandle::is_data_dir(const std::string& dir) const {
  if (dir == *data_dir_) return true;
  struct stat a, b;
  if (::stat(dir.c_str(), &a) != 0 || ::stat(data_dir_->c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

Status DatabaseHandle::write_data_dir_snapshot(const Collection& c, const EncryptionKey* key,
                                               std::unordered_set<std::string>& written) {
  const std::string name = c.name();
  RETURN_IF_ERROR(check_snapshot_writable(name));
  written.insert(name);
  const std::string file = snapshot_file_name(name);
  if (auto it = carriers_.find(file); it != carriers_.end()) {
    // This file is where another collection was loaded from. Give that collection its own file
    // before this one is overwritten, or its only copy would go.
    const std::string other = it->second;
    if (!written.contains(other)) {
      if (std::shared_ptr<Collection> oc = db_.get_collection(other)) {
        Status s = write_data_dir_snapshot(*oc, default_key_.get(), written);
        if (!s.ok()) return Status::io_error("save '" + other + "' failed: " + s.message());
      }
    }
    carriers_.erase(file);
  }
  return save_collection(c, *data_dir_, key);
}

Status DatabaseHandle::remove_data_dir_snapshots(const std::string& name, bool canonical_too) {
  std::vector<std::string> files;
  for (const auto& [file, stored] : carriers_) {
    if (stored == name) files.push_back(file);
  }
  if (canonical_too) files.push_back(snapshot_file_name(name));
  for (const std::string& file : files) {
    if (unreadable_.contains(file)) continue;  // not ours to remove: it holds what we could not read
    Status s = remove_file(join_path(*data_dir_, file));
    if (!s.ok()) return s;
    carriers_.erase(file);
  }
  return Status();
}

void DatabaseHandle::restore_data_dir_snapshot(const std::string& name) {
  Status s;
  if (std::shared_ptr<Collection> c = db_.get_collection(name)) {
    std::unordered_set<std::string> written;
    s = write_data_dir_snapshot(*c, default_key_.get(), written);
  } else {
    s = remove_file(join_path(*data_dir_, snapshot_file_name(name)));
    if (s.ok()) s = fsync_dir(*data_dir_);
  }
  if (s.ok()) return;
  std::lock_guard lock(touched_mu_);
  touched_.insert(name);
  if (!db_.get_collection(name)) deleted_.insert(name);
}

Status DatabaseHandle::checkpoint_locked(bool all, std::unordered_set<std::string> written) {
  std::vector<std::string> names;
  std::unordered_set<std::string> deleted;
  {
    std::lock_guard lock(touched_mu_);
    names.assign(touched_.begin(), touched_.end());
    deleted = deleted_;
  }
  if (all) {
    std::vector<std::string> registered = db_.list_collections();
    names.insert(names.end(), registered.begin(), registered.end());
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  for (const std::string& name : names) {
    // Refused before anything is written: the checkpoint would replace a file we could not read.
    if (written.contains(name) || !db_.get_collection(name)) continue;
    RETURN_IF_ERROR(check_snapshot_writable(name));
  }

  for (const std::string& name : names) {
    std::shared_ptr<Collection> c = db_.get_collection(name);
    if (deleted.contains(name)) {
      // Deleted since the last checkpoint: no file may bring the deleted collection back. A
      // collection registered again under the name gets its own file just below.
      Status s = remove_data_dir_snapshots(name, c == nullptr);
      if (!s.ok()) {
        return Status::io_error("failed to remove the snapshot of '" + name + "': " + s.message(),
                                s.sys_errno());
      }
    }
    if (c == nullptr || written.contains(name)) continue;
    Status s = write_data_dir_snapshot(*c, default_key_.get(), written);
    if (!s.ok())
      return Status::io_error("save '" + name + "' failed: " + s.message(), s.sys_errno());
  }
  if (!deleted.empty()) {
    Status s = fsync_dir(*data_dir_);
    if (!s.ok()) return with_prefix("failed to sync '" + *data_dir_ + "': ", s);
  }
  // Every change the log holds is now in a snapshot on stable storage, except records start-up
  // could not apply: those survive in a copy.
  RETURN_IF_ERROR(keep_log_copy_if_needed());
  Status s = wal_->truncate();
  if (!s.ok()) return with_prefix("WAL truncate failed: ", s);
  std::lock_guard lock(touched_mu_);
  touched_.clear();
  deleted_.clear();
  return Status();
}

Status DatabaseHandle::save(std::string_view collection, std::optional<std::string> path,
                            std::shared_ptr<const EncryptionKey> key) {
  if (!get_collection(collection)) return not_found(collection);
  RETURN_IF_ERROR(check_owner());
  if (!path && !data_dir_) {
    return Status::invalid_argument("no path specified and Tarnwell was created without data_dir");
  }
  const std::string dir = path ? *path : *data_dir_;
  const EncryptionKey* k = key ? key.get() : default_key_.get();
  if (!wal_) {
    std::shared_ptr<const Collection> c = get_collection(collection);
    if (!c) return not_found(collection);
    return save_collection(*c, dir, k);
  }
  // Appends wait from here until the log is cut, so none can fall between a snapshot and the
  // truncation that relies on it.
  std::unique_lock order(order_lock());
  std::shared_ptr<const Collection> c = get_collection(collection);
  if (!c) return not_found(collection);
  std::unordered_set<std::string> written;
  if (is_data_dir(dir)) {
    if (key && !(default_key_ && key->same_key(*default_key_))) {
      // Start-up opens data_dir's snapshots with the handle's key alone: one sealed otherwise
      // would be skipped there once the log is cut, and a new collection of the name would then
      // overwrite it. Another key is for snapshots kept elsewhere.
      return Status::invalid_argument(
          "a snapshot in data_dir must be sealed with the handle's own encryption key; pass "
          "path to save it elsewhere under another key");
    }
    RETURN_IF_ERROR(write_data_dir_snapshot(*c, k, written));
  } else {
    RETURN_IF_ERROR(save_collection(*c, dir, k));
    // Start-up reads only data_dir: the log about to be cut holds changes that only a snapshot
    // there can carry.
    Status s = write_data_dir_snapshot(*c, default_key_.get(), written);
    if (!s.ok()) return Status::io_error("save '" + c->name() + "' failed: " + s.message());
  }
  return checkpoint_locked(false, std::move(written));
}

Status DatabaseHandle::compact() {
  if (!data_dir_) return Status::invalid_argument("compact requires data_dir to be set");
  RETURN_IF_ERROR(check_owner());
  std::unique_lock order(order_lock());
  return checkpoint_locked(true);
}

Status DatabaseHandle::load(std::string_view name, std::optional<std::string> path,
                            std::shared_ptr<const EncryptionKey> key) {
  if (!path && !data_dir_) {
    return Status::invalid_argument("no path specified and Tarnwell was created without data_dir");
  }
  RETURN_IF_ERROR(validate_collection_name(name));
  RETURN_IF_ERROR(check_owner());
  RETURN_IF_ERROR(check_snapshot_writable(name));
  const std::string target(name);
  const std::string file = join_path(path ? *path : *data_dir_, snapshot_file_name(name));
  // Read and checked before any lock: the collection is private until registered. Whatever name
  // the file stores, the collection is registered under `name` alone.
  Result<std::shared_ptr<Collection>> loaded = load_one(file, key.get());
  if (!loaded) return with_prefix("failed to load '" + target + "': ", loaded.error());
  std::shared_ptr<Collection> c = std::move(*loaded);
  c->set_name(target);

  std::unique_lock order(order_lock());
  if (wal_) {
    // Everything logged so far goes into snapshots and the log is emptied first, so that no
    // record written for the replaced collection is ever replayed onto the loaded one. Until the
    // new file is written, data_dir still holds the state before the load.
    RETURN_IF_ERROR(checkpoint_locked(false));
    std::unordered_set<std::string> written;
    Status s = write_data_dir_snapshot(*c, default_key_.get(), written);
    if (!s.ok()) {
      // The load fails, so data_dir must go on holding what memory holds: a failing directory
      // sync comes after the rename, and the loaded file would otherwise replace the registered
      // collection at the next start (with later logged changes replayed onto it).
      restore_data_dir_snapshot(target);
      return Status::io_error("save '" + target + "' failed: " + s.message());
    }
  }
  db_.install_loaded(target, std::move(c));
  return Status();
}

Result<size_t> DatabaseHandle::rebuild(std::string_view collection, const BatchOptions& options) {
  std::shared_ptr<Collection> c = db_.get_collection(collection);
  if (!c) return Err(not_found(collection));
  return c->rebuild(options);
}

}  // namespace tarnwell_core
