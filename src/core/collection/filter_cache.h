// The sets of matching documents of the last few filters that matched many documents, so that a
// filter used again (a tenant, a source) before the collection changes costs a lookup instead
// of one bit per match. Keyed by the filter's exact content and the metadata index's version,
// which every change of the index moves on, so a stale set is never returned. Safe for
// concurrent searches: they share one small critical section.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/filter_types.h"
#include "core/util/id_bitset.h"

namespace tarnwell_core {

struct FilterMatches {
  std::shared_ptr<const IdBitset> members;
  size_t count = 0;
};

class FilterCache {
 public:
  // Sets smaller than this are cheaper to evaluate again than to keep.
  static constexpr size_t kMinCount = 4096;
  static constexpr size_t kEntries = 8;

  // A byte string equal for two filters exactly when they hold the same conditions.
  static std::string key_of(const MetadataFilter& filter);

  // The set cached for this key at this version, if any.
  bool find(const std::string& key, uint64_t version, FilterMatches& out) const;
  // Keeps a set (when large enough), dropping the least recently used one beyond kEntries.
  void insert(std::string key, uint64_t version, const FilterMatches& matches);
  // Drops every set (their memory goes with them).
  void clear();

 private:
  struct Entry {
    std::string key;
    uint64_t version;
    FilterMatches matches;
  };
  mutable std::mutex mu_;               // guards entries_
  mutable std::vector<Entry> entries_;  // least recently used first
};

}  // namespace tarnwell_core
