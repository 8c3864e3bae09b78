// The metadata index answers exactly what evaluating each document's metadata answers:
// checked on random documents and random filters over every operator and value kind (missing
// fields, NaN, -0.0, ints beyond 2^53, numbers near the equality tolerance), through removals,
// replacements, purges and taken-back additions.
#include "core/collection/metadata_index.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "core/search/filter.h"

namespace tarnwell_core {
namespace {

using J = JsonValue;

const std::vector<MetadataValue>& value_pool() {
  static const std::vector<MetadataValue> pool = {
      MetadataValue(true), MetadataValue(false), MetadataValue(int64_t{0}),
      MetadataValue(int64_t{1}), MetadataValue(int64_t{-3}), MetadataValue(int64_t{7}),
      MetadataValue(int64_t{9007199254740993}),  // 2^53 + 1: the same double as 2^53
      MetadataValue(std::numeric_limits<int64_t>::max()), MetadataValue(0.0), MetadataValue(-0.0),
      MetadataValue(1e-17), MetadataValue(1.0), MetadataValue(2.5), MetadataValue(7.0),
      MetadataValue(std::nan("")), MetadataValue(std::numeric_limits<double>::infinity()),
      MetadataValue(std::string("x")), MetadataValue(std::string("y")),
      MetadataValue(std::string("3")), MetadataValue(std::string(""))};
  return pool;
}

const std::vector<J>& json_pool() {
  static const std::vector<J> pool = {
      J::null(), J::boolean(true), J::boolean(false), J::integer(0), J::integer(1),
      J::integer(-3), J::integer(7), J::integer(9007199254740992),
      J::unsigned_integer(9223372036854775808ULL), J::integer(std::numeric_limits<int64_t>::max()),
      J::number(0.0), J::number(-0.0), J::number(1e-17), J::number(1.0), J::number(2.5),
      J::number(6.999), J::string("x"), J::string("y"), J::string("3"), J::string("")};
  return pool;
}

const std::vector<std::string> kFields = {"a", "b", "c", "d"};

Metadata random_metadata(std::mt19937& rng) {
  Metadata m;
  for (const std::string& f : kFields) {
    if (rng() % 3 == 0) continue;  // missing fields are common
    m[f] = value_pool()[rng() % value_pool().size()];
  }
  return m;
}

FilterCondition random_condition(std::mt19937& rng) {
  FilterCondition c;
  c.field = rng() % 8 == 0 ? "absent" : kFields[rng() % kFields.size()];
  c.op = static_cast<FilterOperator>(rng() % 7);
  if (rng() % 8 != 0) c.value = json_pool()[rng() % json_pool().size()];
  if (rng() % 8 != 0) {
    c.values.emplace();
    for (size_t n = rng() % 4; n > 0; --n) c.values->push_back(json_pool()[rng() % json_pool().size()]);
  }
  return c;
}

MetadataFilter random_filter(std::mt19937& rng) {
  MetadataFilter f;
  for (size_t n = rng() % 3; n > 0; --n) f.must.push_back(random_condition(rng));
  for (size_t n = rng() % 3; n > 0; --n) f.must_not.push_back(random_condition(rng));
  return f;
}

// The documents of a model collection, by id; removed ones are null.
struct Model {
  std::vector<std::optional<Metadata>> docs;

  void expect_same(const MetadataIndex& index, const MetadataFilter& f, uint32_t seed) const {
    const IdBitset got = index.evaluate(f, docs.size());
    size_t want_count = 0;
    for (uint32_t id = 0; id < docs.size(); ++id) {
      const bool want = docs[id] && passes_metadata(*docs[id], f);
      want_count += want;
      ASSERT_EQ(got.test(id), want) << "seed " << seed << " id " << id;
    }
    ASSERT_EQ(got.count(), want_count) << "seed " << seed;
  }
};

TEST(MetadataIndex, AgreesWithEvaluationOnRandomDocumentsAndFilters) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    MetadataIndex index;
    Model model;
    for (int step = 0; step < 600; ++step) {
      const uint32_t r = rng() % 10;
      if (r < 6 || model.docs.empty()) {
        const auto id = static_cast<uint32_t>(model.docs.size());
        model.docs.push_back(random_metadata(rng));
        index.add(id, *model.docs.back());
      } else if (r < 7) {
        // A live document's metadata changes in place (shared values, NaN and all).
        const auto id = static_cast<uint32_t>(rng() % model.docs.size());
        if (!model.docs[id]) continue;
        Metadata next = random_metadata(rng);
        index.replace(id, *model.docs[id], next);
        model.docs[id] = std::move(next);
      } else if (r < 9) {
        // Removals outnumber the live documents at times, so purges run.
        const auto id = static_cast<uint32_t>(rng() % model.docs.size());
        model.docs[id].reset();
        index.remove(id);
      } else {
        model.expect_same(index, random_filter(rng), seed);
      }
    }
    for (int i = 0; i < 200; ++i) model.expect_same(index, random_filter(rng), seed);
    size_t live = 0;
    for (const auto& d : model.docs) live += d.has_value();
    EXPECT_EQ(index.live_count(), live) << "seed " << seed;
  }
}

TEST(MetadataIndex, SemanticsAtTheEdges) {
  MetadataIndex index;
  const std::vector<Metadata> docs = {
      {{"x", int64_t{1}}},
      {{"x", 1.0}},
      {{"x", true}},
      {{"x", std::string("1")}},
      {{"x", std::nan("")}},
      {},
      {{"x", -0.0}},
      {{"x", 1e-17}},
  };
  for (uint32_t i = 0; i < docs.size(); ++i) index.add(i, docs[i]);
  const auto ids = [&](const MetadataFilter& f) {
    std::vector<uint32_t> out;
    index.evaluate(f, docs.size()).for_each([&](uint32_t id) { out.push_back(id); });
    return out;
  };
  const auto one = [](FilterOperator op, std::optional<J> v) {
    return MetadataFilter{{FilterCondition{"x", op, std::move(v), std::nullopt}}, {}};
  };
  using V = std::vector<uint32_t>;
  EXPECT_EQ(ids(one(FilterOperator::Eq, J::integer(1))), (V{0, 1}));
  // 0.0, -0.0 and 1e-17 are within the tolerance of each other.
  EXPECT_EQ(ids(one(FilterOperator::Eq, J::number(0.0))), (V{6, 7}));
  // Ne holds for every document with the field, NaN and other kinds included.
  EXPECT_EQ(ids(one(FilterOperator::Ne, J::integer(1))), (V{2, 3, 4, 6, 7}));
  EXPECT_EQ(ids(one(FilterOperator::Ne, J::null())), (V{0, 1, 2, 3, 4, 6, 7}));
  EXPECT_EQ(ids(one(FilterOperator::Ne, std::nullopt)), V{});
  EXPECT_EQ(ids(one(FilterOperator::Gte, J::integer(1))), (V{0, 1}));
  EXPECT_EQ(ids(one(FilterOperator::Lt, J::string("5"))), V{});
  // A must_not condition on a missing field never excludes.
  const MetadataFilter not_x{{}, {FilterCondition{"x", FilterOperator::Ne, J::integer(1), {}}}};
  EXPECT_EQ(ids(not_x), (V{0, 1, 5}));
  EXPECT_EQ(ids(MetadataFilter{}), (V{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(MetadataIndex, TakenBackAdditionsLeaveNoTrace) {
  MetadataIndex index;
  index.add(0, {{"k", std::string("a")}});
  const uint64_t bytes = index.memory_bytes();
  const Metadata failed = {{"k", std::string("b")}, {"n", int64_t{4}}};
  try {
    MetadataIndex::Addition pending(index, 1, failed);
    throw std::runtime_error("a later step of the insert failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(index.live_count(), 1u);
  EXPECT_EQ(index.memory_bytes(), bytes);
  // The id is issued again, with other metadata, and only that metadata matches it.
  index.add(1, {{"k", std::string("c")}});
  const MetadataFilter b{{FilterCondition{"k", FilterOperator::Eq, J::string("b"), {}}}, {}};
  const MetadataFilter n{{FilterCondition{"n", FilterOperator::Gt, J::integer(0), {}}}, {}};
  const MetadataFilter c{{FilterCondition{"k", FilterOperator::Eq, J::string("c"), {}}}, {}};
  EXPECT_EQ(index.evaluate(b, 2).count(), 0u);
  EXPECT_EQ(index.evaluate(n, 2).count(), 0u);
  EXPECT_TRUE(index.evaluate(c, 2).test(1));
}

}  // namespace
}  // namespace tarnwell_core
