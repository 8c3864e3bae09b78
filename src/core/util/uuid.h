// 128-bit document identifiers. Text is always produced in the lower-case hyphenated
// 8-4-4-4-12 form; parsing accepts the simple, hyphenated, braced and "urn:uuid:" forms in
// either case of hex digit, and explains a refusal with one of four fixed reason texts.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/util/status.h"

namespace tarnwell_core {

struct Uuid {
  std::array<uint8_t, 16> bytes{};

  bool operator==(const Uuid&) const = default;
  auto operator<=>(const Uuid&) const = default;

  // "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", lower-case.
  std::string to_string() const;

  // Accepts exactly: 32 hex digits; 8-4-4-4-12 hyphenated; hyphenated in braces; "urn:uuid:"
  // followed by hyphenated. On failure the Status (kInvalidArgument) carries the reason alone;
  // character positions in it are 1-based and count characters of the whole input.
  static Result<Uuid> parse(std::string_view text);

  // A random RFC 4122 version-4 id from the operating system's cryptographic source.
  static Result<Uuid> new_v4();
};

struct UuidHash {
  size_t operator()(const Uuid& u) const noexcept;
};

}  // namespace tarnwell_core

template <>
struct std::hash<tarnwell_core::Uuid> {
  size_t operator()(const tarnwell_core::Uuid& u) const noexcept {
    return tarnwell_core::UuidHash{}(u);
  }
};
