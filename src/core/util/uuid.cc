// Uuid text forms, hashing and random generation. The parser first tries the four accepted
// shapes directly; only a refused input pays for the diagnosis that picks the reason text.
#include "core/util/uuid.h"

#include <cstring>
#include <span>

#include "core/util/os_random.h"

namespace tarnwell_core {
namespace {

constexpr std::string_view URN_PREFIX = "urn:uuid:";
constexpr size_t GROUP_LENGTHS[5] = {8, 4, 4, 4, 12};

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 32 hex digits, skipping the hyphens at the given offsets (none for the simple form).
bool parse_digits(std::string_view s, bool hyphenated, Uuid* out) {
  size_t pos = 0;
  for (size_t i = 0; i < 16; ++i) {
    if (hyphenated && (pos == 8 || pos == 13 || pos == 18 || pos == 23)) {
      if (s[pos] != '-') return false;
      ++pos;
    }
    int hi = hex_value(static_cast<unsigned char>(s[pos]));
    int lo = hex_value(static_cast<unsigned char>(s[pos + 1]));
    if (hi < 0 || lo < 0) return false;
    out->bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
    pos += 2;
  }
  return true;
}

bool try_parse(std::string_view text, Uuid* out) {
  if (text.size() == 32) return parse_digits(text, false, out);
  if (text.size() == 36) return parse_digits(text, true, out);
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
    return parse_digits(text.substr(1, 36), true, out);
  }
  if (text.size() == 45 && text.starts_with(URN_PREFIX)) {
    return parse_digits(text.substr(URN_PREFIX.size()), true, out);
  }
  return false;
}

// Length of the UTF-8 sequence starting at s[i], or 0 when the bytes there are not a valid one.
size_t utf8_sequence_length(std::string_view s, size_t i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  size_t n;
  uint32_t min_cp;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, min_cp = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, min_cp = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, min_cp = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  uint32_t cp = c & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (b(i + k) & 0x3F);
  }
  if (cp < min_cp || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

Status invalid_character(std::string_view shown, size_t position) {
  return Status::invalid_argument(
      "invalid character: expected an optional prefix of `urn:uuid:` followed by "
      "[0-9a-fA-F-], found `" +
      std::string(shown) + "` at " + std::to_string(position));
}

// Explains why `text` is not a Uuid. Rules, in order:
//  1. A leading '{' with a trailing '}', or a leading "urn:uuid:", is set aside; the rest is the
//     body. Without either, the body is the whole input and may also be in the simple form.
//  2. The first character of the body that is neither a hex digit nor '-' is reported with its
//     1-based position in the whole input (all characters before it are ASCII, so positions
//     and byte offsets agree). A byte that does not start valid UTF-8 is shown as \xNN.
//  3. A body without hyphens and without a wrapper has the wrong length for the simple form;
//     the length reported is that of the whole input.
//  4. Otherwise the body must have five groups; the first group of the wrong length is reported
//     with its length in characters.
Status diagnose(std::string_view text) {
  std::string_view body = text;
  size_t offset = 0;
  bool simple_allowed = true;
  if (text.size() >= 2 && text.front() == '{' && text.back() == '}') {
    body = text.substr(1, text.size() - 2);
    offset = 1;
    simple_allowed = false;
  } else if (text.starts_with(URN_PREFIX)) {
    body = text.substr(URN_PREFIX.size());
    offset = URN_PREFIX.size();
    simple_allowed = false;
  }

  size_t hyphens = 0;
  size_t hyphen_at[4] = {0, 0, 0, 0};
  for (size_t i = 0; i < body.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(body[i]);
    if (c == '-') {
      if (hyphens < 4) hyphen_at[hyphens] = i;
      ++hyphens;
      continue;
    }
    if (hex_value(c) >= 0) continue;
    if (c < 0x80) return invalid_character(body.substr(i, 1), offset + i + 1);
    size_t n = utf8_sequence_length(body, i);
    if (n > 0) return invalid_character(body.substr(i, n), offset + i + 1);
    static constexpr char HEX[] = "0123456789abcdef";
    const char escaped[] = {'\\', 'x', HEX[c >> 4], HEX[c & 0xF]};
    return invalid_character(std::string_view(escaped, sizeof escaped), offset + i + 1);
  }

  if (hyphens == 0 && simple_allowed) {
    return Status::invalid_argument("invalid length: expected length 32 for simple format, found " +
                                    std::to_string(text.size()));
  }
  if (hyphens != 4) {
    return Status::invalid_argument("invalid group count: expected 5, found " +
                                    std::to_string(hyphens + 1));
  }
  size_t group_ends[5] = {hyphen_at[0], hyphen_at[1], hyphen_at[2], hyphen_at[3], body.size()};
  size_t start = 0;
  for (size_t g = 0; g < 5; ++g) {
    size_t len = group_ends[g] - start;
    if (len != GROUP_LENGTHS[g]) {
      return Status::invalid_argument("invalid group length in group " + std::to_string(g) +
                                      ": expected " + std::to_string(GROUP_LENGTHS[g]) +
                                      ", found " + std::to_string(len));
    }
    start = group_ends[g] + 1;
  }
  // Unreachable: a body of five well-sized groups of hex digits parses. Kept as a plain refusal
  // so that a future change to the accepted shapes cannot turn into an accepted garbage id.
  return Status::invalid_argument("invalid group count: expected 5, found 5");
}

uint64_t mix64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// Ids can be chosen by users, so table placement is keyed by a per-process secret rather than
// by the raw bytes; a failing random source only loses that protection.
uint64_t hash_seed() {
  static const uint64_t SEED = [] {
    uint64_t s = 0x9e3779b97f4a7c15ULL;
    uint8_t buf[8];
    if (fill_os_random(std::span<uint8_t>(buf, sizeof buf)).ok()) std::memcpy(&s, buf, sizeof s);
    return s;
  }();
  return SEED;
}

}  // namespace

std::string Uuid::to_string() const {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out(36, '-');
  size_t pos = 0;
  for (size_t i = 0; i < 16; ++i) {
    if (pos == 8 || pos == 13 || pos == 18 || pos == 23) ++pos;
    out[pos++] = HEX[bytes[i] >> 4];
    out[pos++] = HEX[bytes[i] & 0xF];
  }
  return out;
}

Result<Uuid> Uuid::parse(std::string_view text) {
  Uuid u;
  if (try_parse(text, &u)) return u;
  return Err(diagnose(text));
}

Result<Uuid> Uuid::new_v4() {
  Uuid u;
  Status s = fill_os_random(u.bytes);
  if (!s.ok()) {
    return Err(Status::io_error("could not retrieve random bytes for uuid: " + s.message(),
                                s.sys_errno()));
  }
  u.bytes[6] = static_cast<uint8_t>((u.bytes[6] & 0x0F) | 0x40);
  u.bytes[8] = static_cast<uint8_t>((u.bytes[8] & 0x3F) | 0x80);
  return u;
}

size_t UuidHash::operator()(const Uuid& u) const noexcept {
  uint64_t lo, hi;
  std::memcpy(&lo, u.bytes.data(), 8);
  std::memcpy(&hi, u.bytes.data() + 8, 8);
  uint64_t seed = hash_seed();
  return static_cast<size_t>(mix64(lo ^ seed) ^ mix64(hi + (seed << 1 | 1)));
}

}  // namespace tarnwell_core
