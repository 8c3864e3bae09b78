// The write-ahead log's framing: records of opaque payload bytes in the file "wal.bin", each
//   u32 BE length L | u32 BE CRC-32 of the payload, or 0xFFFFFFFF when sealed | L bytes
// with no file header. A sealed record holds nonce ‖ ciphertext ‖ tag of the payload (L = n + 28).
// An acknowledged append is on stable storage; a failed one leaves no bytes behind (or disables
// the writer until reopened); one writer per data directory, enforced by an advisory lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/storage/crypto.h"
#include "core/util/file.h"
#include "core/util/status.h"

namespace tarnwell_core {

inline constexpr char WAL_FILE_NAME[] = "wal.bin";
inline constexpr char WAL_LOCK_FILE_NAME[] = "LOCK";

// What the start-up read-back of a log found.
struct WalReadBack {
  // Payloads of the records accepted by the framing (CRC checked, or opened with the key), in
  // file order. Whether they decode into entries is the caller's question.
  std::vector<std::vector<uint8_t>> payloads;
  // Where each accepted record lies in the file, [begin, end), in file order.
  std::vector<std::pair<uint64_t, uint64_t>> spans;
  // Byte offset just after the last accepted record.
  uint64_t good_end = 0;
  // True when reading stopped at a torn or damaged record before the end of the file; the writer
  // must then be cut back to `good_end` before it appends (otherwise new records would sit behind
  // the damage and never be read back).
  bool stopped_early = false;
  // Bytes of damaged records passed over before records that verify (damage in the middle of the
  // log, as opposed to a damaged tail). Non-zero only when a record check was given.
  uint64_t skipped_bytes = 0;
};

// Whether payload bytes are a record the caller can use (decodes); used to tell where records
// begin again after damage, since a run of zero bytes or a fragment can pass a CRC.
using WalRecordCheck = std::function<bool(std::span<const uint8_t>)>;

// Reads every record of the log at `path`. A partial header, a payload running past the end of
// the file, a CRC mismatch or a sealed record the key does not open (when the key does open
// another sealed record of the log) is damage. Without `is_record`, reading stops quietly at the
// first damage. With it, reading resumes at the next offset where a record begins whose
// integrity check passes and whose payload `is_record` accepts, counting the bytes passed over;
// damage with no such record after it is a damaged tail, where reading stops. Fails with
// kInvalidData when the log holds sealed records and `key` is null or opens none of them, and
// with the system's error on I/O failure.
Result<WalReadBack> read_wal(const std::string& path, const EncryptionKey* key,
                             const WalRecordCheck& is_record = nullptr);

// Where an appended record lies in the log file, [begin, end).
struct WalRecordSpan {
  uint64_t begin = 0;
  uint64_t end = 0;
};

class SyncWriteAheadLog {
 public:
  static constexpr size_t kHeaderBytes = 8;
  static constexpr uint32_t kSealedMarker = 0xFFFFFFFF;
  // The sealed length must fit the 32-bit length field, whether or not this log seals.
  static constexpr uint64_t kMaxPayloadBytes = (uint64_t{1} << 32) - EncryptionKey::kOverhead - 1;

  // Creates `data_dir` with missing parents (0777 before the umask), takes the directory's
  // advisory lock (held until destruction; a second writer on the directory, in this process or
  // another, fails at once) and opens "wal.bin" for appending, creating it with mode 0600.
  static Result<std::unique_ptr<SyncWriteAheadLog>> open(const std::string& data_dir,
                                                         std::shared_ptr<const EncryptionKey> key);

  ~SyncWriteAheadLog() = default;
  SyncWriteAheadLog(const SyncWriteAheadLog&) = delete;
  SyncWriteAheadLog& operator=(const SyncWriteAheadLog&) = delete;

  // Frames `payload` (sealing it when the log has a key), then appends it under the checkpoint
  // lock (shared) and the writer mutex, and syncs. Success means the record is on stable storage.
  // On failure the file is cut back to its length before this append; if even that fails, every
  // later append fails with the same error until truncate() succeeds or the log is reopened.
  Status append(std::span<const uint8_t> payload);

  // append() for a caller that already holds checkpoint_lock() shared, so that the append and the
  // in-memory change it records cannot have a checkpoint between them. `where`, when given,
  // receives the record's place in the file.
  Status append_locked(std::span<const uint8_t> payload, WalRecordSpan* where = nullptr);

  // Takes back an acknowledged-to-nobody record whose change could not be applied (memory ran
  // out): cuts the file back to record.begin when the record is still the last one. False when
  // records follow it (the caller then logs the change's undoing instead). The caller holds
  // checkpoint_lock() shared, as for the append.
  Result<bool> retract(const WalRecordSpan& record);

  // Orders appends against checkpoints: appends hold it shared; a checkpoint holds it exclusively
  // from before its snapshot writes until after truncate().
  std::shared_mutex& checkpoint_lock() { return checkpoint_; }

  // Empties the log durably. The caller holds checkpoint_lock() exclusively. A missing "wal.bin"
  // is the system's not-found error and leaves the writer as it was.
  Status truncate();

  // Cuts the file back to `good_end` (the read-back's) and syncs it. Used once at start-up when the
  // read-back stopped at a torn or damaged record.
  Status cut_back(uint64_t good_end);

  // Replaces the whole log by `bytes` (framed records), atomically and durably, and appends to
  // the new file from then on. Used once at start-up to drop damage from the middle of the log,
  // after the damaged file was copied aside.
  Status replace_contents(std::span<const uint8_t> bytes);

  // In the child of a fork taken while checkpoint_lock() was held exclusively (so no append was
  // in flight): both locks start afresh, the child having no other thread.
  void reset_locks_in_child() {
    std::construct_at(&checkpoint_);
    std::construct_at(&mu_);
  }

  // Closes the log file and releases the directory lock; every later append, truncate or
  // retract fails with `why`. The caller holds checkpoint_lock() exclusively.
  void close(const Status& why);

  // Bytes in the log file as of the last append, truncate or cut (0 after close).
  uint64_t size_bytes() const { return size_bytes_.load(std::memory_order_relaxed); }

  const std::string& path() const { return path_; }
  const EncryptionKey* key() const { return key_.get(); }

  // Test seam: the next appends fail as if the system had reported these errors (0 = no fault).
  // `write_partial_bytes` of the record really reach the file before a write fault.
  struct FaultsForTesting {
    int write_errno = 0;
    size_t write_partial_bytes = 0;
    int sync_errno = 0;
    int cut_back_errno = 0;
  };
  void set_faults_for_testing(const FaultsForTesting& faults);

 private:
  SyncWriteAheadLog(std::string path, UniqueFd lock_fd, UniqueFd fd,
                    std::shared_ptr<const EncryptionKey> key);

  Result<std::vector<uint8_t>> frame(std::span<const uint8_t> payload) const;
  // The write and sync of one framed record; the caller holds mu_.
  Status write_record(std::span<const uint8_t> record, WalRecordSpan* where = nullptr);
  // Restores the file length after a failed append; the caller holds mu_.
  Status restore_length(uint64_t length);

  const std::string path_;
  const std::shared_ptr<const EncryptionKey> key_;
  std::shared_mutex checkpoint_;  // guards no data; orders appends against checkpoints
  std::mutex mu_;                 // guards everything below
  UniqueFd lock_fd_;              // holds the directory lock for the writer's lifetime
  UniqueFd fd_;                   // "wal.bin", O_APPEND
  Status poisoned_;               // not OK once a failed append could not be undone
  Status closed_;                 // not OK once closed: nothing reopens the writer
  std::atomic<uint64_t> size_bytes_{0};
  FaultsForTesting faults_;
};

}  // namespace tarnwell_core
