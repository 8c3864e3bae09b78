// Fuzzes the tokenizer on arbitrary bytes (valid UTF-8 or not). Every token must be a whole,
// valid UTF-8 run of at least two bytes inside the lowered text, in order, and no stop word; the
// ASCII fast path must agree with the general path; and a token typed back as a query must
// produce itself, or a document could hold a term no query can reach.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/bm25/tokenizer.h"
#include "core/util/codec.h"

using namespace tarnwell_core;

namespace {

bool same(const Tokens& a, const Tokens& b) { return a.lowered == b.lowered && a.spans == b.spans; }

void check_shape(const Tokens& t, std::string_view text) {
  uint32_t prev_end = 0;
  for (const auto& [start, end] : t.spans) {
    if (start < prev_end || end < start + 2 || end > t.lowered.size()) std::abort();
    prev_end = end;
  }
  for (size_t i = 0; i < t.size(); ++i) {
    std::string_view tok = t.token(i);
    if (!is_valid_utf8(tok) || stop_words().contains(tok)) std::abort();
  }
  if (text.empty() && (!t.lowered.empty() || t.size() != 0)) std::abort();
}

bool is_ascii(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Tokens t = tokenize(text);
  check_shape(t, text);
  if (is_ascii(text)) {
    if (!same(t, tokenize_with_icu(text))) std::abort();
    if (t.lowered.size() != text.size()) std::abort();
  }
  for (size_t i = 0; i < t.size(); ++i) {
    const std::string tok(t.token(i));
    Tokens again = tokenize(tok);
    if (again.size() != 1 || again.token(0) != tok) std::abort();
  }
  return 0;
}
