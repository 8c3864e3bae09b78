// POSIX file helpers: interrupted calls retried, short transfers continued, durable replace.
#include "core/util/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace tarnwell_core {
namespace {

// The directory holding `path`, as a path that can be opened: "." for a bare name, "/" for a
// child of the root. Trailing slashes of `path` are ignored.
std::string parent_dir(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  while (slash > 0 && path[slash - 1] == '/') --slash;
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir of `path` alone, returning whether it created the directory.
Result<bool> make_one_dir(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) == 0) return true;
  int err = errno;
  if (err == EEXIST && is_directory(path)) return false;
  return Err(with_path(Status::from_errno(err), path));
}

Status create_dir_all_impl(const std::string& path, mode_t mode, int depth) {
  Result<bool> made = make_one_dir(path, mode);
  if (!made && made.error().sys_errno() == ENOENT && depth < 4096) {
    std::string parent = parent_dir(path);
    // A bare relative name whose parent is missing means the working directory itself is gone;
    // there is nothing further up to create.
    if (parent == path || parent == "." || parent == "/") return made.error();
    RETURN_IF_ERROR(create_dir_all_impl(parent, mode, depth + 1));
    made = make_one_dir(path, mode);
  }
  if (!made) return made.error();
  if (*made) {
    Status synced = fsync_dir(parent_dir(path));
    // A parent we may create entries in but not read cannot be opened for syncing; the entry is
    // then as durable as the file system makes it on its own.
    if (!synced.ok() && synced.sys_errno() != EACCES) return synced;
  }
  return Status();
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) reset(o.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);  // Linux releases the descriptor even when close reports EINTR.
  fd_ = fd;
}

Status UniqueFd::close() {
  if (fd_ < 0) return Status();
  int rc = ::close(fd_);
  fd_ = -1;
  if (rc != 0 && errno != EINTR) return Status::from_errno(errno);
  return Status();
}

Status with_path(Status status, std::string_view path) {
  if (status.code() != StatusCode::kIoError) return status;
  return Status::io_error(status.message() + ": '" + std::string(path) + "'", status.sys_errno());
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

Result<UniqueFd> open_file(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Err(with_path(Status::from_errno(errno), path));
  return UniqueFd(fd);
}

Status write_all(int fd, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::from_errno(errno);
    }
    if (n == 0) return Status::io_error("failed to write whole buffer");
    done += static_cast<size_t>(n);
  }
  return Status();
}

Status fsync_fd(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return Status::from_errno(errno);
  }
  return Status();
}

Status fsync_dir(const std::string& path) {
  ASSIGN_OR_RETURN(UniqueFd fd, open_file(path, O_RDONLY | O_DIRECTORY));
  Status s = fsync_fd(fd.get());
  if (!s.ok() && s.sys_errno() == EINVAL) return Status();
  return with_path(s, path);
}

Status create_dir_all(const std::string& path, mode_t mode) {
  return create_dir_all_impl(path, mode, 0);
}

namespace {

Result<std::vector<uint8_t>> read_file_impl(const std::string& path) {
  // O_NONBLOCK so that a FIFO at the path cannot block the open; it has no effect on a file.
  ASSIGN_OR_RETURN(UniqueFd fd, open_file(path, O_RDONLY | O_NONBLOCK));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Err(Status::from_errno(errno));
  // A device would never end (or block), a FIFO holds no file contents.
  if (S_ISDIR(st.st_mode)) return Err(Status::from_errno(EISDIR));
  if (!S_ISREG(st.st_mode)) {
    return Err(Status::invalid_data("\"" + path + "\" is not a regular file"));
  }
  std::vector<uint8_t> data(st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0);
  size_t got = 0;
  for (;;) {
    if (got == data.size()) {
      // Size hint exhausted: probe for bytes written since the fstat (or a file whose metadata
      // reports no size) before declaring the end.
      uint8_t probe[4096];
      ssize_t n = ::read(fd.get(), probe, sizeof probe);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Err(Status::from_errno(errno));
      }
      if (n == 0) break;
      data.insert(data.end(), probe, probe + n);
      got = data.size();
      continue;
    }
    ssize_t n = ::read(fd.get(), data.data() + got, data.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err(Status::from_errno(errno));
    }
    if (n == 0) {
      data.resize(got);  // the file shrank meanwhile
      break;
    }
    got += static_cast<size_t>(n);
  }
  return data;
}

}  // namespace

Result<std::vector<uint8_t>> read_file(const std::string& path) {
  Result<std::vector<uint8_t>> data = read_file_impl(path);
  if (!data && data.error().code() == StatusCode::kIoError &&
      data.error().message().find(path) == std::string::npos) {
    return Err(with_path(data.error(), path));
  }
  return data;
}

Result<std::vector<std::string>> list_dir(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return Err(with_path(Status::from_errno(errno), path));
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(dir);
    if (e == nullptr) {
      int err = errno;
      ::closedir(dir);
      if (err != 0) return Err(with_path(Status::from_errno(err), path));
      return names;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
}

Status replace_file_atomically(const std::string& dir, std::string_view name,
                               std::span<const uint8_t> bytes) {
  const std::string final_path = join_path(dir, name);
  const std::string tmp_path = final_path + ".tmp";
  // The temporary name is ours. Whatever sits there (a leftover of a failed save, or a symlink
  // or hard link planted to redirect the write) is unlinked, and O_EXCL|O_NOFOLLOW guarantee the
  // bytes land in a fresh file of our own.
  if (::unlink(tmp_path.c_str()) != 0 && errno != ENOENT) {
    return with_path(Status::from_errno(errno), tmp_path);
  }
  // Private from its creation, before any byte is written: permissions are checked only when a
  // file is opened, so a reader that opened it while it was wider would keep reading it.
  ASSIGN_OR_RETURN(UniqueFd fd,
                   open_file(tmp_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
  // Exactly 0600 whatever the umask; fchmod on the descriptor, as the path could be swapped.
  Status s;
  if (::fchmod(fd.get(), 0600) != 0) s = Status::from_errno(errno);
  if (s.ok()) s = write_all(fd.get(), bytes);
  if (s.ok()) s = fsync_fd(fd.get());
  if (s.ok()) {
    s = fd.close();
  } else {
    fd.reset();
  }
  if (!s.ok()) s = with_path(s, tmp_path);
  if (s.ok() && ::rename(tmp_path.c_str(), final_path.c_str()) != 0) {
    s = with_path(Status::from_errno(errno), final_path);
  }
  if (!s.ok()) {
    ::unlink(tmp_path.c_str());
    return s;
  }
  return fsync_dir(dir.empty() ? std::string(".") : dir);
}

Result<std::string> copy_file_aside(const std::string& source, const std::string& dir,
                                    std::string_view prefix) {
  ASSIGN_OR_RETURN(std::vector<uint8_t> bytes, read_file(source));
  const std::string stem = std::string(prefix) + std::to_string(::time(nullptr));
  for (int attempt = 0;; ++attempt) {
    std::string name = attempt == 0 ? stem : stem + "." + std::to_string(attempt);
    const std::string path = join_path(dir, name);
    Result<UniqueFd> fd = open_file(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (!fd) {
      if (fd.error().sys_errno() == EEXIST && attempt < 1000) continue;
      return Err(fd.error());
    }
    Status s = write_all(fd->get(), bytes);
    if (s.ok()) s = fsync_fd(fd->get());
    if (s.ok()) s = fd->close();
    if (s.ok()) s = fsync_dir(dir.empty() ? std::string(".") : dir);
    if (!s.ok()) {
      ::unlink(path.c_str());
      return Err(with_path(s, path));
    }
    return name;
  }
}

}  // namespace tarnwell_core
