#include "core/util/status.h"

#include <cerrno>

#include <gtest/gtest.h>

namespace tarnwell_core {
namespace {

Result<int> parse_positive(int v) {
  if (v <= 0) return Err(Status::invalid_argument("not positive"));
  return v;
}

Status doubled_into(int v, int* out) {
  ASSIGN_OR_RETURN(int x, parse_positive(v));
  *out = 2 * x;
  return Status();
}

TEST(Status, PropagatesThroughMacros) {
  int out = 0;
  EXPECT_TRUE(doubled_into(3, &out).ok());
  EXPECT_EQ(out, 6);
  Status s = doubled_into(-1, &out);
  EXPECT_EQ(s.code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(s.message(), "not positive");
}

TEST(Status, ErrnoTextNamesTheError) {
  Status s = Status::from_errno(ENOENT);
  EXPECT_EQ(s.code(), StatusCode::kIoError);
  EXPECT_EQ(s.sys_errno(), ENOENT);
  EXPECT_EQ(s.message(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace tarnwell_core
