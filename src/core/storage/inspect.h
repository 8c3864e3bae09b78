// Read-only inspection of a data directory, for tools: what each snapshot and each log file holds
// and whether it verifies, found without writing anything (no file is created, cut, replaced or
// re-moded). The directory's lock is taken as a handle takes it, so that no handle changes the
// files while they are read; a directory that a handle holds is refused.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/document.h"
#include "core/hnsw/config.h"
#include "core/collection/collection.h"
#include "core/storage/crypto.h"
#include "core/collection/registry.h"
#include "core/storage/wal_entry.h"
#include "core/util/status.h"

namespace tarnwell_core {

// Prefixes of the copies of the log that start-up and checkpoints set aside.
inline constexpr char DAMAGED_LOG_COPY_PREFIX[] = "wal.bin.damaged-";
inline constexpr char KEPT_LOG_COPY_PREFIX[] = "wal.bin.kept-";

enum class SnapshotContainer : uint8_t { Plain, Encrypted, Bare };

// One "*.twl" file.
struct SnapshotReport {
  std::string file;  // name within the directory
  uint64_t bytes = 0;
  SnapshotContainer container = SnapshotContainer::Bare;
  // Why the file does not load (damaged, sealed without or with another key, invalid, not a
  // regular file, unreadable); empty when it loads and validates.
  std::optional<std::string> error;
  // What a file that loads holds.
  std::string name;  // the stored collection name, which need not match the file name
  uint64_t dimension = 0;
  HnswConfig config;
  uint64_t document_count = 0;
  uint64_t node_count = 0;     // graph nodes, tombstones included
  uint64_t deleted_nodes = 0;  // tombstones, reclaimed by a rebuild
};

// A byte range of a log file, [begin, end).
struct ByteRange {
  uint64_t begin = 0;
  uint64_t end = 0;
};

// The log "wal.bin" or one of its copies.
struct LogReport {
  std::string file;  // name within the directory
  uint64_t bytes = 0;
  // Why the file could not be read at all (sealed records without a key or under another key,
  // not a regular file, an I/O error); the counts below are then empty.
  std::optional<std::string> error;
  uint64_t records = 0;  // records that verify and decode: the changes start-up would replay
  std::array<uint64_t, WAL_ENTRY_TAG_COUNT> records_by_kind{};
  std::map<std::string, uint64_t> records_by_collection;
  // Damaged bytes with records that verify after them: start-up skips them (keeping a copy).
  std::vector<ByteRange> damaged;
  // Offsets of records that pass their checksum but do not decode: start-up passes them over.
  std::vector<uint64_t> undecodable;
  // Bytes after the last good record that hold no record that verifies: start-up cuts them.
  std::optional<ByteRange> tail;
  // Whether the file ends inside the tail's first record (an append cut short by a crash), as
  // opposed to a whole record that fails its check.
  bool tail_torn = false;

  // Whether everything in the file verifies.
  bool ok() const { return !error && damaged.empty() && undecodable.empty() && !tail; }
};

struct DataDirReport {
  std::string dir;
  bool has_lock_file = false;
  std::vector<SnapshotReport> snapshots;  // by file name
  std::optional<LogReport> log;           // none when there is no "wal.bin"
  std::vector<LogReport> log_copies;      // DAMAGED_LOG_COPY_PREFIX / KEPT_LOG_COPY_PREFIX files

  bool ok() const;
};

// Reads and verifies every snapshot, the log and its copies in `dir` under `key` (null: none).
// Takes the directory's lock for the duration without creating the lock file (a directory without
// one is read unlocked, as no handle can hold it). Fails when `dir` is not a directory that can
// be listed, and with kIoError "data directory '{}' is in use by another handle" when a handle
// holds it. Problems with single files are reported in the result, never as a failure.
Result<DataDirReport> inspect_data_dir(const std::string& dir, const EncryptionKey* key);

// The collections a handle opening `dir` would start with, read into memory without writing
// anything: the snapshots start-up would load (of two holding one stored name, "{name}.twl"
// wins, otherwise the later one by file name), then the log replayed. Taken under the lock as
// inspect_data_dir takes it, released on return. Fails where start-up would: a directory or file
// that cannot be read (kIoError), a log sealed without the key or under another one. What
// start-up would pass over (a snapshot that does not load, damaged records amid the log) is
// passed over and named, one line each, in `skipped`.
struct DataDirContents {
  std::unique_ptr<Database> db;
  std::vector<std::string> skipped;
};
Result<DataDirContents> read_data_dir(const std::string& dir, const EncryptionKey* key);

// Calls fn(document, embedding) for every live document of `collection` in insertion order until
// fn returns false, holding no lock during the call. The embedding is the stored full-precision
// copy when the collection keeps one, otherwise the reconstruction from its 8-bit codes.
using DocumentVisitor = std::function<bool(const Document&, std::span<const float>)>;
void for_each_document(const Collection& collection, const DocumentVisitor& fn);

// "create_collection", "delete_collection", "insert", "delete", "batch_insert", "update",
// "patch", "delete_many".
const char* wal_entry_kind_name(WalEntryTag tag);

}  // namespace tarnwell_core
