#include "core/util/status.h"

#include <cstring>

namespace tarnwell_core {

Status Status::from_errno(int err) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be `buf`.
  const char* text = strerror_r(err, buf, sizeof buf);
  return Status(StatusCode::kIoError, std::string(text) + " (os error " + std::to_string(err) + ")",
                err);
}

const std::string& Status::message() const {
  static const std::string kEmpty;
  return rep_ ? rep_->message : kEmpty;
}

}  // namespace tarnwell_core
