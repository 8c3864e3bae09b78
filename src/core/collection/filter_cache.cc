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

// Keys are written in two passes, sized first and then filled through a cursor, so that a
// filter of a thousand values costs a thousand small stores rather than a thousand appends.
struct KeyWriter {
  char* at = nullptr;  // null while sizing
  size_t size = 0;

  void bytes(const void* p, size_t n) {
    if (at != nullptr) {
      std::memcpy(at, p, n);
      at += n;
    }
    size += n;
  }
  template <class T>
  void value(const T& x) {
    bytes(&x, sizeof x);
  }
  void text(const std::string& s) {
    value(uint64_t{s.size()});
    bytes(s.data(), s.size());
  }
  void json(const JsonValue& j) {
    const JsonValue::Storage& v = j.storage();
    value(static_cast<char>(v.index()));
    std::visit(
        [&](const auto& x) {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, std::string>) {
            text(x);
          } else if constexpr (!std::is_same_v<T, std::monostate>) {
            value(x);
          }
        },
        v);
  }
  void conditions(const std::vector<FilterCondition>& conditions) {
    value(uint64_t{conditions.size()});
    for (const FilterCondition& c : conditions) {
      text(c.field);
      value(static_cast<char>(c.op));
      value(static_cast<char>(c.value.has_value() ? 1 : 0));
      if (c.value) json(*c.value);
      value(static_cast<char>(c.values.has_value() ? 1 : 0));
      if (c.values) {
        value(uint64_t{c.values->size()});
        for (const JsonValue& v : *c.values) json(v);
      }
    }
  }
  void filter(const MetadataFilter& f) {
    conditions(f.must);
    conditions(f.must_not);
  }
};

}  // namespace

std::string FilterCache::key_of(const MetadataFilter& filter) {
  KeyWriter sizing;
  sizing.filter(filter);
  std::string key(sizing.size, '\0');
  KeyWriter writer{key.data()};
  writer.filter(filter);
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
