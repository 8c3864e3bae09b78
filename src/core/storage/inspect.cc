// Data-directory inspection: the same readers start-up uses (load_collection, read_wal with a
// decoding record check), run without the writer, so damage is found and located exactly as a
// handle would find it, but nothing is cut, copied or replaced.
#include "core/storage/inspect.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <type_traits>

#include "core/storage/snapshot.h"
#include "core/storage/wal.h"
#include "core/util/file.h"

namespace tarnwell_core {
namespace {

uint32_t get_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Takes the directory's lock as the log writer does, but never creates the lock file: without
// one, no handle holds the directory (a handle creates it before anything else), and `*present`
// is false.
Result<UniqueFd> lock_for_reading(const std::string& dir, bool* present) {
  const std::string path = join_path(dir, WAL_LOCK_FILE_NAME);
  Result<UniqueFd> fd = open_file(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  *present = fd.has_value() || fd.error().sys_errno() != ENOENT;
  if (!*present) return UniqueFd();
  if (!fd) return Err(fd.error());
  while (::flock(fd->get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      return Err(Status::io_error("data directory '" + dir + "' is in use by another handle",
                                  EWOULDBLOCK));
    }
    return Err(with_path(Status::from_errno(errno), path));
  }
  return std::move(*fd);
}

uint64_t size_of(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

SnapshotContainer container_of(std::span<const uint8_t> file) {
  const size_t n = std::strlen(PLAIN_SNAPSHOT_MARKER);
  if (file.size() >= n && std::memcmp(file.data(), ENCRYPTED_SNAPSHOT_MARKER, n) == 0) {
    return SnapshotContainer::Encrypted;
  }
  if (file.size() >= n + 4 &&
      std::memcmp(file.data() + file.size() - n - 4, PLAIN_SNAPSHOT_MARKER, n) == 0) {
    return SnapshotContainer::Plain;
  }
  return SnapshotContainer::Bare;
}

// A snapshot file's bytes decoded and validated; running out of memory on a hostile or huge
// file fails this file alone.
Result<std::shared_ptr<Collection>> decode_snapshot_file(std::span<uint8_t> bytes,
                                                         const std::string& path,
                                                         const EncryptionKey* key) {
  try {
    return decode_snapshot(bytes, path, key);
  } catch (const std::bad_alloc&) {
    return Err(Status::invalid_data("not enough memory to load it"));
  }
}

// Loads one snapshot as start-up would. False when the entry is no snapshot at all (gone since
// the listing, or a directory), which start-up passes over too.
bool inspect_snapshot(const std::string& dir, const std::string& file, const EncryptionKey* key,
                      SnapshotReport& out) {
  const std::string path = join_path(dir, file);
  out.file = file;
  out.bytes = size_of(path);
  Result<std::vector<uint8_t>> bytes = read_file(path);
  if (!bytes) {
    const Status& e = bytes.error();
    if (e.sys_errno() == ENOENT || e.sys_errno() == EISDIR) return false;
    out.error = e.message();
    return true;
  }
  out.bytes = bytes->size();
  out.container = container_of(*bytes);
  Result<std::shared_ptr<Collection>> loaded = decode_snapshot_file(*bytes, path, key);
  if (!loaded) {
    out.error = loaded.error().message();
    return true;
  }
  const Collection& c = **loaded;
  out.name = c.name();
  out.dimension = c.dimension();
  out.config = c.config();
  out.document_count = c.document_count();
  c.read([&](const CollectionData& data) {
    out.node_count = data.hnsw.node_count();
    out.deleted_nodes = static_cast<uint64_t>(
        std::count_if(data.hnsw.deleted().begin(), data.hnsw.deleted().end(),
                      [](uint8_t d) { return d != 0; }));
  });
  return true;
}

const std::string& collection_of(const WalEntry& entry) {
  return std::visit(
      [](const auto& e) -> const std::string& {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, WalEntry::CreateCollection> ||
                      std::is_same_v<E, WalEntry::DeleteCollection>) {
          return e.name;
        } else {
          return e.collection;
        }
      },
      entry.value);
}

// Whether the file at `path` (of `size` bytes) ends inside the record whose header is at
// `offset`: a header cut short, or a length running past the end.
bool ends_inside_record(const std::string& path, uint64_t offset, uint64_t size) {
  if (size - offset < SyncWriteAheadLog::kHeaderBytes) return true;
  Result<UniqueFd> fd = open_file(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (!fd) return false;
  uint8_t header[SyncWriteAheadLog::kHeaderBytes];
  ssize_t n;
  do {
    n = ::pread(fd->get(), header, sizeof header, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof header)) return false;
  return get_be32(header) > size - offset - SyncWriteAheadLog::kHeaderBytes;
}

LogReport inspect_log(const std::string& dir, const std::string& file, const EncryptionKey* key) {
  const std::string path = join_path(dir, file);
  LogReport out;
  out.file = file;
  out.bytes = size_of(path);
  const auto decodes = [](std::span<const uint8_t> payload) {
    return decode_wal_entry(payload).has_value();
  };
  Result<WalReadBack> read;
  try {
    read = read_wal(path, key, decodes);
  } catch (const std::bad_alloc&) {
    read = Err(Status::invalid_data("not enough memory to read it"));
  }
  if (!read) {
    out.error = read.error().message();
    return out;
  }
  uint64_t covered = 0;  // end of the last record that verified
  for (size_t i = 0; i < read->payloads.size(); ++i) {
    const auto [begin, end] = read->spans[i];
    if (begin > covered) out.damaged.push_back({covered, begin});
    covered = end;
    Result<WalEntry> entry = decode_wal_entry(read->payloads[i]);
    if (!entry) {
      out.undecodable.push_back(begin);
      continue;
    }
    ++out.records;
    ++out.records_by_kind[static_cast<size_t>(entry->tag())];
    ++out.records_by_collection[collection_of(*entry)];
  }
  if (read->stopped_early) {
    // The directory is locked: the size read back is the size seen here.
    const uint64_t size = std::max(out.bytes, read->good_end);
    out.tail = ByteRange{read->good_end, size};
    out.tail_torn = ends_inside_record(path, read->good_end, size);
  }
  return out;
}

// Checks that `dir` is a directory and takes its lock (see lock_for_reading).
Result<UniqueFd> lock_data_dir(const std::string& dir, bool* has_lock_file) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOENT) {
      return Err(Status::io_error("data directory '" + dir + "' does not exist", err));
    }
    return Err(with_path(Status::from_errno(err), dir));
  }
  if (!S_ISDIR(st.st_mode)) {
    return Err(Status::io_error("'" + dir + "' is not a directory", ENOTDIR));
  }
  return lock_for_reading(dir, has_lock_file);
}

// The loadable snapshots of `dir` as start-up picks them, one per stored name.
Result<std::vector<std::shared_ptr<Collection>>> load_snapshots_read_only(
    const std::string& dir, const std::vector<std::string>& sorted_entries,
    const EncryptionKey* key, std::vector<std::string>& skipped) {
  struct Candidate {
    std::shared_ptr<Collection> collection;
    bool canonical;
  };
  std::vector<Candidate> kept;
  std::map<std::string, size_t> by_name;  // stored name -> index in kept
  for (const std::string& file : sorted_entries) {
    if (!has_snapshot_extension(file)) continue;
    const std::string path = join_path(dir, file);
    Result<std::vector<uint8_t>> bytes = read_file(path);
    Result<std::shared_ptr<Collection>> loaded =
        bytes ? decode_snapshot_file(*bytes, path, key) : Err(bytes.error());
    if (!loaded) {
      const Status& e = loaded.error();
      if (e.code() == StatusCode::kIoError && (e.sys_errno() == ENOENT || e.sys_errno() == EISDIR)) {
        continue;
      }
      if (e.code() == StatusCode::kIoError) return Err(e);
      skipped.push_back("snapshot file '" + path + "' could not be read and was skipped: " +
                        e.message());
      continue;
    }
    const bool canonical = file == snapshot_file_name((*loaded)->name());
    auto [it, fresh] = by_name.emplace((*loaded)->name(), kept.size());
    if (fresh) {
      kept.push_back({std::move(*loaded), canonical});
    } else if (canonical || !kept[it->second].canonical) {
      kept[it->second] = {std::move(*loaded), canonical};
    }
  }
  std::vector<std::shared_ptr<Collection>> out;
  out.reserve(kept.size());
  for (Candidate& c : kept) out.push_back(std::move(c.collection));
  return out;
}

bool has_prefix(std::string_view s, std::string_view prefix) {
  return s.size() > prefix.size() && s.substr(0, prefix.size()) == prefix;
}

}  // namespace

bool DataDirReport::ok() const {
  for (const SnapshotReport& s : snapshots) {
    if (s.error) return false;
  }
  for (const LogReport& l : log_copies) {
    if (!l.ok()) return false;
  }
  return !log || log->ok();
}

Result<DataDirReport> inspect_data_dir(const std::string& dir, const EncryptionKey* key) {
  DataDirReport out;
  out.dir = dir;
  // Held until the end of the inspection: no handle can open the directory meanwhile.
  ASSIGN_OR_RETURN(UniqueFd lock, lock_data_dir(dir, &out.has_lock_file));
  ASSIGN_OR_RETURN(std::vector<std::string> entries, list_dir(dir));
  std::sort(entries.begin(), entries.end());
  for (const std::string& file : entries) {
    if (has_snapshot_extension(file)) {
      SnapshotReport snap;
      if (inspect_snapshot(dir, file, key, snap)) out.snapshots.push_back(std::move(snap));
    } else if (file == WAL_FILE_NAME) {
      out.log = inspect_log(dir, file, key);
    } else if (has_prefix(file, DAMAGED_LOG_COPY_PREFIX) || has_prefix(file, KEPT_LOG_COPY_PREFIX)) {
      out.log_copies.push_back(inspect_log(dir, file, key));
    }
  }
  return out;
}

Result<DataDirContents> read_data_dir(const std::string& dir, const EncryptionKey* key) {
  bool has_lock_file = false;
  ASSIGN_OR_RETURN(UniqueFd lock, lock_data_dir(dir, &has_lock_file));
  ASSIGN_OR_RETURN(std::vector<std::string> entries, list_dir(dir));
  std::sort(entries.begin(), entries.end());
  DataDirContents out;
  out.db = std::make_unique<Database>();
  ASSIGN_OR_RETURN(std::vector<std::shared_ptr<Collection>> loaded,
                   load_snapshots_read_only(dir, entries, key, out.skipped));
  out.db->register_loaded(std::move(loaded));
  if (!std::binary_search(entries.begin(), entries.end(), std::string(WAL_FILE_NAME))) {
    return out;
  }
  const std::string path = join_path(dir, WAL_FILE_NAME);
  const auto decodes = [](std::span<const uint8_t> payload) {
    return decode_wal_entry(payload).has_value();
  };
  Result<WalReadBack> read;
  try {
    read = read_wal(path, key, decodes);
  } catch (const std::bad_alloc&) {
    read = Err(Status::invalid_data("not enough memory to read it"));
  }
  if (!read) {
    if (read.error().code() == StatusCode::kIoError) return Err(read.error());
    return Err(Status::invalid_data("the log '" + path + "' cannot be read: " +
                                    read.error().message()));
  }
  if (read->skipped_bytes > 0) {
    out.skipped.push_back("the log '" + path + "' holds " + std::to_string(read->skipped_bytes) +
                          " bytes of damaged records, which were skipped");
  }
  std::vector<WalEntry> replay;
  replay.reserve(read->payloads.size());
  for (const std::vector<uint8_t>& payload : read->payloads) {
    Result<WalEntry> entry = decode_wal_entry(payload);
    if (entry) replay.push_back(std::move(*entry));
  }
  read->payloads.clear();
  out.db->replay_wal(std::move(replay));
  return out;
}

void for_each_document(const Collection& collection, const DocumentVisitor& fn) {
  for (const Uuid& id : collection.matching_ids(nullptr)) {
    std::shared_ptr<const Document> doc = collection.get_document(id);
    std::optional<std::vector<float>> embedding = collection.get_embedding(id);
    if (doc == nullptr || !embedding) continue;
    if (!fn(*doc, *embedding)) return;
  }
}

const char* wal_entry_kind_name(WalEntryTag tag) {
  switch (tag) {
    case WalEntryTag::CreateCollection:
      return "create_collection";
    case WalEntryTag::DeleteCollection:
      return "delete_collection";
    case WalEntryTag::InsertDocument:
      return "insert";
    case WalEntryTag::DeleteDocument:
      return "delete";
    case WalEntryTag::BatchInsert:
      return "batch_insert";
    case WalEntryTag::UpdateDocument:
      return "update";
    case WalEntryTag::PatchDocument:
      return "patch";
    case WalEntryTag::DeleteDocuments:
      return "delete_many";
  }
  return "unknown";
}

}  // namespace tarnwell_core
