// Evaluation of metadata filters against one document's metadata. Evaluation never fails: a
// missing field, an unset operand or a type mismatch makes a condition false, so a must_not
// condition never excludes in those cases.
#pragma once

#include "core/document.h"
#include "core/filter_types.h"

namespace tarnwell_core {

// Absolute tolerance of numeric equality: the double-precision machine epsilon.
inline constexpr double JSON_EQ_EPSILON = 2.220446049250313e-16;

// Numbers compare by value across integer and float kinds (within JSON_EQ_EPSILON), strings by
// bytes, booleans only with booleans; null equals nothing.
bool json_eq(const MetadataValue& m, const JsonValue& j);

bool evaluate_condition(const Metadata& metadata, const FilterCondition& condition);

// All `must` conditions in order, then the `must_not` ones; stops at the first that decides.
bool passes_metadata(const Metadata& metadata, const MetadataFilter& filter);

}  // namespace tarnwell_core
