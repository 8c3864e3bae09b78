// The log writer (framing and sealing outside every lock, then one write and one fsync per append
// under the writer mutex, the file cut back to its previous length when either fails) and the
// start-up reader, which never sizes an allocation from a length the file cannot hold.
#include "core/storage/wal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/util/crc32.h"

namespace tarnwell_core {
namespace {

void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

Status lock_directory(int fd, const std::string& data_dir) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      return Status::io_error("data directory '" + data_dir + "' is in use by another handle",
                              EWOULDBLOCK);
    }
    return with_path(Status::from_errno(errno), join_path(data_dir, WAL_LOCK_FILE_NAME));
  }
  return Status();
}

Status truncate_fd(int fd, uint64_t length) {
  while (::ftruncate(fd, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return Status::from_errno(errno);
  }
  return Status();
}

// Opens one of the log's own files, never through a symlink and without blocking: a FIFO or a
// device planted at the name would otherwise hang the open, or every later read, for good. Anything
// but a regular file is refused. A file readable by others (an older or copied-in one) is narrowed
// to 0600 when opened to be written or created; one we do not own is left as it is, its owner
// having chosen its mode. Opened only to be read, a file is left exactly as it is (the writer,
// opened first at start-up, has narrowed it already; inspection tools must change nothing).
Result<UniqueFd> open_log_file(const std::string& path, int flags) {
  ASSIGN_OR_RETURN(UniqueFd fd, open_file(path, flags | O_NOFOLLOW | O_NONBLOCK, 0600));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Err(with_path(Status::from_errno(errno), path));
  if (!S_ISREG(st.st_mode)) {
    return Err(Status::invalid_data("\"" + path + "\" is not a regular file"));
  }
  const bool read_only = (flags & (O_ACCMODE | O_CREAT)) == O_RDONLY;
  if (!read_only && (st.st_mode & 077) != 0) (void)::fchmod(fd.get(), 0600);
  const int fl = ::fcntl(fd.get(), F_GETFL);
  if (fl < 0 || ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0) {
    return Err(with_path(Status::from_errno(errno), path));
  }
  return fd;
}

Result<uint64_t> file_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Err(Status::from_errno(errno));
  return static_cast<uint64_t>(st.st_size);
}

// Whether a record of `length` payload bytes starting at `offset` lies within a file of `size`
// bytes. Written so that no operand can wrap, even if the file grew after `size` was taken.
bool record_fits(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && size - offset >= SyncWriteAheadLog::kHeaderBytes &&
         length <= size - offset - SyncWriteAheadLog::kHeaderBytes;
}

uint32_t get_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Sequential reads through a 64 KiB buffer; large payloads go straight into their destination.
class LogReader {
 public:
  explicit LogReader(int fd) : fd_(fd), buf_(kBufBytes) {}

  // Reads up to `n` bytes; fewer only at the end of the file.
  Result<size_t> read(uint8_t* dst, size_t n) {
    size_t done = take_buffered(dst, n);
    while (done < n) {
      if (n - done >= kBufBytes) {
        ASSIGN_OR_RETURN(size_t got, read_some(dst + done, n - done));
        if (got == 0) break;
        done += got;
        continue;
      }
      ASSIGN_OR_RETURN(size_t got, read_some(buf_.data(), kBufBytes));
      if (got == 0) break;
      pos_ = 0;
      len_ = got;
      done += take_buffered(dst + done, n - done);
    }
    return done;
  }

  // Skips `n` bytes the caller knows the file holds.
  Status skip(uint64_t n) {
    uint64_t buffered = len_ - pos_;
    if (n <= buffered) {
      pos_ += static_cast<size_t>(n);
      return Status();
    }
    pos_ = len_ = 0;
    if (::lseek(fd_, static_cast<off_t>(n - buffered), SEEK_CUR) < 0) {
      return Status::from_errno(errno);
    }
    return Status();
  }

 private:
  static constexpr size_t kBufBytes = size_t{64} << 10;

  size_t take_buffered(uint8_t* dst, size_t n) {
    size_t k = std::min(n, len_ - pos_);
    if (k > 0) std::memcpy(dst, buf_.data() + pos_, k);
    pos_ += k;
    return k;
  }

  Result<size_t> read_some(uint8_t* dst, size_t n) {
    for (;;) {
      ssize_t got = ::read(fd_, dst, n);
      if (got >= 0) return static_cast<size_t>(got);
      if (errno != EINTR) return Err(Status::from_errno(errno));
    }
  }

  int fd_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;
  size_t len_ = 0;
};

// One framed record as read from the file.
struct RawRecord {
  uint32_t word = 0;  // the second header word: CRC-32 or the sealed marker
  std::vector<uint8_t> payload;
};

// Reads the record at the reader's position into `rec`; false when the file ends inside it (a
// partial header, or a length beyond the bytes left: a torn tail, never allocated for).
Result<bool> read_record(LogReader& reader, uint64_t offset, uint64_t size, RawRecord& rec) {
  uint8_t header[SyncWriteAheadLog::kHeaderBytes];
  ASSIGN_OR_RETURN(size_t got, reader.read(header, sizeof header));
  if (got < sizeof header) return false;
  const uint64_t length = get_be32(header);
  if (!record_fits(offset, length, size)) return false;
  rec.word = get_be32(header + 4);
  rec.payload.assign(length, 0);
  ASSIGN_OR_RETURN(got, reader.read(rec.payload.data(), rec.payload.size()));
  return got == length;
}

// Opens a sealed payload in place, moving the plaintext to the front. When the payload could also
// be a plain record (its CRC-32 happens to equal the marker), a copy is opened instead, so the
// original bytes survive a failed attempt.
bool open_sealed(const EncryptionKey& key, std::vector<uint8_t>& payload, bool keep_original) {
  if (payload.size() < EncryptionKey::kOverhead) return false;
  if (keep_original) {
    Result<std::vector<uint8_t>> plain = key.decrypt(payload);
    if (!plain) return false;
    payload = std::move(*plain);
    return true;
  }
  Result<std::span<uint8_t>> plain = key.decrypt_in_place(payload);
  if (!plain) return false;
  std::memmove(payload.data(), plain->data(), plain->size());
  payload.resize(plain->size());
  return true;
}

// Whether `key` opens any sealed record from the reader's position to the end of the log.
Result<bool> key_opens_a_later_record(LogReader& reader, uint64_t offset, uint64_t size,
                                      const EncryptionKey& key) {
  for (;;) {
    uint8_t header[SyncWriteAheadLog::kHeaderBytes];
    ASSIGN_OR_RETURN(size_t got, reader.read(header, sizeof header));
    if (got < sizeof header) return false;
    const uint64_t length = get_be32(header);
    if (!record_fits(offset, length, size)) return false;
    if (get_be32(header + 4) == SyncWriteAheadLog::kSealedMarker &&
        length >= EncryptionKey::kOverhead) {
      std::vector<uint8_t> payload(length);
      ASSIGN_OR_RETURN(got, reader.read(payload.data(), payload.size()));
      if (got < length) return false;
      if (open_sealed(key, payload, false)) return true;
    } else {
      RETURN_IF_ERROR(reader.skip(length));
    }
    offset += sizeof header + length;
  }
}

// Applies the framing rules to one whole record: true when it is accepted (its payload then
// holds the plaintext), false when it is damage. `opens_later` answers, for a sealed record the
// key does not open while it has opened none before, whether it opens any later record.
template <class OpensLater>
Result<bool> accept_record(RawRecord& rec, const EncryptionKey* key, bool& opened_any,
                           OpensLater&& opens_later) {
  std::vector<uint8_t>& payload = rec.payload;
  const uint32_t crc = crc32_ieee(payload);
  if (rec.word != SyncWriteAheadLog::kSealedMarker) return crc == rec.word;
  // The marker is also a possible CRC-32. A record is plain exactly when its CRC-32 is the marker
  // and it does not open with the key.
  const bool could_be_plain = crc == SyncWriteAheadLog::kSealedMarker;
  if (key != nullptr && open_sealed(*key, payload, could_be_plain)) {
    opened_any = true;
    return true;
  }
  if (could_be_plain) return true;
  if (payload.size() >= EncryptionKey::kOverhead) {
    // A sealed record we cannot open. Without a key, or with a key that opens none of the sealed
    // records, the log belongs to another key: refuse rather than discard its records.
    if (key == nullptr) {
      return Err(
          Status::invalid_data("WAL holds encrypted records but no encryption key was provided"));
    }
    if (!opened_any) {
      ASSIGN_OR_RETURN(bool later, opens_later());
      if (!later) {
        return Err(Status::invalid_data(
            "WAL is encrypted with another key: the encryption key opens none of its encrypted "
            "records"));
      }
    }
  }
  return false;
}

// The log from `from` to its end, held in memory while damage is passed over.
class LogTail {
 public:
  LogTail(uint64_t from, std::vector<uint8_t> bytes) : from_(from), bytes_(std::move(bytes)) {}

  uint64_t end() const { return from_ + bytes_.size(); }

  // The whole record at `offset`, or false when the file ends inside it.
  bool record_at(uint64_t offset, RawRecord& rec) const {
    if (!record_fits(offset, 0, end())) return false;
    const uint8_t* p = bytes_.data() + (offset - from_);
    const uint64_t length = get_be32(p);
    if (!record_fits(offset, length, end())) return false;
    rec.word = get_be32(p + 4);
    rec.payload.assign(p + SyncWriteAheadLog::kHeaderBytes,
                       p + SyncWriteAheadLog::kHeaderBytes + length);
    return true;
  }

  // Whether a record that the caller can use begins at `offset`: it fits, its integrity check
  // passes and its payload is a record. Cheap tests first, as this runs at every byte offset of
  // a damaged region.
  bool usable_record_at(uint64_t offset, const EncryptionKey* key,
                        const WalRecordCheck& is_record) const {
    if (!record_fits(offset, 0, end())) return false;
    const uint8_t* p = bytes_.data() + (offset - from_);
    const uint64_t length = get_be32(p);
    if (length == 0 || !record_fits(offset, length, end())) return false;
    const uint32_t word = get_be32(p + 4);
    const std::span<const uint8_t> payload(p + SyncWriteAheadLog::kHeaderBytes, length);
    if (word != SyncWriteAheadLog::kSealedMarker) {
      return is_record(payload) && crc32_ieee(payload) == word;
    }
    if (is_record(payload) && crc32_ieee(payload) == word) return true;  // plain after all
    if (key == nullptr || length < EncryptionKey::kOverhead) return false;
    Result<std::vector<uint8_t>> plain = key->decrypt(payload);
    return plain && is_record(*plain);
  }

 private:
  uint64_t from_;
  std::vector<uint8_t> bytes_;
};

Result<std::vector<uint8_t>> read_range(int fd, uint64_t from, uint64_t size) {
  std::vector<uint8_t> bytes(size - from);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done,
                              static_cast<off_t>(from + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err(Status::from_errno(errno));
    }
    if (n == 0) break;  // the file shrank: what is missing reads as a torn tail
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

// Continues a read-back whose record at `offset` is damage: finds the next offset where a usable
// record begins, passes the damage over and reads on, as often as damage recurs. Damage with no
// usable record after it is the tail, left to the caller to cut.
Status salvage_after(int fd, uint64_t offset, uint64_t size, const EncryptionKey* key,
                     bool& opened_any, const WalRecordCheck& is_record, WalReadBack& out) {
  ASSIGN_OR_RETURN(std::vector<uint8_t> bytes, read_range(fd, offset, size));
  const LogTail tail(offset, std::move(bytes));
  uint64_t damaged = offset;
  for (;;) {
    uint64_t next = damaged + 1;
    while (next < tail.end() && !tail.usable_record_at(next, key, is_record)) ++next;
    if (next >= tail.end()) return Status();
    out.skipped_bytes += next - damaged;
    RawRecord rec;
    while (tail.record_at(next, rec) && !rec.payload.empty()) {
      const uint64_t end = next + SyncWriteAheadLog::kHeaderBytes + rec.payload.size();
      // After damage, a sealed record the key cannot open is more damage, never a reason to
      // refuse the log: the key has been shown to open the records that verified.
      auto no_later = []() -> Result<bool> { return true; };
      Result<bool> accepted = accept_record(rec, key, opened_any, no_later);  // opens in place
      if (!accepted || !*accepted) break;
      out.payloads.push_back(std::move(rec.payload));
      out.spans.emplace_back(next, end);
      out.good_end = next = end;
    }
    if (next >= tail.end()) return Status();
    damaged = next;
  }
}

}  // namespace

SyncWriteAheadLog::SyncWriteAheadLog(std::string path, UniqueFd lock_fd, UniqueFd fd,
                                     std::shared_ptr<const EncryptionKey> key)
    : path_(std::move(path)),
      key_(std::move(key)),
      lock_fd_(std::move(lock_fd)),
      fd_(std::move(fd)) {
  if (Result<uint64_t> size = file_size(fd_.get())) size_bytes_ = *size;
}

void SyncWriteAheadLog::close(const Status& why) {
  std::lock_guard lock(mu_);
  closed_ = why;
  fd_.reset();
  lock_fd_.reset();  // the directory is free for another writer from here
  size_bytes_ = 0;
}

Result<std::unique_ptr<SyncWriteAheadLog>> SyncWriteAheadLog::open(
    const std::string& data_dir, std::shared_ptr<const EncryptionKey> key) {
  struct stat st;
  const bool existed = ::stat(data_dir.c_str(), &st) == 0;
  RETURN_IF_ERROR(create_dir_all(data_dir, 0777));
  // A data directory made here holds only the database's files: keep it to its owner. One that
  // existed is the caller's and keeps its permissions (its files are 0600 all the same).
  if (!existed) (void)::chmod(data_dir.c_str(), 0700);
  // The lock file is only ever locked, never written: read-only is enough for flock, and a
  // symlink planted at its name is refused rather than followed.
  ASSIGN_OR_RETURN(UniqueFd lock_fd,
                   open_log_file(join_path(data_dir, WAL_LOCK_FILE_NAME), O_RDONLY | O_CREAT));
  RETURN_IF_ERROR(lock_directory(lock_fd.get(), data_dir));

  // Never through a symlink: one planted at the name (in a directory another user could write
  // before us) would have records appended to, and truncate() empty, a file of the attacker's
  // choosing.
  std::string path = join_path(data_dir, WAL_FILE_NAME);
  bool created = true;
  Result<UniqueFd> fd = open_log_file(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL);
  if (!fd && fd.error().sys_errno() == EEXIST) {
    created = false;
    fd = open_log_file(path, O_WRONLY | O_APPEND | O_CREAT);
  }
  if (!fd) return Err(fd.error());
  // A new log's directory entry must be durable before its first acknowledged record.
  if (created) RETURN_IF_ERROR(fsync_dir(data_dir));
  return std::unique_ptr<SyncWriteAheadLog>(
      new SyncWriteAheadLog(std::move(path), std::move(lock_fd), std::move(*fd), std::move(key)));
}

Result<std::vector<uint8_t>> SyncWriteAheadLog::frame(std::span<const uint8_t> payload) const {
  if (payload.size() > kMaxPayloadBytes) {
    return Err(Status::invalid_argument("WAL record too large: " + std::to_string(payload.size()) +
                                        " bytes (at most " + std::to_string(kMaxPayloadBytes) +
                                        ")"));
  }
  const size_t n = payload.size();
  std::vector<uint8_t> record;
  if (key_) {
    record.resize(kHeaderBytes + n + EncryptionKey::kOverhead);
    if (n > 0)
      std::memcpy(record.data() + kHeaderBytes + EncryptionKey::kNonceBytes, payload.data(), n);
    RETURN_IF_ERROR(key_->encrypt_in_place(std::span(record).subspan(kHeaderBytes)));
    put_be32(record.data(), static_cast<uint32_t>(n + EncryptionKey::kOverhead));
    put_be32(record.data() + 4, kSealedMarker);
  } else {
    record.resize(kHeaderBytes + n);
    if (n > 0) std::memcpy(record.data() + kHeaderBytes, payload.data(), n);
    put_be32(record.data(), static_cast<uint32_t>(n));
    put_be32(record.data() + 4, crc32_ieee(payload));
  }
  return record;
}

Status SyncWriteAheadLog::append(std::span<const uint8_t> payload) {
  ASSIGN_OR_RETURN(std::vector<uint8_t> record, frame(payload));
  std::shared_lock checkpoint(checkpoint_);
  std::lock_guard lock(mu_);
  return write_record(record);
}

Status SyncWriteAheadLog::append_locked(std::span<const uint8_t> payload, WalRecordSpan* where) {
  ASSIGN_OR_RETURN(std::vector<uint8_t> record, frame(payload));
  std::lock_guard lock(mu_);
  return write_record(record, where);
}

Result<bool> SyncWriteAheadLog::retract(const WalRecordSpan& record) {
  std::lock_guard lock(mu_);
  if (!closed_.ok()) return Err(closed_);
  if (!poisoned_.ok()) return Err(poisoned_);
  Result<uint64_t> size = file_size(fd_.get());
  if (!size) return Err(with_path(size.error(), path_));
  if (*size != record.end || record.begin > record.end) return false;
  Status s = restore_length(record.begin);
  if (!s.ok()) {
    // The record may be half cut: nothing may be appended behind it.
    poisoned_ = with_path(s, path_);
    return Err(poisoned_);
  }
  return true;
}

Status SyncWriteAheadLog::write_record(std::span<const uint8_t> record, WalRecordSpan* where) {
  if (!closed_.ok()) return closed_;
  if (!poisoned_.ok()) return poisoned_;
  // The length to restore if this append fails. Taken from the file rather than remembered, so it
  // is right whatever happened to the file since the last append.
  Result<uint64_t> before = file_size(fd_.get());
  if (!before) return with_path(before.error(), path_);
  Status s;
  if (faults_.write_errno != 0) {
    size_t partial = std::min(faults_.write_partial_bytes, record.size());
    (void)write_all(fd_.get(), record.first(partial));
    s = Status::from_errno(faults_.write_errno);
  } else {
    s = write_all(fd_.get(), record);
  }
  if (s.ok())
    s = faults_.sync_errno != 0 ? Status::from_errno(faults_.sync_errno) : fsync_fd(fd_.get());
  if (s.ok()) {
    if (where != nullptr) *where = {*before, *before + record.size()};
    size_bytes_ = *before + record.size();
    return s;
  }
  s = with_path(s, path_);
  // A record that may be partly in the file must not stay there: later records would sit behind
  // it and never be read back. If it cannot be removed, stop appending altogether.
  if (!restore_length(*before).ok()) poisoned_ = s;
  return s;
}

Status SyncWriteAheadLog::restore_length(uint64_t length) {
  if (faults_.cut_back_errno != 0) return Status::from_errno(faults_.cut_back_errno);
  RETURN_IF_ERROR(truncate_fd(fd_.get(), length));
  size_bytes_ = length;
  return fsync_fd(fd_.get());
}

Status SyncWriteAheadLog::truncate() {
  std::lock_guard lock(mu_);
  if (!closed_.ok()) return closed_;
  // No O_CREAT: a log file that vanished is reported, not silently recreated.
  ASSIGN_OR_RETURN(UniqueFd emptied, open_log_file(path_, O_WRONLY | O_TRUNC));
  RETURN_IF_ERROR(with_path(fsync_fd(emptied.get()), path_));
  ASSIGN_OR_RETURN(UniqueFd fresh, open_log_file(path_, O_WRONLY | O_APPEND | O_CREAT));
  fd_ = std::move(fresh);
  poisoned_ = Status();
  size_bytes_ = 0;
  return Status();
}

Status SyncWriteAheadLog::cut_back(uint64_t good_end) {
  std::lock_guard lock(mu_);
  Result<uint64_t> size_or = file_size(fd_.get());
  if (!size_or) return with_path(size_or.error(), path_);
  const uint64_t size = *size_or;
  if (good_end > size) {
    return Status::invalid_argument("cannot cut the log back to " + std::to_string(good_end) +
                                    " bytes: it holds " + std::to_string(size));
  }
  if (good_end == size) return Status();
  RETURN_IF_ERROR(with_path(truncate_fd(fd_.get(), good_end), path_));
  size_bytes_ = good_end;
  return with_path(fsync_fd(fd_.get()), path_);
}

Status SyncWriteAheadLog::replace_contents(std::span<const uint8_t> bytes) {
  std::lock_guard lock(mu_);
  const size_t name_at = path_.size() - std::strlen(WAL_FILE_NAME);
  const std::string dir = name_at == 0 ? std::string(".") : path_.substr(0, name_at);
  RETURN_IF_ERROR(replace_file_atomically(dir, WAL_FILE_NAME, bytes));
  // The old descriptor now names the replaced file: append to the new one.
  ASSIGN_OR_RETURN(UniqueFd fresh, open_log_file(path_, O_WRONLY | O_APPEND));
  fd_ = std::move(fresh);
  poisoned_ = Status();
  size_bytes_ = bytes.size();
  return Status();
}

Result<WalReadBack> read_wal(const std::string& path, const EncryptionKey* key,
                             const WalRecordCheck& is_record) {
  ASSIGN_OR_RETURN(UniqueFd fd, open_log_file(path, O_RDONLY));
  // Nobody appends while the log is read back (the caller holds the directory lock), so the size
  // bounds every length field.
  ASSIGN_OR_RETURN(const uint64_t size, file_size(fd.get()));
  LogReader reader(fd.get());
  WalReadBack out;
  bool opened_any = false;  // the key has opened a sealed record of this log
  uint64_t offset = 0;
  for (;;) {
    RawRecord rec;
    ASSIGN_OR_RETURN(bool whole, read_record(reader, offset, size, rec));
    // No record is empty (every entry has a tag): with a record check, eight zero bytes (a
    // zeroed region, whose CRC is 0) are damage, not a record.
    if (whole && !(is_record && rec.payload.empty())) {
      const uint64_t record_end = offset + SyncWriteAheadLog::kHeaderBytes + rec.payload.size();
      ASSIGN_OR_RETURN(bool accepted, accept_record(rec, key, opened_any, [&]() -> Result<bool> {
                         return key_opens_a_later_record(reader, record_end, size, *key);
                       }));
      if (accepted) {
        out.payloads.push_back(std::move(rec.payload));
        out.spans.emplace_back(offset, record_end);
        out.good_end = offset = record_end;
        continue;
      }
    }
    // Damage at `offset`: a torn tail, or (with a record check) possibly damage in the middle
    // with records that verify after it.
    if (is_record && offset < size) {
      RETURN_IF_ERROR(salvage_after(fd.get(), offset, size, key, opened_any, is_record, out));
    }
    break;
  }
  out.stopped_early = out.good_end < size;
  return out;
}

void SyncWriteAheadLog::set_faults_for_testing(const FaultsForTesting& faults) {
  std::lock_guard lock(mu_);
  faults_ = faults;
}

}  // namespace tarnwell_core
