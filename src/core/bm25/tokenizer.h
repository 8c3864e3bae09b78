// Turns document texts and keyword queries into terms: Unicode full lower-casing (final sigma
// included), tokens = maximal runs of alphanumeric characters, tokens shorter than two bytes
// and stop words dropped. Documents and queries share this one function, so a term matches
// exactly when both sides produce the same lower-cased bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tarnwell_core {

struct Tokens {
  std::string lowered;  // the lower-cased input
  // Byte ranges [start, end) into `lowered`, one per kept token, in order, duplicates kept.
  std::vector<std::pair<uint32_t, uint32_t>> spans;

  size_t size() const { return spans.size(); }
  std::string_view token(size_t i) const {
    return std::string_view(lowered).substr(spans[i].first, spans[i].second - spans[i].first);
  }
};

// Never fails. Bytes that are not valid UTF-8 are copied to `lowered` unchanged and separate
// tokens. Tokens that would end beyond 4 GiB of lowered text are not kept (spans are 32-bit).
Tokens tokenize(std::string_view text);

// The general path, which tokenize() skips for all-ASCII input; exposed so tests can check
// that both paths agree.
Tokens tokenize_with_icu(std::string_view text);

// The 64 English and Italian stop words, built once on first use (thread-safe).
const std::unordered_set<std::string_view>& stop_words();

}  // namespace tarnwell_core
