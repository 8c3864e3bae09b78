#include "core/search/filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace tarnwell_core {
namespace {

using J = JsonValue;
constexpr int64_t I64_MAX = std::numeric_limits<int64_t>::max();
constexpr int64_t I64_MIN = std::numeric_limits<int64_t>::min();

TEST(Filter, OperatorTextsAreExact) {
  const std::pair<const char*, FilterOperator> ops[] = {
      {"eq", FilterOperator::Eq}, {"ne", FilterOperator::Ne},   {"gt", FilterOperator::Gt},
      {"lt", FilterOperator::Lt}, {"gte", FilterOperator::Gte}, {"lte", FilterOperator::Lte},
      {"in", FilterOperator::In}};
  for (const auto& [text, op] : ops) {
    EXPECT_EQ(parse_filter_operator(text), op) << text;
    EXPECT_EQ(filter_operator_name(op), text);
  }
  using namespace std::string_view_literals;
  for (std::string_view text :
       {"EQ"sv, "Eq"sv, "=="sv, ""sv, " eq"sv, "eq "sv, "nin"sv, "ge"sv, "in\0"sv}) {
    EXPECT_FALSE(parse_filter_operator(text).has_value()) << text;
  }
}

TEST(Filter, JsonValuesKeepTheirInvariants) {
  EXPECT_TRUE(std::holds_alternative<uint64_t>(J::integer(0).storage()));
  EXPECT_TRUE(std::holds_alternative<uint64_t>(J::integer(5).storage()));
  EXPECT_TRUE(std::holds_alternative<int64_t>(J::integer(-5).storage()));
  EXPECT_TRUE(J::number(std::nan("")).is_null());
  EXPECT_TRUE(J::number(-INFINITY).is_null());
  EXPECT_TRUE(J::number(1.5).is_number());
  EXPECT_EQ(J::unsigned_integer(~0ULL).as_double(), 18446744073709551616.0);
}

TEST(Filter, JsonEqFollowsTheComparisonTable) {
  const double eps = JSON_EQ_EPSILON;
  struct Case {
    MetadataValue m;
    J j;
    bool eq;
  };
  const Case cases[] = {
      // Bool equals only booleans.
      {true, J::boolean(true), true},
      {false, J::boolean(true), false},
      {true, J::integer(1), false},
      {false, J::integer(0), false},
      {true, J::string("true"), false},
      {true, J::null(), false},
      // Int against the three number kinds.
      {int64_t{3}, J::integer(3), true},
      {int64_t{3}, J::number(3.0), true},
      {int64_t{-3}, J::integer(-3), true},
      {int64_t{-3}, J::integer(3), false},
      {int64_t{3}, J::number(3.5), false},
      {I64_MAX, J::unsigned_integer(static_cast<uint64_t>(I64_MAX)), true},
      {I64_MIN, J::integer(I64_MIN), true},
      // Above the signed range only the double comparison is left: 2^63 - 1 and 2^63 round
      // to the same double.
      {I64_MAX, J::unsigned_integer(1ULL << 63), true},
      {int64_t{-1}, J::unsigned_integer(~0ULL), false},
      // Integers above 2^53 that round to one double compare equal.
      {int64_t{(1LL << 53) + 1}, J::integer((1LL << 53)), true},
      {int64_t{(1LL << 53) + 1}, J::number(9007199254740992.0), true},
      {int64_t{3}, J::string("3"), false},
      {int64_t{0}, J::null(), false},
      {int64_t{1}, J::boolean(true), false},
      // Float against every number kind, with the absolute tolerance.
      {1.0, J::integer(1), true},
      {-2.0, J::integer(-2), true},
      {0.0, J::number(1e-17), true},
      {0.0, J::number(eps / 2), true},
      {0.0, J::number(eps), false},
      {1.0, J::number(std::nextafter(1.0, 2.0)), false},
      {1e19, J::unsigned_integer(10000000000000000000ULL), true},  // converted as unsigned
      {18446744073709551615.0, J::unsigned_integer(~0ULL), true},
      {std::nan(""), J::number(0.0), false},
      {INFINITY, J::number(1e308), false},
      {1.0, J::boolean(true), false},
      {3.0, J::string("3"), false},
      {0.0, J::null(), false},
      // Strings by bytes.
      {std::string("b"), J::string("b"), true},
      {std::string("b"), J::string("B"), false},
      {std::string(""), J::string(""), true},
      {std::string("caf\xC3\xA9"), J::string("cafe\xCC\x81"), false},  // no normalisation
      {std::string("3"), J::integer(3), false},
      {std::string(""), J::null(), false},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(json_eq(cases[i].m, cases[i].j), cases[i].eq) << "case " << i;
  }
}

FilterCondition cond(FilterOperator op, std::optional<J> value,
                     std::optional<std::vector<J>> values = std::nullopt, std::string field = "x") {
  return FilterCondition{std::move(field), op, std::move(value), std::move(values)};
}

TEST(Filter, EvaluatesEveryOperator) {
  using Op = FilterOperator;
  const Metadata year_int = {{"year", int64_t{2020}}};
  const Metadata year_float = {{"year", 2020.0}};
  const Metadata year_text = {{"year", std::string("2020")}};
  auto year = [](Op op, J v) { return cond(op, std::move(v), std::nullopt, "year"); };
  struct Case {
    const char* what;
    Metadata md;
    FilterCondition c;
    bool holds;
  };
  const Case cases[] = {
      {"gte int", year_int, year(Op::Gte, J::integer(2020)), true},
      {"gte float", year_float, year(Op::Gte, J::integer(2020)), true},
      {"gte string", year_text, year(Op::Gte, J::integer(2020)), false},
      {"gt equal", year_int, year(Op::Gt, J::integer(2020)), false},
      {"gt below", year_int, year(Op::Gt, J::number(2019.5)), true},
      {"lt", year_int, year(Op::Lt, J::integer(2021)), true},
      {"lte equal", year_float, year(Op::Lte, J::integer(2020)), true},
      {"lt negative", {{"year", int64_t{-5}}}, year(Op::Lt, J::integer(-4)), true},
      {"gt huge unsigned", year_int, year(Op::Gt, J::unsigned_integer(~0ULL)), false},
      {"range vs bool metadata", {{"year", true}}, year(Op::Gte, J::integer(0)), false},
      {"range with bool value", year_int, year(Op::Gt, J::boolean(false)), false},
      {"range with string value", year_int, year(Op::Gt, J::string("1")), false},
      {"gt NaN became null", year_int, year(Op::Gt, J::number(std::nan(""))), false},
      {"lte NaN metadata", {{"year", std::nan("")}}, year(Op::Lte, J::integer(1)), false},
      {"gt without value", year_int, year(Op::Gt, J()), false},
      {"range needs no epsilon", {{"year", 1e-17}}, year(Op::Gt, J::number(0.0)), true},
      {"eq int vs float", {{"x", 1.0}}, cond(Op::Eq, J::integer(1)), true},
      {"eq int vs int", {{"x", int64_t{1}}}, cond(Op::Eq, J::integer(1)), true},
      {"eq bool vs 1", {{"x", true}}, cond(Op::Eq, J::integer(1)), false},
      {"eq string 3 vs int", {{"x", int64_t{3}}}, cond(Op::Eq, J::string("3")), false},
      {"eq without value", {{"x", int64_t{1}}}, cond(Op::Eq, std::nullopt), false},
      {"eq tiny doubles", {{"x", 0.0}}, cond(Op::Eq, J::number(1e-17)), true},
      {"eq next double", {{"x", 1.0}}, cond(Op::Eq, J::number(std::nextafter(1.0, 2.0))), false},
      {"ne differs", {{"x", int64_t{1}}}, cond(Op::Ne, J::integer(2)), true},
      {"ne same", {{"x", int64_t{1}}}, cond(Op::Ne, J::number(1.0)), false},
      {"ne null", {{"x", std::string("a")}}, cond(Op::Ne, J::null()), true},
      {"ne without value", {{"x", int64_t{1}}}, cond(Op::Ne, std::nullopt), false},
      {"ne missing field", {{"y", int64_t{1}}}, cond(Op::Ne, J::integer(2)), false},
      {"eq missing field", {}, cond(Op::Eq, J::null()), false},
      {"in hit",
       {{"x", std::string("b")}},
       cond(Op::In, std::nullopt, {{J::string("a"), J::string("b")}}),
       true},
      {"in miss",
       {{"x", std::string("c")}},
       cond(Op::In, std::nullopt, {{J::string("a"), J::string("b")}}),
       false},
      {"in mixed kinds",
       {{"x", 2.0}},
       cond(Op::In, std::nullopt, {{J::string("2"), J::integer(2)}}),
       true},
      {"in empty", {{"x", std::string("a")}}, cond(Op::In, std::nullopt, std::vector<J>{}), false},
      {"in without values", {{"x", std::string("a")}}, cond(Op::In, J::string("a")), false},
      {"eq ignores values",
       {{"x", std::string("a")}},
       cond(Op::Eq, std::nullopt, {{J::string("a")}}),
       false},
      {"field matched by bytes", {{"X", int64_t{1}}}, cond(Op::Eq, J::integer(1)), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(evaluate_condition(c.md, c.c), c.holds) << c.what;
  }
}

TEST(Filter, MustAndMustNotCombine) {
  using Op = FilterOperator;
  const Metadata doc = {{"lang", std::string("it")}, {"year", int64_t{2021}}};
  const Metadata empty;
  auto lang = [](const char* v) { return cond(Op::Eq, J::string(v), std::nullopt, "lang"); };
  auto missing = cond(Op::Ne, J::integer(1), std::nullopt, "absent");
  struct Case {
    const char* what;
    MetadataFilter f;
    bool doc_passes;
    bool empty_passes;
  };
  const Case cases[] = {
      {"no conditions", {}, true, true},
      {"must holds", {{lang("it")}, {}}, true, false},
      {"must fails", {{lang("en")}, {}}, false, false},
      {"all musts needed", {{lang("it"), lang("en")}, {}}, false, false},
      {"must_not holds", {{}, {lang("it")}}, false, true},
      {"must_not fails", {{}, {lang("en")}}, true, true},
      {"must_not on missing field never excludes", {{}, {missing}}, true, true},
      {"both", {{lang("it")}, {lang("en"), missing}}, true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(passes_metadata(doc, c.f), c.doc_passes) << c.what;
    EXPECT_EQ(passes_metadata(empty, c.f), c.empty_passes) << c.what;
  }
}

}  // namespace
}  // namespace tarnwell_core
