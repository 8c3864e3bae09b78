// Errors as values. A Status is a code plus a message; the OK status carries no allocation.
// Result<T> is std::expected<T, Status>. RETURN_IF_ERROR / ASSIGN_OR_RETURN keep call sites
// short, since g++ 12's std::expected has no monadic operations.
#pragma once

#include <cerrno>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace tarnwell_core {

enum class StatusCode : int {
  kOk = 0,
  kInvalidArgument = 1,
  kNotFound = 2,
  kAlreadyExists = 3,
  kIoError = 4,      // an operating-system failure; errno() holds the error number
  kInvalidData = 5,  // bytes read from a file or log that do not decode or do not check out
};

class [[nodiscard]] Status {
 public:
  Status() = default;  // OK
  // Lets RETURN_IF_ERROR and ASSIGN_OR_RETURN return from functions that return a plain Status.
  Status(std::unexpected<Status> e) : Status(std::move(e).error()) {}  // NOLINT: implicit on purpose

  static Status invalid_argument(std::string msg) {
    return Status(StatusCode::kInvalidArgument, std::move(msg));
  }
  static Status not_found(std::string msg) { return Status(StatusCode::kNotFound, std::move(msg)); }
  static Status already_exists(std::string msg) {
    return Status(StatusCode::kAlreadyExists, std::move(msg));
  }
  static Status invalid_data(std::string msg) {
    return Status(StatusCode::kInvalidData, std::move(msg));
  }
  // An I/O error with an explicit message (the caller decides the wording).
  static Status io_error(std::string msg, int err = 0) {
    return Status(StatusCode::kIoError, std::move(msg), err);
  }
  // An I/O error carrying the system's text for `err`, formatted the way the system reports it:
  // "<strerror> (os error N)".
  static Status from_errno(int err);

  bool ok() const { return rep_ == nullptr; }
  StatusCode code() const { return rep_ ? rep_->code : StatusCode::kOk; }
  // The error number of an kIoError built from the system; 0 otherwise.
  int sys_errno() const { return rep_ ? rep_->err : 0; }
  const std::string& message() const;

  bool operator==(const Status& o) const { return code() == o.code() && message() == o.message(); }

 private:
  struct Rep {
    StatusCode code;
    std::string message;
    int err;
  };
  Status(StatusCode code, std::string msg, int err = 0)
      : rep_(std::make_shared<const Rep>(Rep{code, std::move(msg), err})) {}

  std::shared_ptr<const Rep> rep_;
};

template <class T>
using Result = std::expected<T, Status>;

inline std::unexpected<Status> Err(Status s) { return std::unexpected<Status>(std::move(s)); }

}  // namespace tarnwell_core

#define TW_CONCAT_INNER_(a, b) a##b
#define TW_CONCAT_(a, b) TW_CONCAT_INNER_(a, b)

// Returns the Status of `expr` from the enclosing function when it is not OK. Works in functions
// returning Status and in functions returning Result<T>.
#define RETURN_IF_ERROR(expr)                                        \
  do {                                                               \
    ::tarnwell_core::Status tw_status_ = (expr);                     \
    if (!tw_status_.ok()) return ::tarnwell_core::Err(tw_status_);   \
  } while (0)

// `lhs = value of the Result expr`, or returns its error from the enclosing function.
#define ASSIGN_OR_RETURN(lhs, expr) ASSIGN_OR_RETURN_IMPL_(TW_CONCAT_(tw_result_, __LINE__), lhs, expr)
#define ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr) \
  auto tmp = (expr);                           \
  if (!tmp) return ::tarnwell_core::Err(std::move(tmp).error()); \
  lhs = std::move(*tmp)
