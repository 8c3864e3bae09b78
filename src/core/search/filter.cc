// json_eq, evaluate_condition and passes_metadata. Range operators compare in double precision
// with no tolerance; equality uses an absolute tolerance, so only values below about 2 in
// magnitude can be merged by it.
#include "core/search/filter.h"

#include <cmath>
#include <limits>

namespace tarnwell_core {
namespace {

bool close(double a, double b) { return std::fabs(a - b) < JSON_EQ_EPSILON; }

bool int_eq(int64_t i, const JsonValue::Storage& j) {
  if (const auto* u = std::get_if<uint64_t>(&j)) {
    if (*u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) &&
        i == static_cast<int64_t>(*u)) {
      return true;
    }
    return close(static_cast<double>(i), static_cast<double>(*u));
  }
  if (const auto* n = std::get_if<int64_t>(&j)) {
    return i == *n || close(static_cast<double>(i), static_cast<double>(*n));
  }
  if (const auto* d = std::get_if<double>(&j)) return close(static_cast<double>(i), *d);
  return false;
}

bool compare(FilterOperator op, double x, double y) {
  switch (op) {
    case FilterOperator::Gt:
      return x > y;
    case FilterOperator::Lt:
      return x < y;
    case FilterOperator::Gte:
      return x >= y;
    case FilterOperator::Lte:
      return x <= y;
    default:
      return false;
  }
}

}  // namespace

bool json_eq(const MetadataValue& m, const JsonValue& j) {
  const JsonValue::Storage& v = j.storage();
  switch (m.index()) {
    case 0: {
      const auto* b = std::get_if<bool>(&v);
      return b != nullptr && *b == std::get<bool>(m);
    }
    case 1:
      return int_eq(std::get<int64_t>(m), v);
    case 2:
      return j.is_number() && close(std::get<double>(m), j.as_double());
    default: {
      const auto* s = std::get_if<std::string>(&v);
      return s != nullptr && *s == std::get<std::string>(m);
    }
  }
}

bool evaluate_condition(const Metadata& metadata, const FilterCondition& c) {
  if (metadata.empty()) return false;
  auto it = metadata.find(c.field);
  if (it == metadata.end()) return false;
  const MetadataValue& m = it->second;
  switch (c.op) {
    case FilterOperator::Eq:
      return c.value.has_value() && json_eq(m, *c.value);
    case FilterOperator::Ne:
      return c.value.has_value() && !json_eq(m, *c.value);
    case FilterOperator::Gt:
    case FilterOperator::Lt:
    case FilterOperator::Gte:
    case FilterOperator::Lte: {
      if (!c.value.has_value() || !c.value->is_number()) return false;
      double x;
      if (const auto* i = std::get_if<int64_t>(&m)) {
        x = static_cast<double>(*i);
      } else if (const auto* d = std::get_if<double>(&m)) {
        x = *d;
      } else {
        return false;
      }
      return compare(c.op, x, c.value->as_double());
    }
    case FilterOperator::In:
      if (!c.values.has_value()) return false;
      for (const JsonValue& v : *c.values) {
        if (json_eq(m, v)) return true;
      }
      return false;
  }
  return false;
}

bool passes_metadata(const Metadata& metadata, const MetadataFilter& filter) {
  for (const FilterCondition& c : filter.must) {
    if (!evaluate_condition(metadata, c)) return false;
  }
  for (const FilterCondition& c : filter.must_not) {
    if (evaluate_condition(metadata, c)) return false;
  }
  return true;
}

}  // namespace tarnwell_core
