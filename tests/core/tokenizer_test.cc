#include "core/bm25/tokenizer.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

namespace tarnwell_core {
namespace {

std::vector<std::string> terms(const Tokens& t) {
  std::vector<std::string> out;
  for (size_t i = 0; i < t.size(); ++i) out.emplace_back(t.token(i));
  return out;
}

using Terms = std::vector<std::string>;

TEST(Tokenizer, SplitsLowersAndDropsShortAndStopWords) {
  struct Case {
    std::string text;
    Terms expected;
  };
  const Case cases[] = {
      {"The Quick-Brown fox!", {"quick", "brown", "fox"}},
      {"I am a C programmer", {"am", "programmer"}},
      {"Il gatto è sul tavolo", {"gatto", "è", "sul", "tavolo"}},
      {"x1 42 3.14", {"x1", "42", "14"}},
      {"ΟΔΟΣ", {"οδος"}},
      {"", {}},
      {"...!?  -- ,;", {}},
      {"data data", {"data", "data"}},
      {"THE AND OR Della CHE", {}},
      {"thes th dell degl anch sonoo thei",
       {"thes", "th", "dell", "degl", "anch", "sonoo", "thei"}},
      {"ÉCOLE Ñandú", {"école", "ñandú"}},
      {"naïve café", {"naïve", "café"}},
      {"tab\tnew\nline\rend", {"tab", "new", "line", "end"}},
      {"snake_case and camelCase", {"snake", "case", "camelcase"}},
      {"東京タワー", {"東京タワー"}},
      {"٣٤ and ²", {"٣٤", "²"}},    // Arabic-Indic digits (Nd), superscript two (No)
      {"Ⅻ", {"ⅻ"}},                 // Roman numeral (Nl), lower-cased
      {"a€b", {}},                  // € separates, leaving two one-byte tokens
      {"e\xCC\x81tude", {"tude"}},  // a combining mark is not alphabetic: it separates
  };
  for (const Case& c : cases) {
    EXPECT_EQ(terms(tokenize(c.text)), c.expected) << c.text;
  }
}

TEST(Tokenizer, FinalSigmaDependsOnPosition) {
  // σ (CF 83) inside a word, ς (CF 82) at its end.
  struct Case {
    std::string text;
    std::string lowered;
  };
  const Case cases[] = {
      {"ΟΔΟΣ", "οδος"},   {"ΟΔΟΣ.", "οδος."}, {"ΣΑΣ ΟΔΟΣ", "σας οδος"},
      {"ΟΔΟΣΑ", "οδοσα"}, {"Σ", "σ"},  // not preceded by a cased letter
  };
  for (const Case& c : cases) {
    Tokens t = tokenize(c.text);
    EXPECT_EQ(t.lowered, c.lowered) << c.text;
  }
}

TEST(Tokenizer, SpansReferToTheLoweredText) {
  // U+0130 lower-cases to two code points, three bytes in all: later offsets shift.
  Tokens t = tokenize("\xC4\xB0X Straße AB");
  EXPECT_EQ(t.lowered, "i\xCC\x87x straße ab");
  ASSERT_EQ(terms(t), (Terms{"straße", "ab"}));
  EXPECT_EQ(t.spans[0], (std::pair<uint32_t, uint32_t>{5, 12}));
}

TEST(Tokenizer, InvalidUtf8BytesSeparateTokens) {
  struct Case {
    std::string text;
    Terms expected;
  };
  const Case cases[] = {
      {"ab\xFF"
       "cd",
       {"ab", "cd"}},
      {"\xC3", {}},
      {"ÀB\xC3", {"àb"}},
      {"xy\xE2\x82"
       "AB",
       {"xy", "ab"}},
      {"\xED\xA0\x80Σε", {"σε"}},  // an encoded surrogate is refused, the rest still lowers
      {"\x80\x80\x80", {}},
  };
  for (const Case& c : cases) {
    Tokens t = tokenize(c.text);
    EXPECT_EQ(terms(t), c.expected) << testing::PrintToString(c.text);
  }
  // The bad bytes stay in place; everything else is lowered around them.
  EXPECT_EQ(tokenize("ÀB\xFF"
                     "CD")
                .lowered,
            "àb\xFF"
            "cd");
}

// The ASCII fast path must be indistinguishable from the general path.
TEST(Tokenizer, AsciiFastPathAgreesWithIcu) {
  auto same = [](const std::string& s) {
    Tokens fast = tokenize(s);
    Tokens icu = tokenize_with_icu(s);
    EXPECT_EQ(fast.lowered, icu.lowered) << testing::PrintToString(s);
    EXPECT_EQ(fast.spans, icu.spans) << testing::PrintToString(s);
  };
  for (int a = 0; a < 128; ++a) {
    for (int b = 0; b < 128; ++b) {
      same(std::string{static_cast<char>(a), static_cast<char>(b)});
    }
  }
  const std::string alphabet =
      "aAzZ09 .-_,'!\t\n\0\x7F"
      "bcXYthe";
  std::mt19937 rng(12345);
  for (int i = 0; i < 3000; ++i) {
    std::string s(rng() % 40, ' ');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    same(s);
  }
  for (int i = 0; i < 1000; ++i) {
    std::string s(rng() % 60, ' ');
    for (char& c : s) c = static_cast<char>(rng() % 128);
    same(s);
  }
}

// The fast path's word table must be what the Unicode definition says for ASCII.
TEST(Tokenizer, AsciiWordCharactersAreTheUnicodeAlphanumerics) {
  for (UChar32 c = 0; c < 128; ++c) {
    int8_t type = u_charType(c);
    bool unicode = u_hasBinaryProperty(c, UCHAR_ALPHABETIC) || type == U_DECIMAL_DIGIT_NUMBER ||
                   type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
    bool kept = tokenize(std::string(2, static_cast<char>(c))).size() == 1;
    EXPECT_EQ(kept, unicode) << c;
  }
}

TEST(Tokenizer, StopWordsAreTheFixedSixtyFour) {
  const auto& words = stop_words();
  EXPECT_EQ(words.size(), 64u);
  for (const char* w : {"a", "the", "with", "il", "gli", "degli", "anche", "ci"}) {
    EXPECT_TRUE(words.contains(w)) << w;
  }
  for (const char* w : {"sul", "am", "i", "The"}) EXPECT_FALSE(words.contains(w)) << w;
  for (std::string_view w : words) {
    // Every stop word is already lower-case ASCII, so its upper-case form is dropped too.
    std::string upper(w);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(tokenize(upper).spans.empty()) << w;
  }
}

TEST(Tokenizer, StopWordsInitialiseOnceUnderConcurrentUse) {
  std::vector<std::thread> threads;
  std::vector<size_t> counts(4);
  for (size_t i = 0; i < counts.size(); ++i) {
    threads.emplace_back([&counts, i] {
      for (int k = 0; k < 200; ++k) counts[i] += tokenize("the gatto della casa").size();
    });
  }
  for (auto& t : threads) t.join();
  for (size_t c : counts) EXPECT_EQ(c, 400u);
}

// Long non-ASCII texts are lower-cased in chunks cut at spaces; no result may depend on where
// the cuts fall.
TEST(Tokenizer, LongTextsLowerLikeShortOnes) {
  std::string text, expected;
  for (int i = 0; i < 3000; ++i) {
    text += (i % 2 ? "ΟΔΟΣ " : "ΟΔΟΣΑ ");
    expected += (i % 2 ? "οδος " : "οδοσα ");
  }
  Tokens t = tokenize(text);
  EXPECT_EQ(t.lowered, expected);
  EXPECT_EQ(t.size(), 3000u);
}

}  // namespace
}  // namespace tarnwell_core
