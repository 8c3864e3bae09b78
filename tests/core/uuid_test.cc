#include "core/util/uuid.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <unordered_set>

namespace tarnwell_core {
namespace {

constexpr const char* CANONICAL = "67e55044-10b1-426f-9247-bb680e5fe0c8";

TEST(Uuid, AcceptsEveryTextFormAndPrintsCanonical) {
  const char* forms[] = {
      "67e5504410b1426f9247bb680e5fe0c8",
      "67E5504410B1426F9247BB680E5FE0C8",
      "67e55044-10b1-426f-9247-bb680e5fe0c8",
      "67E55044-10b1-426F-9247-BB680e5fe0C8",
      "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
      "{67E55044-10B1-426F-9247-BB680E5FE0C8}",
      "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8",
      "urn:uuid:67E55044-10B1-426F-9247-BB680E5FE0C8",
  };
  for (const char* text : forms) {
    auto u = Uuid::parse(text);
    ASSERT_TRUE(u.has_value()) << text << ": " << u.error().message();
    EXPECT_EQ(u->to_string(), CANONICAL) << text;
    EXPECT_EQ(u->bytes[0], 0x67);
    EXPECT_EQ(u->bytes[15], 0xc8);
  }
}

// Position rule: 1-based, counting characters of the whole input (prefix and brace included).
// Everything before the reported character is ASCII, so this is also the byte offset + 1.
// Length rule: the simple-form length is that of the whole input; group lengths count the
// characters of the group alone (never the wrapper).
TEST(Uuid, RefusalsCarryTheParserReason) {
  const std::string bad_char =
      "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], "
      "found ";
  struct Case {
    std::string input;
    std::string reason;
  };
  const Case cases[] = {
      {"", "invalid length: expected length 32 for simple format, found 0"},
      {"67e5504410b1426f9247bb680e5fe0c",
       "invalid length: expected length 32 for simple format, found 31"},
      {"67e5504410b1426f9247bb680e5fe0c8a",
       "invalid length: expected length 32 for simple format, found 33"},
      {"67e5504410b1426f9247bb680e5fe0cg", bad_char + "`g` at 32"},
      {" 67e55044-10b1-426f-9247-bb680e5fe0c8", bad_char + "` ` at 1"},
      {"67e55044-10b1-426f-9247-bb680e5fe0c8 ", bad_char + "` ` at 37"},
      {"67e55044-10b1-426f-9247-bb680e5fé0c8", bad_char + "`é` at 33"},
      {"67e5\xff"
       "5044-10b1-426f-9247-bb680e5fe0c8",
       bad_char + "`\\xff` at 5"},
      {"urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0cz", bad_char + "`z` at 45"},
      {"URN:UUID:67e55044-10b1-426f-9247-bb680e5fe0c8", bad_char + "`U` at 1"},
      {"{67e55044-10b1-426f-9247-bb680e5fe0c8", bad_char + "`{` at 1"},
      {"{67e55044-10b1-426f-9247-bb680e5fe0c8}}", bad_char + "`}` at 38"},
      {"{67e55044-10b1-426f-9247-bb680e5fe0cx}", bad_char + "`x` at 37"},
      {"67e55044-10b1-426f-9247bb680e5fe0c8", "invalid group count: expected 5, found 4"},
      {"67e55044-10b1-426f-9247-bb68-0e5fe0c8", "invalid group count: expected 5, found 6"},
      {"urn:uuid:67e5504410b1426f9247bb680e5fe0c8", "invalid group count: expected 5, found 1"},
      {"{67e5504410b1426f9247bb680e5fe0c8}", "invalid group count: expected 5, found 1"},
      {"{}", "invalid group count: expected 5, found 1"},
      {"-", "invalid group count: expected 5, found 2"},
      {"67e5504-410b1-426f-9247-bb680e5fe0c8",
       "invalid group length in group 0: expected 8, found 7"},
      {"67e55044-10b-1426f-9247-bb680e5fe0c8",
       "invalid group length in group 1: expected 4, found 3"},
      {"67e55044-10b1-426f-92471-bb680e5fe0c",
       "invalid group length in group 3: expected 4, found 5"},
      {"67e55044-10b1-426f-9247-bb680e5fe0c",
       "invalid group length in group 4: expected 12, found 11"},
      {"67e55044-10b1-426f-9247-bb680e5fe0c8a",
       "invalid group length in group 4: expected 12, found 13"},
      {"{67e55044-10b1-426f-9247-bb680e5fe0c}",
       "invalid group length in group 4: expected 12, found 11"},
      {"urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8aa",
       "invalid group length in group 4: expected 12, found 14"},
      // 32 characters, so first read as the simple form, but it is hyphenated.
      {"67e55044-10b1-426f-9247-bb680e5f", "invalid group length in group 4: expected 12, found 8"},
      {"----", "invalid group length in group 0: expected 8, found 0"},
  };
  for (const Case& c : cases) {
    auto u = Uuid::parse(c.input);
    ASSERT_FALSE(u.has_value()) << c.input;
    EXPECT_EQ(u.error().code(), StatusCode::kInvalidArgument) << c.input;
    EXPECT_EQ(u.error().message(), c.reason) << c.input;
  }
}

TEST(Uuid, TextRoundTripAndOrdering) {
  Uuid a = *Uuid::parse("00000000-0000-0000-0000-000000000001");
  Uuid b = *Uuid::parse("01000000-0000-0000-0000-000000000000");
  EXPECT_LT(a, b);  // byte order, most significant first
  EXPECT_EQ(*Uuid::parse(a.to_string()), a);
  EXPECT_EQ(Uuid{}.to_string(), "00000000-0000-0000-0000-000000000000");
  std::set<Uuid> ordered = {b, a, a};
  EXPECT_EQ(ordered.size(), 2u);
}

TEST(Uuid, RandomIdsAreVersion4AndDistinct) {
  std::unordered_set<Uuid> seen;
  for (int i = 0; i < 1000; ++i) {
    auto u = Uuid::new_v4();
    ASSERT_TRUE(u.has_value()) << u.error().message();
    std::string text = u->to_string();
    EXPECT_EQ(text[14], '4') << text;
    EXPECT_NE(std::string("89ab").find(text[19]), std::string::npos) << text;
    EXPECT_TRUE(seen.insert(*u).second) << "duplicate " << text;
  }
}

TEST(Uuid, HashSpreadsSequentialIds) {
  // User-chosen ids are often sequential; they must still land in different buckets.
  std::unordered_set<size_t> hashes;
  for (uint32_t i = 0; i < 4096; ++i) {
    Uuid u;
    u.bytes[15] = static_cast<uint8_t>(i);
    u.bytes[14] = static_cast<uint8_t>(i >> 8);
    EXPECT_EQ(UuidHash{}(u), std::hash<Uuid>{}(u));
    hashes.insert(UuidHash{}(u) % 4099);
  }
  EXPECT_GT(hashes.size(), 2000u);
}

}  // namespace
}  // namespace tarnwell_core
