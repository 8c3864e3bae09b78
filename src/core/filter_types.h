// The metadata filter model: operators with their exact texts, the JSON values a condition
// compares against, one parsed condition, and the must / must_not lists of a search filter.
// JsonValue keeps two invariants the comparisons rely on: signed integers are negative (every
// non-negative integer is held unsigned) and doubles are finite (NaN and infinities are null).
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tarnwell_core {

enum class FilterOperator : uint8_t { Eq, Ne, Gt, Lt, Gte, Lte, In };

// Case-sensitive; only "eq", "ne", "gt", "lt", "gte", "lte" and "in" are operators.
inline std::optional<FilterOperator> parse_filter_operator(std::string_view text) {
  if (text == "eq") return FilterOperator::Eq;
  if (text == "ne") return FilterOperator::Ne;
  if (text == "gt") return FilterOperator::Gt;
  if (text == "lt") return FilterOperator::Lt;
  if (text == "gte") return FilterOperator::Gte;
  if (text == "lte") return FilterOperator::Lte;
  if (text == "in") return FilterOperator::In;
  return std::nullopt;
}

inline std::string_view filter_operator_name(FilterOperator op) {
  switch (op) {
    case FilterOperator::Eq:
      return "eq";
    case FilterOperator::Ne:
      return "ne";
    case FilterOperator::Gt:
      return "gt";
    case FilterOperator::Lt:
      return "lt";
    case FilterOperator::Gte:
      return "gte";
    case FilterOperator::Lte:
      return "lte";
    case FilterOperator::In:
      return "in";
  }
  return "";
}

class JsonValue {
 public:
  // Alternatives, in index order: null, boolean, non-negative integer, negative integer,
  // finite double, string.
  using Storage = std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string>;

  JsonValue() = default;  // null
  static JsonValue null() { return JsonValue(); }
  static JsonValue boolean(bool b) { return JsonValue(Storage(std::in_place_type<bool>, b)); }
  static JsonValue integer(int64_t i) {
    if (i >= 0) return JsonValue(Storage(std::in_place_type<uint64_t>, static_cast<uint64_t>(i)));
    return JsonValue(Storage(std::in_place_type<int64_t>, i));
  }
  static JsonValue unsigned_integer(uint64_t u) {
    return JsonValue(Storage(std::in_place_type<uint64_t>, u));
  }
  // NaN and infinities have no JSON form and become null.
  static JsonValue number(double d) {
    if (!std::isfinite(d)) return JsonValue();
    return JsonValue(Storage(std::in_place_type<double>, d));
  }
  static JsonValue string(std::string s) {
    return JsonValue(Storage(std::in_place_type<std::string>, std::move(s)));
  }
  // Makes this value the string s, built in place (filters of a thousand strings convert one
  // copy per value).
  void set_string(std::string_view s) { v_.emplace<std::string>(s); }

  const Storage& storage() const { return v_; }
  bool is_null() const { return std::holds_alternative<std::monostate>(v_); }
  bool is_number() const {
    return std::holds_alternative<uint64_t>(v_) || std::holds_alternative<int64_t>(v_) ||
           std::holds_alternative<double>(v_);
  }
  // The numeric value as a double (unsigned integers converted as unsigned); only for numbers.
  double as_double() const {
    if (const auto* u = std::get_if<uint64_t>(&v_)) return static_cast<double>(*u);
    if (const auto* i = std::get_if<int64_t>(&v_)) return static_cast<double>(*i);
    return std::get<double>(v_);
  }

  bool operator==(const JsonValue&) const = default;

 private:
  explicit JsonValue(Storage v) : v_(std::move(v)) {}
  Storage v_;
};

struct FilterCondition {
  std::string field;
  FilterOperator op = FilterOperator::Eq;
  std::optional<JsonValue> value;                // read by eq, ne, gt, lt, gte, lte
  std::optional<std::vector<JsonValue>> values;  // read by in
};

// Every `must` condition holds and no `must_not` condition holds. Both lists empty admits
// every document.
struct MetadataFilter {
  std::vector<FilterCondition> must;
  std::vector<FilterCondition> must_not;
};

}  // namespace tarnwell_core
