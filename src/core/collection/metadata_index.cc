// Building, maintaining and querying the metadata index. Equality of numbers follows json_eq:
// every Int/Float comparison is one of doubles with an absolute tolerance, so the keys near a
// number are walked and tested with json_eq's own test; ranges compare doubles exactly, and
// NaN is in no range. Removal is lazy so that a delete never allocates and never throws.
#include "core/collection/metadata_index.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <variant>

#include "core/search/filter.h"

namespace tarnwell_core {
namespace {

using Ids = std::vector<uint32_t>;

// Every id in the index is below live_'s bound, which evaluate() makes every set reach.
void set_all(const Ids& ids, IdBitset& out) { out.set_all(ids); }

// Inserts `id` keeping the list ascending; appending is the common case.
void insert_sorted(Ids& ids, uint32_t id) {
  if (ids.empty() || ids.back() < id) {
    ids.push_back(id);
    return;
  }
  const auto it = std::lower_bound(ids.begin(), ids.end(), id);
  if (it == ids.end() || *it != id) ids.insert(it, id);
}

void erase_sorted(Ids& ids, uint32_t id) noexcept {
  if (!ids.empty() && ids.back() == id) {
    ids.pop_back();
    return;
  }
  const auto it = std::lower_bound(ids.begin(), ids.end(), id);
  if (it != ids.end() && *it == id) ids.erase(it);
}

}  // namespace

uint64_t MetadataIndex::next_version() noexcept {
  static std::atomic<uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

bool MetadataIndex::Field::empty() const {
  return numbers.empty() && nans.empty() && strings.empty() && bools[0].empty() &&
         bools[1].empty();
}

MetadataIndex::Ids& MetadataIndex::list_for(Field& field, const MetadataValue& value) {
  switch (value.index()) {
    case 0:
      return field.bools[std::get<bool>(value) ? 1 : 0];
    case 1:
      return field.numbers[static_cast<double>(std::get<int64_t>(value))];
    case 2: {
      const double d = std::get<double>(value);
      return std::isnan(d) ? field.nans : field.numbers[d];
    }
    default:
      return field.strings[std::get<std::string>(value)];
  }
}

void MetadataIndex::add(uint32_t id, const Metadata& metadata) {
  live_.grow(static_cast<size_t>(id) + 1);  // growing changes no membership
  size_t done = 0;
  try {
    for (const auto& [key, value] : metadata) {
      insert_sorted(list_for(fields_[key], value), id);
      ++done;
    }
  } catch (...) {
    // The failed entry may have left an empty list or field behind: take it back too.
    size_t undone = 0;
    for (const auto& [key, value] : metadata) {
      if (undone++ > done) break;
      take_back(key, value, id);
    }
    throw;
  }
  if (!live_.test(id)) {
    live_.set(id);
    ++live_count_;
  }
  version_ = next_version();
}

namespace {

// Whether two values are kept in the same list of a field.
bool same_list(const MetadataValue& a, const MetadataValue& b) {
  const auto number = [](const MetadataValue& v, double& d) {
    if (v.index() == 1) d = static_cast<double>(std::get<int64_t>(v));
    if (v.index() == 2) d = std::get<double>(v);
    return v.index() == 1 || v.index() == 2;
  };
  double x = 0;
  double y = 0;
  if (number(a, x) && number(b, y)) return (std::isnan(x) && std::isnan(y)) || x == y;
  return a.index() == b.index() && a == b;
}

bool holds_same_list(const Metadata& metadata, const std::string& key, const MetadataValue& v) {
  const auto it = metadata.find(key);
  return it != metadata.end() && same_list(it->second, v);
}

}  // namespace

void MetadataIndex::replace(uint32_t id, const Metadata& old_metadata,
                            const Metadata& new_metadata) {
  // The new entries go in first (an entry kept from the old metadata is already there), so
  // that a failure takes back only what this call added.
  size_t done = 0;
  try {
    for (const auto& [key, value] : new_metadata) {
      if (!holds_same_list(old_metadata, key, value)) {
        insert_sorted(list_for(fields_[key], value), id);
      }
      ++done;
    }
  } catch (...) {
    size_t undone = 0;
    for (const auto& [key, value] : new_metadata) {
      if (undone++ > done) break;
      if (!holds_same_list(old_metadata, key, value)) take_back(key, value, id);
    }
    throw;
  }
  for (const auto& [key, value] : old_metadata) {
    if (!holds_same_list(new_metadata, key, value)) take_back(key, value, id);
  }
  version_ = next_version();
}

void MetadataIndex::undo_add(uint32_t id, const Metadata& metadata) noexcept {
  for (const auto& [key, value] : metadata) take_back(key, value, id);
  if (live_.test(id)) {
    live_.reset(id);
    --live_count_;
  }
  version_ = next_version();
}

void MetadataIndex::take_back(const std::string& key, const MetadataValue& value,
                              uint32_t id) noexcept {
  const auto f = fields_.find(key);
  if (f == fields_.end()) return;
  Field& field = f->second;
  switch (value.index()) {
    case 0:
      erase_sorted(field.bools[std::get<bool>(value) ? 1 : 0], id);
      break;
    case 1:
    case 2: {
      const double d = value.index() == 1 ? static_cast<double>(std::get<int64_t>(value))
                                          : std::get<double>(value);
      if (std::isnan(d)) {
        erase_sorted(field.nans, id);
        break;
      }
      const auto n = field.numbers.find(d);
      if (n == field.numbers.end()) break;
      erase_sorted(n->second, id);
      if (n->second.empty()) field.numbers.erase(n);
      break;
    }
    default: {
      const auto s = field.strings.find(std::get<std::string>(value));
      if (s == field.strings.end()) break;
      erase_sorted(s->second, id);
      if (s->second.empty()) field.strings.erase(s);
      break;
    }
  }
  if (field.empty()) fields_.erase(f);
}

void MetadataIndex::remove(uint32_t id) noexcept {
  if (!live_.test(id)) return;
  live_.reset(id);
  --live_count_;
  version_ = next_version();
  // A purge costs one pass over every list; waiting until the removed documents outnumber
  // the live ones keeps that at a constant amortised cost per removal and bounds the lists
  // at twice their live size.
  if (++removed_since_purge_ > std::max<size_t>(live_count_, 64)) purge();
}

void MetadataIndex::purge() noexcept {
  const auto gone = [&](uint32_t id) { return !live_.test(id); };
  for (auto f = fields_.begin(); f != fields_.end();) {
    Field& field = f->second;
    for (auto n = field.numbers.begin(); n != field.numbers.end();) {
      std::erase_if(n->second, gone);
      n = n->second.empty() ? field.numbers.erase(n) : std::next(n);
    }
    for (auto s = field.strings.begin(); s != field.strings.end();) {
      std::erase_if(s->second, gone);
      s = s->second.empty() ? field.strings.erase(s) : std::next(s);
    }
    std::erase_if(field.nans, gone);
    std::erase_if(field.bools[0], gone);
    std::erase_if(field.bools[1], gone);
    f = field.empty() ? fields_.erase(f) : std::next(f);
  }
  removed_since_purge_ = 0;
}

void MetadataIndex::add_condition(const FilterCondition& c, IdBitset& out) const {
  const auto f = fields_.find(c.field);
  if (f == fields_.end()) return;  // a missing field satisfies no condition
  const Field& field = f->second;

  // Documents whose value equals j under json_eq.
  const auto add_equal = [&](const JsonValue& j, IdBitset& into) {
    const JsonValue::Storage& v = j.storage();
    if (const auto* b = std::get_if<bool>(&v)) {
      set_all(field.bools[*b ? 1 : 0], into);
    } else if (const auto* s = std::get_if<std::string>(&v)) {
      if (const auto it = field.strings.find(*s); it != field.strings.end()) set_all(it->second, into);
    } else if (j.is_number()) {
      // The tolerance reaches at most JSON_EQ_EPSILON from y; the window is wider than that
      // after rounding, and each key in it is tested as json_eq tests it.
      const double y = j.as_double();
      const double reach = 2 * JSON_EQ_EPSILON;
      for (auto it = field.numbers.lower_bound(y - reach);
           it != field.numbers.end() && it->first <= y + reach; ++it) {
        if (std::fabs(it->first - y) < JSON_EQ_EPSILON) set_all(it->second, into);
      }
    }
  };

  switch (c.op) {
    case FilterOperator::Eq:
      if (c.value) add_equal(*c.value, out);
      return;
    case FilterOperator::In:
      if (c.values) {
        for (const JsonValue& v : *c.values) add_equal(v, out);
      }
      return;
    case FilterOperator::Ne: {
      if (!c.value) return;
      // Every document with the field, less those equal to the value.
      IdBitset present(out.bound());
      for (const auto& [key, ids] : field.numbers) set_all(ids, present);
      for (const auto& [key, ids] : field.strings) set_all(ids, present);
      set_all(field.nans, present);
      set_all(field.bools[0], present);
      set_all(field.bools[1], present);
      IdBitset equal(out.bound());
      add_equal(*c.value, equal);
      present.subtract(equal);
      out.unite(present);
      return;
    }
    case FilterOperator::Gt:
    case FilterOperator::Lt:
    case FilterOperator::Gte:
    case FilterOperator::Lte: {
      if (!c.value || !c.value->is_number()) return;
      const double y = c.value->as_double();
      auto first = field.numbers.begin();
      auto last = field.numbers.end();
      if (c.op == FilterOperator::Gt) first = field.numbers.upper_bound(y);
      if (c.op == FilterOperator::Gte) first = field.numbers.lower_bound(y);
      if (c.op == FilterOperator::Lt) last = field.numbers.lower_bound(y);
      if (c.op == FilterOperator::Lte) last = field.numbers.upper_bound(y);
      for (auto it = first; it != last; ++it) set_all(it->second, out);
      return;
    }
  }
}

IdBitset MetadataIndex::evaluate(const MetadataFilter& filter, size_t id_bound) const {
  // Sets reach every indexed id, so that filling them needs no bound test per id.
  id_bound = std::max(id_bound, live_.bound());
  IdBitset out(id_bound);
  if (filter.must.empty()) {
    out.assign_from(live_);
  } else {
    add_condition(filter.must.front(), out);
    for (size_t i = 1; i < filter.must.size(); ++i) {
      IdBitset next(id_bound);
      add_condition(filter.must[i], next);
      out.intersect(next);
    }
    out.intersect(live_);
  }
  for (const FilterCondition& c : filter.must_not) {
    IdBitset excluded(id_bound);
    add_condition(c, excluded);
    out.subtract(excluded);
  }
  return out;
}

uint64_t MetadataIndex::memory_bytes() const {
  // Per value: its id list's header and the map node around it (key, links or hash slot).
  constexpr uint64_t kNumberNode = sizeof(Ids) + sizeof(double) + 32;
  constexpr uint64_t kStringNode = sizeof(Ids) + sizeof(std::string) + 24;
  uint64_t total = live_.memory_bytes();
  for (const auto& [key, field] : fields_) {
    total += key.size() + sizeof(Field) + 32;
    for (const auto& [value, ids] : field.numbers) total += kNumberNode + 4 * ids.capacity();
    for (const auto& [value, ids] : field.strings) {
      total += kStringNode + value.size() + 4 * ids.capacity();
    }
    total += 4 * (field.nans.capacity() + field.bools[0].capacity() + field.bools[1].capacity());
  }
  return total;
}

}  // namespace tarnwell_core
