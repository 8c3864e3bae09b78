#include "core/util/os_random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

namespace tarnwell_core {
namespace {

Status fill_from_device(std::span<uint8_t> out) {
  int fd;
  do {
    fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Status::from_errno(errno);
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::read(fd, out.data() + done, out.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return Status::from_errno(err);
    }
    if (n == 0) {
      ::close(fd);
      return Status::io_error("unexpected end of file reading /dev/urandom");
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return Status();
}

}  // namespace

Status fill_os_random(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS) return fill_from_device(out.subspan(done));
      return Status::from_errno(errno);
    }
    done += static_cast<size_t>(n);
  }
  return Status();
}

}  // namespace tarnwell_core
