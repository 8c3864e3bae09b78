// Tokenizer: an all-ASCII fast path that never calls ICU, and the general path that lower-cases
// through ICU's root-locale full mapping (which applies the final-sigma rule) and classifies
// non-ASCII code points by the Alphabetic property and the Nd/Nl/No categories.
#include "core/bm25/tokenizer.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace tarnwell_core {
namespace {

// The longest stop word ("anche", "degli", ...) has five bytes; longer tokens skip the lookup.
constexpr size_t MAX_STOP_WORD_BYTES = 5;

// Flushing the UTF-16 buffer at an ASCII space keeps chunks small without changing results: a
// space is neither cased nor case-ignorable, so it ends every casing context. A run with no
// space is cut hard at the larger limit (below ICU's 32-bit lengths).
constexpr size_t SOFT_CHUNK_UNITS = 4096;
constexpr size_t HARD_CHUNK_UNITS = size_t{1} << 24;

constexpr std::array<bool, 128> ASCII_WORD = [] {
  std::array<bool, 128> t{};
  for (int c = '0'; c <= '9'; ++c) t[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = true;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = true;
  return t;
}();

bool all_ascii(std::string_view s) {
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    if (w & 0x8080808080808080ULL) return false;
  }
  for (; i < s.size(); ++i) {
    if (static_cast<unsigned char>(s[i]) >= 0x80) return false;
  }
  return true;
}

bool is_word_code_point(UChar32 c) {
  if (c < 0) return false;  // an invalid byte sequence
  if (c < 0x80) return ASCII_WORD[c];
  if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC)) return true;
  int8_t type = u_charType(c);
  return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

// The stop words in definition order: English, then Italian.
constexpr std::string_view STOP_WORD_LIST[] = {
    "a",   "an",    "and",   "are",   "as",    "at",    "be",   "but", "by",  "for",  "if",
    "in",  "into",  "is",    "it",    "no",    "not",   "of",   "on",  "or",  "such", "that",
    "the", "their", "then",  "there", "these", "they",  "this", "to",  "was", "will", "with",
    "il",  "lo",    "la",    "le",    "li",    "gli",   "un",   "uno", "una", "di",   "da",
    "del", "dello", "della", "dei",   "degli", "delle", "che",  "per", "non", "si",   "con",
    "su",  "ha",    "sono",  "come",  "ma",    "anche", "se",   "io",  "ci"};
constexpr size_t STOP_WORD_COUNT = std::size(STOP_WORD_LIST);

// A word of at most MAX_STOP_WORD_BYTES bytes packed into one integer (bytes from the low end,
// length in the top byte), so the per-token stop-word test is a few integer comparisons.
constexpr uint64_t pack_word(std::string_view w) {
  uint64_t key = static_cast<uint64_t>(w.size()) << 56;
  for (size_t i = 0; i < w.size(); ++i) {
    key |= static_cast<uint64_t>(static_cast<unsigned char>(w[i])) << (8 * i);
  }
  return key;
}

static_assert(std::ranges::all_of(STOP_WORD_LIST, [](std::string_view w) {
  return w.size() <= MAX_STOP_WORD_BYTES;
}));

constexpr std::array<uint64_t, STOP_WORD_COUNT> STOP_WORD_KEYS = [] {
  std::array<uint64_t, STOP_WORD_COUNT> keys{};
  for (size_t i = 0; i < STOP_WORD_COUNT; ++i) keys[i] = pack_word(STOP_WORD_LIST[i]);
  std::sort(keys.begin(), keys.end());
  return keys;
}();

bool is_stop_word(std::string_view token) {
  if (token.size() > MAX_STOP_WORD_BYTES) return false;
  return std::binary_search(STOP_WORD_KEYS.begin(), STOP_WORD_KEYS.end(), pack_word(token));
}

void keep_if_term(Tokens& out, size_t start, size_t end) {
  if (end - start < 2) return;
  if (end > std::numeric_limits<uint32_t>::max()) return;
  if (is_stop_word(std::string_view(out.lowered).substr(start, end - start))) return;
  out.spans.emplace_back(static_cast<uint32_t>(start), static_cast<uint32_t>(end));
}

Tokens tokenize_ascii(std::string_view text) {
  Tokens out;
  out.lowered.assign(text);
  std::string& s = out.lowered;
  size_t start = 0;
  bool in_token = false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') s[i] = static_cast<char>(c + ('a' - 'A'));
    bool word = ASCII_WORD[static_cast<unsigned char>(c)];
    if (word && !in_token) {
      start = i;
      in_token = true;
    } else if (!word && in_token) {
      keep_if_term(out, start, i);
      in_token = false;
    }
  }
  if (in_token) keep_if_term(out, start, s.size());
  return out;
}

// Lower-cases `units` (whole code points, UTF-16) with the root locale and appends the result
// to `out` as UTF-8.
void append_lowered(std::u16string& units, std::u16string& scratch, std::string& out) {
  if (units.empty()) return;
  const auto len = static_cast<int32_t>(units.size());
  // Full lower-casing rarely grows a text; one retry covers the cases that do.
  scratch.resize(units.size() + 16);
  UErrorCode err = U_ZERO_ERROR;
  int32_t n = u_strToLower(scratch.data(), static_cast<int32_t>(scratch.size()), units.data(), len,
                           "", &err);
  if (err == U_BUFFER_OVERFLOW_ERROR) {
    scratch.resize(static_cast<size_t>(n));
    err = U_ZERO_ERROR;
    n = u_strToLower(scratch.data(), n, units.data(), len, "", &err);
  }
  const char16_t* src = units.data();
  if (U_SUCCESS(err)) {
    src = scratch.data();
  } else {
    n = len;  // cannot happen for valid input; keep the text rather than lose it
  }
  for (int32_t i = 0; i < n;) {
    UChar32 c;
    U16_NEXT(src, i, n, c);
    uint8_t buf[4];
    int32_t k = 0;
    U8_APPEND_UNSAFE(buf, k, c);
    out.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(k));
  }
  units.clear();
}

std::string lower_with_icu(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  std::u16string units, scratch;
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const auto n = static_cast<int64_t>(text.size());
  for (int64_t i = 0; i < n;) {
    int64_t at = i;
    UChar32 c;
    U8_NEXT(s, i, n, c);
    if (c < 0) {
      append_lowered(units, scratch, out);
      out.append(text.substr(static_cast<size_t>(at), static_cast<size_t>(i - at)));
      continue;
    }
    if ((c == ' ' && units.size() >= SOFT_CHUNK_UNITS) || units.size() >= HARD_CHUNK_UNITS) {
      append_lowered(units, scratch, out);
    }
    if (U_IS_BMP(c)) {
      units.push_back(static_cast<char16_t>(c));
    } else {
      units.push_back(static_cast<char16_t>(U16_LEAD(c)));
      units.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    }
  }
  append_lowered(units, scratch, out);
  return out;
}

}  // namespace

const std::unordered_set<std::string_view>& stop_words() {
  static const std::unordered_set<std::string_view> STOP_WORDS(std::begin(STOP_WORD_LIST),
                                                               std::end(STOP_WORD_LIST));
  return STOP_WORDS;
}

Tokens tokenize_with_icu(std::string_view text) {
  Tokens out;
  out.lowered = lower_with_icu(text);
  const auto* s = reinterpret_cast<const uint8_t*>(out.lowered.data());
  const auto n = static_cast<int64_t>(out.lowered.size());
  int64_t start = 0;
  bool in_token = false;
  for (int64_t i = 0; i < n;) {
    int64_t at = i;
    UChar32 c;
    U8_NEXT(s, i, n, c);
    bool word = is_word_code_point(c);
    if (word && !in_token) {
      start = at;
      in_token = true;
    } else if (!word && in_token) {
      keep_if_term(out, static_cast<size_t>(start), static_cast<size_t>(at));
      in_token = false;
    }
  }
  if (in_token) keep_if_term(out, static_cast<size_t>(start), static_cast<size_t>(n));
  return out;
}

Tokens tokenize(std::string_view text) {
  if (all_ascii(text)) return tokenize_ascii(text);
  return tokenize_with_icu(text);
}

}  // namespace tarnwell_core
