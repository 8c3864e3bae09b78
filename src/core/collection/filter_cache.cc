// The filter cache: exact keys (every condition's field, operator, and values with their kinds),
// a short list searched linearly, least recently used evicted.
#include "core/collection/filter_cache.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>
#include <variant>

namespace tarnwell_core {
namespace {

void put_bytes(std::string& out, const void* p, size_t n) {
  out.append(static_cast<const char*>(p), n);
}

void put_text(std::string& out, const std::string& s) {
  const uint64_t n = s.size();
  put_bytes(out, &n, sizeof n);
  out += s;
}

void put_json(std::string& out, const JsonValue& j) {
  const JsonValue::Storage& v = j.storage();
  out.push_back(static_cast<char>(v.index()));
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::string>) {
          put_text(out, x);
        } else if constexpr (!std::is_same_v<T, std::monostate>) {
          put_bytes(out, &x, sizeof x);
        }
      },
      v);
}

void put_conditions(std::string& out, const std::vector<FilterCondition>& conditions) {
  const uint64_t n = conditions.size();
  put_bytes(out, &n, sizeof n);
  for (const FilterCondition& c : conditions) {
    put_text(out, c.field);
    out.push_back(static_cast<char>(c.op));
    out.push_back(c.value.has_value() ? 1 : 0);
    if (c.value) put_json(out, *c.value);
    out.push_back(c.values.has_value() ? 1 : 0);
    if (c.values) {
      const uint64_t m = c.values->size();
      put_bytes(out, &m, sizeof m);
      for (const JsonValue& v : *c.values) put_json(out, v);
    }
  }
}

}  // namespace

std::string FilterCache::key_of(const MetadataFilter& filter) {
  std::string key;
  put_conditions(key, filter.must);
  put_conditions(key, filter.must_not);
  return key;
}

bool FilterCache::find(const std::string& key, uint64_t version, FilterMatches& out) const {
  std::lock_guard lock(mu_);
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].version != version || entries_[i].key != key) continue;
    out = entries_[i].matches;
    std::rotate(entries_.begin() + static_cast<ptrdiff_t>(i),
                entries_.begin() + static_cast<ptrdiff_t>(i) + 1, entries_.end());
    return true;
  }
  return false;
}

void FilterCache::insert(std::string key, uint64_t version, const FilterMatches& matches) {
  if (matches.count < kMinCount) return;
  std::lock_guard lock(mu_);
  // Sets of an older version can never be found again.
  std::erase_if(entries_, [&](const Entry& e) { return e.version != version; });
  if (entries_.size() >= kEntries) entries_.erase(entries_.begin());
  entries_.push_back(Entry{std::move(key), version, matches});
}

void FilterCache::clear() {
  std::lock_guard lock(mu_);
  entries_.clear();
}

}  // namespace tarnwell_core
