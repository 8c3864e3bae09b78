// Small POSIX file helpers shared by the snapshot and log code. Every call retries interrupted
// system calls, continues short transfers, and reports failures as a Status carrying the
// system's error text; none of them throws or aborts on anything the file system returns.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/util/status.h"

namespace tarnwell_core {

// Owns one file descriptor and closes it on destruction. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the held descriptor (if any) and takes `fd`; a close error is ignored.
  void reset(int fd = -1);
  // Closes the held descriptor and reports a close error (a deferred write error on some file
  // systems), which matters for files whose contents must be known to have been written.
  Status close();

 private:
  int fd_ = -1;
};

// `status` with the path it concerns appended to its message ("...: 'path'"), so that every
// failure of a file operation names its file; OK and non-I/O statuses are returned unchanged.
Status with_path(Status status, std::string_view path);

// `dir` joined with `name` by one '/'. An empty `dir` yields `name`.
std::string join_path(std::string_view dir, std::string_view name);

// open(2) retried while interrupted.
Result<UniqueFd> open_file(const std::string& path, int flags, mode_t mode = 0);

// Writes every byte of `bytes` to `fd`, continuing short writes. A write that accepts no bytes
// fails with "failed to write whole buffer".
Status write_all(int fd, std::span<const uint8_t> bytes);

// fsync(2) retried while interrupted.
Status fsync_fd(int fd);

// Makes the entries of directory `path` (creations, renames) durable. A file system that cannot
// sync directories (EINVAL) is taken as having nothing to sync.
Status fsync_dir(const std::string& path);

// Creates `path` and any missing parents with `mode` (before the umask). An existing directory is
// success; an existing non-directory is EEXIST. The parent of every directory created is synced,
// so the new entry survives a power loss before later files inside it are relied upon.
Status create_dir_all(const std::string& path, mode_t mode);

// Reads the whole file with one allocation sized from its metadata (continuing if it grew).
// A directory is EISDIR; anything else but a regular file (a FIFO or device, also behind a
// symlink) is refused with kInvalidData without reading from it.
Result<std::vector<uint8_t>> read_file(const std::string& path);

// Names of the entries of directory `path` in listing order, without "." and "..".
Result<std::vector<std::string>> list_dir(const std::string& path);

// Replaces `dir`/`name` by a file holding exactly `bytes`, atomically for readers and durably:
// the bytes go to `dir`/`name`.tmp (whatever sat at that name, a planted symlink included, is
// removed first and never followed), which is given mode 0600, synced, closed and renamed over
// the final name; then `dir` is synced. A failure leaves any earlier `dir`/`name` untouched and
// removes the temporary file.
Status replace_file_atomically(const std::string& dir, std::string_view name,
                               std::span<const uint8_t> bytes);

// Copies the file at `source` to a new file in `dir` named "{prefix}{unix seconds}" (".1", ".2"
// ... appended while that name is taken), mode 0600, synced, then syncs `dir`. Returns the new
// file's name. Never replaces an existing file.
Result<std::string> copy_file_aside(const std::string& source, const std::string& dir,
                                    std::string_view prefix);

}  // namespace tarnwell_core
