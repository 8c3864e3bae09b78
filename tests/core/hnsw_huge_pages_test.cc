// The huge-page backing of the graph's large arrays changes where memory comes from, never
// what the arrays hold: contents survive every move, small arrays are left alone, and a
// reserve that has nothing to do does nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "core/hnsw/huge_pages.h"

namespace tarnwell_core {
namespace {

std::vector<uint32_t> iota_of(size_t n) {
  std::vector<uint32_t> v(n);
  std::iota(v.begin(), v.end(), 7u);
  return v;
}

TEST(HugePages, ContentsSurviveEveryMove) {
  const size_t large = huge_pages_detail::kMinBytes / sizeof(uint32_t) + 5;
  struct Case {
    size_t size;
    size_t reserve;
  };
  for (const Case& c : std::vector<Case>{{0, 0},
                                         {10, 100},
                                         {large, large},
                                         {large, 2 * large},
                                         {large / 2, large + 3},
                                         {large, 10}}) {
    std::vector<uint32_t> v = iota_of(c.size);
    const std::vector<uint32_t> want = v;
    const size_t cap_before = v.capacity();
    const uint32_t* data_before = v.data();
    reserve_on_huge_pages(v, c.reserve);
    EXPECT_EQ(v, want) << c.size << " " << c.reserve;
    EXPECT_GE(v.capacity(), std::max(c.reserve, cap_before));
    if (c.reserve <= cap_before) {
      EXPECT_EQ(v.data(), data_before);  // nothing to do: no move
    }

    move_to_huge_pages(v);
    EXPECT_EQ(v, want) << c.size;
  }
}

TEST(HugePages, SmallArraysStayWhereTheyAre) {
  std::vector<uint8_t> v(1000, 3);
  const uint8_t* before = v.data();
  move_to_huge_pages(v);
  EXPECT_EQ(v.data(), before);
  EXPECT_EQ(v, std::vector<uint8_t>(1000, 3));
}

}  // namespace
}  // namespace tarnwell_core
